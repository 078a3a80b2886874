#pragma once
// Replaces a file's content all at once: the bytes go to a temporary file in the same folder,
// which is then renamed over the target. A failure at any point leaves the old file as it was.
#include <filesystem>
#include <string_view>

#include "common/common_export.h"

namespace tovix {

// Throws std::system_error naming the path on failure. On Linux a newly written file is
// readable and writable by its owner only.
COMMON_EXPORT void write_file_atomically(const std::filesystem::path& target, std::string_view content);

}  // namespace tovix
