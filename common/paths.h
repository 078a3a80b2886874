#pragma once
// Where the program and its libraries live on disk.
#include <filesystem>

#include "common/common_export.h"

namespace tovix {

// Directory of the running executable (absolute).
COMMON_EXPORT std::filesystem::path executable_dir();

// Directory of the executable or shared library that contains `address_in_module`
// (absolute); the executable's directory when that cannot be told.
COMMON_EXPORT std::filesystem::path module_dir(const void* address_in_module);

}  // namespace tovix
