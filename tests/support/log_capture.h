#pragma once
// Records what one named logger printed (level and text) while the capture lives.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/common.h>
#include <spdlog/sinks/sink.h>

namespace tovix::testing {

struct LogEntry {
  spdlog::level::level_enum level;
  std::string text;
};

class LogCapture {
 public:
  explicit LogCapture(std::string logger_name);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogEntry> entries() const;
  bool contains(spdlog::level::level_enum level, const std::string& text) const;
  // True when some entry of that level contains `fragment`.
  bool contains_fragment(spdlog::level::level_enum level, const std::string& fragment) const;

 private:
  class Sink;
  std::string _logger_name;
  std::shared_ptr<Sink> _sink;
};

}  // namespace tovix::testing
