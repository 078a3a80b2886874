#include "tests/support/log_capture.h"

#include <algorithm>

#include <spdlog/sinks/base_sink.h>

#include "common/logging.h"

namespace tovix::testing {

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<LogEntry> snapshot() {
    std::lock_guard guard(mutex_);
    return entries_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    entries_.push_back({message.level, std::string(message.payload.begin(), message.payload.end())});
  }
  void flush_() override {}

 private:
  std::vector<LogEntry> entries_;
};

LogCapture::LogCapture(std::string logger_name)
    : _logger_name(std::move(logger_name)), _sink(std::make_shared<Sink>()) {
  attach_sink(_logger_name, _sink);
}

LogCapture::~LogCapture() { detach_sink(_logger_name, _sink); }

std::vector<LogEntry> LogCapture::entries() const { return _sink->snapshot(); }

bool LogCapture::contains(spdlog::level::level_enum level, const std::string& text) const {
  const auto all = entries();
  return std::any_of(all.begin(), all.end(), [&](const LogEntry& e) { return e.level == level && e.text == text; });
}

bool LogCapture::contains_fragment(spdlog::level::level_enum level, const std::string& fragment) const {
  const auto all = entries();
  return std::any_of(all.begin(), all.end(),
                     [&](const LogEntry& e) { return e.level == level && e.text.find(fragment) != std::string::npos; });
}

}  // namespace tovix::testing
