#include <windows.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.h"

namespace tovix::testing {
namespace {

// Wine starts a Linux program from its Z: drive path but gives back no usable process handle
// (no wait, no exit code, no termination). So the child is started through the host's sh,
// which records its Unix process id, and is stopped with the host's kill.
constexpr std::chrono::seconds PID_TIMEOUT{20};

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void start_host(const std::string& script) {
  std::wstring line = L"sh -c \"" + widen(script) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &info)) {
    throw std::runtime_error("cannot start the host shell (error " + std::to_string(GetLastError()) + ")");
  }
  if (info.hThread) CloseHandle(info.hThread);
  if (info.hProcess) CloseHandle(info.hProcess);
}

std::string read_first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Arguments go into single quotes for the host shell; the fixtures never pass quotes.
std::string quoted(const std::string& arg) {
  if (arg.find('\'') != std::string::npos || arg.find('"') != std::string::npos) {
    throw std::invalid_argument("argument with quotes: " + arg);
  }
  return "'" + arg + "'";
}

}  // namespace

struct ChildProcess::Handle {
  std::string pid;
  bool ended = false;
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : _handle(new Handle) {
  static std::atomic<unsigned> counter{0};
  const HostFile pid_file =
      host_temp_file("tovix-child-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + ".pid");
  std::string command;
  for (const std::string& arg : argv) command += " " + quoted(arg);
  try {
    start_host("echo $$ > " + quoted(pid_file.for_child + ".tmp") + " && mv " + quoted(pid_file.for_child + ".tmp") + " " +
               quoted(pid_file.for_child) + " && exec" + command + " >/dev/null 2>&1 </dev/null");
    const auto deadline = std::chrono::steady_clock::now() + PID_TIMEOUT;
    // Polling: the host shell gives no other sign that it has started.
    while ((_handle->pid = read_first_line(pid_file.for_test)).empty()) {
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("cannot start " + argv.at(0));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  } catch (...) {
    delete _handle;
    throw;
  }
  DeleteFileA(pid_file.for_test.c_str());
}

ChildProcess::~ChildProcess() {
  kill();
  delete _handle;
}

bool ChildProcess::running() {
  if (_handle->ended) return false;
  // "pid (name) S ...": gone, or a zombie, means it has ended.
  const std::string stat = read_first_line("Z:\\proc\\" + _handle->pid + "\\stat");
  const auto close = stat.rfind(')');
  _handle->ended = close == std::string::npos || stat.compare(close, 3, ") Z") == 0;
  return !_handle->ended;
}

void ChildProcess::kill() {
  if (!running()) return;
  start_host("kill -9 " + _handle->pid);
  const auto deadline = std::chrono::steady_clock::now() + PID_TIMEOUT;
  while (running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  _handle->ended = true;
}

HostFile host_temp_file(const std::string& name) { return {"Z:\\tmp\\" + name, "/tmp/" + name}; }

}  // namespace tovix::testing
