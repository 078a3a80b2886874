#include <windows.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "common/run_command.h"
#include "common/text.h"
#include "common/windows_text.h"

namespace tovix {
namespace {

std::string system_message_of(DWORD code) { return "[WinError " + std::to_string(code) + "] " + windows_error_text(code); }

struct Handle {
  HANDLE value = nullptr;
  Handle() = default;
  explicit Handle(HANDLE h) : value(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  void reset() {
    if (value != nullptr && value != INVALID_HANDLE_VALUE) CloseHandle(value);
    value = nullptr;
  }
};

// PATH first (so a program placed there wins over the system folder), with the PATHEXT endings.
std::wstring find_program(const std::wstring& name) {
  if (name.find_first_of(L"\\/:") != std::wstring::npos) return name;
  std::vector<std::wstring> endings = {L""};
  if (name.find(L'.') == std::wstring::npos) endings = {L".com", L".exe", L".bat", L".cmd"};
  const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  std::wstring path(size, L'\0');
  GetEnvironmentVariableW(L"PATH", path.data(), size);
  if (!path.empty() && path.back() == L'\0') path.pop_back();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L';', start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring folder = path.substr(start, end - start);
    if (!folder.empty()) {
      if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
      for (const auto& ending : endings) {
        const std::wstring candidate = folder + name + ending;
        const DWORD attributes = GetFileAttributesW(candidate.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return candidate;
      }
    }
    start = end + 1;
  }
  return {};
}

// Drains one pipe on its own thread so a chatty child never blocks on a full pipe.
class PipeReader {
 public:
  explicit PipeReader(HANDLE read_end) : _read_end(read_end), _thread([this] { run(); }) {}
  ~PipeReader() {
    if (_thread.joinable()) _thread.join();
  }
  std::string finish() {
    _thread.join();
    return std::move(_data);
  }

 private:
  void run() {
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(_read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) _data.append(buffer, got);
  }
  HANDLE _read_end;
  std::string _data;
  std::thread _thread;
};

}  // namespace

CommandResult run_command(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  if (argv.empty() || argv[0].empty()) throw CommandError("没有要运行的命令");
  const std::wstring program = find_program(wide_from_utf8(argv[0]));
  if (program.empty()) throw CommandError("无法启动 " + argv[0] + ": " + system_message_of(ERROR_FILE_NOT_FOUND));

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle out_read, out_write, err_read, err_write;
  if (!CreatePipe(&out_read.value, &out_write.value, &inheritable, 0) ||
      !CreatePipe(&err_read.value, &err_write.value, &inheritable, 0)) {
    throw CommandError("无法创建管道: " + system_message_of(GetLastError()));
  }
  SetHandleInformation(out_read.value, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read.value, HANDLE_FLAG_INHERIT, 0);
  Handle null_input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));

  // Only these three handles reach the child, whatever else is inheritable in this process.
  HANDLE inherited[3] = {null_input.value, out_write.value, err_write.value};
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::unique_ptr<char[]> list_memory(new char[list_size]);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.get());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &list_size)) {
    throw CommandError("无法启动 " + argv[0] + ": " + system_message_of(GetLastError()));
  }
  std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, decltype(&DeleteProcThreadAttributeList)> list_guard(
      attributes, &DeleteProcThreadAttributeList);
  UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited, nullptr,
                            nullptr);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = null_input.value;
  startup.StartupInfo.hStdOutput = out_write.value;
  startup.StartupInfo.hStdError = err_write.value;
  startup.lpAttributeList = attributes;

  std::wstring command_line = wide_from_utf8(windows_command_line(argv));
  const bool is_batch = program.size() > 4 && (_wcsicmp(program.c_str() + program.size() - 4, L".bat") == 0 ||
                                               _wcsicmp(program.c_str() + program.size() - 4, L".cmd") == 0);
  PROCESS_INFORMATION process{};
  // Batch files are started through the command interpreter, which CreateProcessW picks itself
  // when no application name is given.
  if (!CreateProcessW(is_batch ? nullptr : program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                      CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                      &startup.StartupInfo, &process)) {
    throw CommandError("无法启动 " + argv[0] + ": " + system_message_of(GetLastError()));
  }
  Handle process_handle(process.hProcess), thread_handle(process.hThread);
  // A job ends the child's own children along with it on a time-out.
  Handle job(CreateJobObjectW(nullptr, nullptr));
  if (job.value != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.value, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    AssignProcessToJobObject(job.value, process_handle.value);
  }
  ResumeThread(thread_handle.value);
  out_write.reset();
  err_write.reset();
  null_input.reset();

  PipeReader out_reader(out_read.value), err_reader(err_read.value);
  const DWORD wait = WaitForSingleObject(process_handle.value, static_cast<DWORD>(timeout.count()));
  if (wait != WAIT_OBJECT_0) {
    TerminateProcess(process_handle.value, 1);
    if (job.value != nullptr) TerminateJobObject(job.value, 1);
    WaitForSingleObject(process_handle.value, INFINITE);
    out_reader.finish();
    err_reader.finish();
    throw CommandTimeout("命令超时 (" + std::to_string(timeout.count()) + " 毫秒): " + windows_command_line(argv));
  }
  // Grandchildren that outlive the child would keep the pipes open: end them with the job.
  if (job.value != nullptr) TerminateJobObject(job.value, 0);
  DWORD exit_code = 0;
  GetExitCodeProcess(process_handle.value, &exit_code);
  std::string output = out_reader.finish();
  std::string errors = err_reader.finish();
  return CommandResult{static_cast<int>(exit_code), to_valid_utf8(output), to_valid_utf8(errors)};
}

}  // namespace tovix
