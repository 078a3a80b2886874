#include "app/core/log_file.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include "common/logging.h"

namespace tovix::app {

std::filesystem::path start_log_file(const std::filesystem::path& directory, std::shared_ptr<SecretRedactor> redactor) {
  set_log_filter([redactor](std::string_view text) { return redactor->redact(text); });
  std::filesystem::create_directories(directory);
  const std::filesystem::path file = directory / LOG_FILE_NAME;
  auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(file.string(), LOG_FILE_MAX_BYTES, LOG_FILE_KEPT);
  sink->set_formatter(std::make_unique<spdlog::pattern_formatter>("%Y-%m-%d %H:%M:%S.%e [%n] %l: %v"));
  log_to_sink(std::move(sink));
  return file;
}

}  // namespace tovix::app
