#include "common/logging.h"

#include <atomic>
#include <map>
#include <mutex>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

namespace tovix {
namespace {

std::atomic<std::shared_ptr<const LogFilter>> current_filter;

// Hands each message, filtered, to its sinks.
class FilteringSinks final : public spdlog::sinks::dist_sink_mt {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const std::shared_ptr<const LogFilter> filter = current_filter.load();
    if (!filter) {
      spdlog::sinks::dist_sink_mt::sink_it_(msg);
      return;
    }
    const std::string text = (*filter)(std::string_view(msg.payload.data(), msg.payload.size()));
    spdlog::details::log_msg filtered(msg);
    filtered.payload = text;
    spdlog::sinks::dist_sink_mt::sink_it_(filtered);
  }
};

struct NamedLogger {
  std::shared_ptr<spdlog::logger> logger;
  std::shared_ptr<spdlog::sinks::dist_sink_mt> sinks;  // thread-safe add/remove
};

struct Registry {
  std::mutex lock;
  std::map<std::string, NamedLogger> loggers;
  std::shared_ptr<spdlog::sinks::sink> console;
  std::shared_ptr<spdlog::sinks::sink> file;
};

Registry& registry() {
  // Never destroyed: threads may still log while static objects are torn down at exit.
  static Registry* instance = [] {
    auto* r = new Registry;
    r->console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    r->console->set_level(spdlog::level::info);
    return r;
  }();
  return *instance;
}

NamedLogger& named_locked(Registry& r, const std::string& name) {
  auto it = r.loggers.find(name);
  if (it != r.loggers.end()) return it->second;
  NamedLogger entry;
  entry.sinks = std::make_shared<FilteringSinks>();
  entry.sinks->add_sink(r.console);
  if (r.file) entry.sinks->add_sink(r.file);
  entry.logger = std::make_shared<spdlog::logger>(name, entry.sinks);
  entry.logger->set_level(spdlog::level::debug);
  entry.logger->set_pattern("%Y-%m-%d %H:%M:%S.%e [%n] %l: %v");
  entry.logger->flush_on(spdlog::level::info);
  return r.loggers.emplace(name, std::move(entry)).first->second;
}

}  // namespace

std::shared_ptr<spdlog::logger> get_logger(const std::string& name) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  return named_locked(r, name).logger;
}

std::shared_ptr<spdlog::logger> engine_log() {
  static const std::shared_ptr<spdlog::logger> log = get_logger(LOGGER_ENGINE);
  return log;
}

void log_to_file(const std::filesystem::path& file) {
  log_to_sink(std::make_shared<spdlog::sinks::basic_file_sink_mt>(file.string(), false));
}

void log_to_sink(std::shared_ptr<spdlog::sinks::sink> sink) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  sink->set_level(spdlog::level::debug);
  for (auto& [name, entry] : r.loggers) {
    if (r.file) entry.sinks->remove_sink(r.file);
    entry.sinks->add_sink(sink);
  }
  r.file = sink;
}

void set_log_filter(LogFilter filter) {
  current_filter.store(filter ? std::make_shared<const LogFilter>(std::move(filter)) : nullptr);
}

void attach_sink(const std::string& logger_name, std::shared_ptr<spdlog::sinks::sink> sink) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  named_locked(r, logger_name).sinks->add_sink(std::move(sink));
}

void detach_sink(const std::string& logger_name, const std::shared_ptr<spdlog::sinks::sink>& sink) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  named_locked(r, logger_name).sinks->remove_sink(sink);
}

}  // namespace tovix
