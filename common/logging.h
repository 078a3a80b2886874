#pragma once
// Named loggers shared by every module. All loggers write to standard error and, once the
// application calls log_to_file, to one log file. Tests attach a sink to one logger to see
// what it printed.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <spdlog/logger.h>
#include <spdlog/sinks/sink.h>

#include "common/common_export.h"

namespace tovix {

// The engine, relay, process and driver modules.
inline constexpr const char* LOGGER_ENGINE = "ToVixProxy";
// The vendor web client.
inline constexpr const char* LOGGER_CLIENT = "ToVixProxy.Client";
// The settings store.
inline constexpr const char* LOGGER_SETTINGS = "DorvexProxy";

// The logger of that name, created on first use; debug and above are passed to its sinks.
COMMON_EXPORT std::shared_ptr<spdlog::logger> get_logger(const std::string& name);
// The engine modules' logger (LOGGER_ENGINE), looked up once.
COMMON_EXPORT std::shared_ptr<spdlog::logger> engine_log();

// Sends every logger, present and future, to this file as well (appending).
COMMON_EXPORT void log_to_file(const std::filesystem::path& file);
// The same with any sink (a rotating file, say); it replaces the file or sink set before.
COMMON_EXPORT void log_to_sink(std::shared_ptr<spdlog::sinks::sink> sink);

// Every logged text passes through `filter` before any sink of any logger sees it, so that what
// must never be written (passwords, tokens) is taken out in one place. It is called from every
// logging thread at once. An empty function removes the filter.
using LogFilter = std::function<std::string(std::string_view text)>;
COMMON_EXPORT void set_log_filter(LogFilter filter);

// Adds or removes an extra sink on one logger; safe while other threads log.
COMMON_EXPORT void attach_sink(const std::string& logger_name, std::shared_ptr<spdlog::sinks::sink> sink);
COMMON_EXPORT void detach_sink(const std::string& logger_name, const std::shared_ptr<spdlog::sinks::sink>& sink);

}  // namespace tovix
