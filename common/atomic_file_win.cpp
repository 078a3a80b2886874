#include <windows.h>

#include <atomic>
#include <string>
#include <system_error>

#include "common/atomic_file.h"

namespace tovix {
namespace {

[[noreturn]] void fail(DWORD error, const std::string& what) {
  throw std::system_error(static_cast<int>(error), std::system_category(), what);
}

std::filesystem::path temp_name(const std::filesystem::path& target) {
  static std::atomic<unsigned> counter{0};
  std::wstring suffix = L".tmp-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
  return std::filesystem::path(target.wstring() + suffix);
}

}  // namespace

void write_file_atomically(const std::filesystem::path& target, std::string_view content) {
  const std::filesystem::path temp = temp_name(target);
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) fail(GetLastError(), "无法创建临时文件 " + temp.string());
  DWORD error = ERROR_SUCCESS;
  while (!content.empty() && error == ERROR_SUCCESS) {
    DWORD chunk = content.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(content.size());
    DWORD written = 0;
    if (!WriteFile(file, content.data(), chunk, &written, nullptr)) {
      error = GetLastError();
    } else {
      content.remove_prefix(written);
    }
  }
  if (error == ERROR_SUCCESS && !FlushFileBuffers(file)) error = GetLastError();
  CloseHandle(file);
  if (error == ERROR_SUCCESS &&
      !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != ERROR_SUCCESS) {
    DeleteFileW(temp.c_str());
    fail(error, "写入失败 " + target.string());
  }
}

}  // namespace tovix
