#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "common/atomic_file.h"

namespace tovix {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

void write_all(int fd, std::string_view content, const std::string& what) {
  while (!content.empty()) {
    ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(errno, what);
    }
    content.remove_prefix(static_cast<size_t>(written));
  }
}

}  // namespace

void write_file_atomically(const std::filesystem::path& target, std::string_view content) {
  std::string temp = target.string() + ".tmp-XXXXXX";
  int fd = ::mkstemp(temp.data());  // created with mode 0600
  if (fd < 0) fail(errno, "无法创建临时文件 " + temp);
  try {
    write_all(fd, content, "写入失败 " + temp);
    if (::fsync(fd) != 0) fail(errno, "写入失败 " + temp);
    if (::close(fd) != 0) {
      fd = -1;
      fail(errno, "写入失败 " + temp);
    }
    fd = -1;
    if (::rename(temp.c_str(), target.c_str()) != 0) fail(errno, "无法替换 " + target.string());
  } catch (...) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
}

}  // namespace tovix
