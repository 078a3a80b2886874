#include "common/stored_file.h"

#include <cerrno>
#include <ctime>
#include <fstream>
#include <iterator>
#include <system_error>

#include <fmt/chrono.h>

namespace tovix {

std::string read_stored_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::system_error(errno, std::generic_category(), "无法读取 " + path.string());
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::system_error(errno, std::generic_category(), "无法读取 " + path.string());
  return content;
}

std::filesystem::path backup_name(const std::filesystem::path& file) {
  std::filesystem::path candidate = file.string() + ".bad";
  if (!std::filesystem::exists(candidate)) return candidate;
  const std::string stamp = fmt::format("{:%Y%m%d-%H%M%S}", fmt::localtime(std::time(nullptr)));
  candidate = file.string() + ".bad-" + stamp;
  for (int n = 2; std::filesystem::exists(candidate); ++n) {
    candidate = file.string() + ".bad-" + stamp + "-" + std::to_string(n);
  }
  return candidate;
}

}  // namespace tovix
