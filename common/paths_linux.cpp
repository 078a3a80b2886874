#include <dlfcn.h>

#include <system_error>

#include "common/paths.h"

namespace tovix {

std::filesystem::path executable_dir() {
  std::error_code error;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::current_path();
  return exe.parent_path();
}

std::filesystem::path module_dir(const void* address_in_module) {
  Dl_info info{};
  if (dladdr(address_in_module, &info) == 0 || info.dli_fname == nullptr || *info.dli_fname == '\0') {
    return executable_dir();
  }
  return std::filesystem::absolute(std::filesystem::path(info.dli_fname)).parent_path();
}

}  // namespace tovix
