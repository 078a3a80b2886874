#pragma once
// Reading a file the program keeps (settings, usage counters) and setting aside a copy it
// could not read, so that nothing the user had is lost when defaults take its place.
#include <filesystem>
#include <string>

#include "common/common_export.h"

namespace tovix {

// The whole file as bytes; throws std::system_error naming the path when it cannot be read.
COMMON_EXPORT std::string read_stored_file(const std::filesystem::path& path);

// A name beside `file` for keeping an unreadable copy: "<name>.bad", or with a time stamp when
// an older copy already holds that name.
COMMON_EXPORT std::filesystem::path backup_name(const std::filesystem::path& file);

}  // namespace tovix
