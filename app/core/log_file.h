#pragma once
// The application's log file: every named logger, present and future, goes to "tovixproxy.log"
// beside config.json, rotated at LOG_FILE_MAX_BYTES with LOG_FILE_KEPT older files. Each line
// passes through the redactor first, on every sink (console and file), so no password or token
// the settings hold is written anywhere.
#include <cstddef>
#include <filesystem>
#include <memory>

#include "app/core/secret_redactor.h"

namespace tovix::app {

inline constexpr const char* LOG_FILE_NAME = "tovixproxy.log";
inline constexpr std::size_t LOG_FILE_MAX_BYTES = 4u * 1024u * 1024u;
inline constexpr std::size_t LOG_FILE_KEPT = 3;

// Installs the redactor as the loggers' filter and opens the rotating file in `directory`
// (created when missing). Returns the file's path. Throws spdlog::spdlog_ex when the file
// cannot be opened; the filter is installed either way.
std::filesystem::path start_log_file(const std::filesystem::path& directory, std::shared_ptr<SecretRedactor> redactor);

}  // namespace tovix::app
