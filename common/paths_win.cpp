#include <windows.h>

#include <string>

#include "common/paths.h"

namespace tovix {
namespace {

std::filesystem::path module_file(HMODULE module) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::filesystem::current_path() / "unknown";
    if (length < buffer.size()) {
      buffer.resize(length);
      return std::filesystem::path(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::filesystem::path executable_dir() { return module_file(nullptr).parent_path(); }

std::filesystem::path module_dir(const void* address_in_module) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address_in_module), &module)) {
    return executable_dir();
  }
  return module_file(module).parent_path();
}

}  // namespace tovix
