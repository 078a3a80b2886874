#include "engine/driver_setup/driver_setup.h"

#include <string_view>
#include <system_error>

#include "common/logging.h"
#include "common/paths.h"
#include "common/text.h"

namespace tovix {
namespace {

// Configured with TOVIX_PACKAGED=ON: the program is installed from a package, with its data
// files (the "driver" folder among them) beside the executable.
constexpr bool kPackagedBuild = TOVIX_PACKAGED_BUILD != 0;
// The program's own pointer width decides which driver it loads, not the operating system's.
constexpr bool k64BitBuild = sizeof(void*) > 4;

constexpr const char* kUnknownError = "未知错误";

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// What `sc` said about a failure: its error stream, or its output when the error stream is empty.
const std::string& complaint_of(const CommandResult& result) {
  return result.standard_error.empty() ? result.standard_output : result.standard_error;
}

bool file_exists(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

std::filesystem::path library_path(const std::filesystem::path& driver_dir) {
  return driver_dir / (k64BitBuild ? "WinDivert64.dll" : "WinDivert32.dll");
}

std::vector<std::string> service_command(const char* verb) { return {"sc", verb, DRIVER_SERVICE_NAME}; }

std::vector<std::string> config_command(const std::filesystem::path& sys_path) {
  // The service manager reads an unquoted image path with a space as a program plus arguments.
  auto bin = path_text(sys_path);
  if (contains(bin, " ")) bin = '"' + bin + '"';
  return {"sc", "config", DRIVER_SERVICE_NAME, "binPath=", bin};
}

std::vector<std::string> create_command(const std::filesystem::path& sys_path) {
  return {"sc",     "create",   DRIVER_SERVICE_NAME, "type=",        "kernel",           "start=",
          "demand", "binPath=", path_text(sys_path), "DisplayName=", DRIVER_DISPLAY_NAME};
}

// For the commands whose failure to run belongs to the caller of install_driver.
CommandResult run_or_raise(const DriverSetupContext& context, const std::vector<std::string>& argv,
                           std::chrono::milliseconds timeout) {
  try {
    return context.run(argv, timeout);
  } catch (const CommandTimeout& error) {
    throw DriverCommandError(argv, error.what(), true);
  } catch (const std::exception& error) {
    throw DriverCommandError(argv, error.what(), false);
  }
}

bool admin_rights(const DriverSetupContext& context) {
  try {
    return context.admin_check && context.admin_check();
  } catch (...) {
    return false;
  }
}

// The query's standard output, or nothing when `sc` could not tell.
std::optional<std::string> query_service(const DriverSetupContext& context) {
  try {
    return context.run(service_command("query"), context.timeouts.query).standard_output;
  } catch (...) {
    return std::nullopt;
  }
}

// A failure text, or nothing when both files were copied.
std::optional<std::string> copy_keeping_times(const std::filesystem::path& from, const std::filesystem::path& to) {
  try {
    // Removed first rather than copied with overwrite_existing: the mingw build of libstdc++
    // refuses to overwrite an existing file ("File exists").
    std::filesystem::remove(to);
    std::filesystem::copy_file(from, to);
    std::filesystem::last_write_time(to, std::filesystem::last_write_time(from));
    return std::nullopt;
  } catch (const std::exception& error) {
    return error.what();
  }
}

// The driver being replaced may be loaded from the copy, so the service is stopped first.
// Returns the copied driver file, or the failure.
std::pair<std::filesystem::path, std::optional<DriverResult>> copy_beside_executable(
    const DriverSetupContext& context, const std::filesystem::path& exe_dir, const std::filesystem::path& sys_path,
    const std::filesystem::path& dll_path) {
  const auto sys_dst = exe_dir / "WinDivert64.sys";
  const auto dll_dst = exe_dir / "WinDivert64.dll";
  run_or_raise(context, service_command("stop"), context.timeouts.stop_install);
  auto failure = copy_keeping_times(sys_path, sys_dst);
  if (!failure) failure = copy_keeping_times(dll_path, dll_dst);
  if (failure) return {sys_path, DriverResult{false, "复制驱动文件到程序目录失败: " + *failure}};
  return {sys_dst, std::nullopt};
}

// Points the existing service at sys_path and restarts it. Returns the outcome, or nothing when
// the service was deleted and has to be created afresh.
std::optional<DriverResult> repair_service(const DriverSetupContext& context, const std::filesystem::path& sys_path) {
  run_or_raise(context, config_command(sys_path), context.timeouts.config);
  run_or_raise(context, service_command("stop"), context.timeouts.stop_install);
  const auto started = run_or_raise(context, service_command("start"), context.timeouts.start_repair);
  if (is_driver_running(context)) return DriverResult{true, "驱动已安装并启动成功"};

  const std::string& said = complaint_of(started);
  const std::string start_err(strip_whitespace(said.empty() ? kUnknownError : said));
  get_logger(LOGGER_ENGINE)->warn("驱动启动失败: {}", start_err);

  // A service that will not start is often half-broken (wrong type, stale path): recreate it.
  const auto deleted = run_or_raise(context, service_command("delete"), context.timeouts.delete_install);
  // 1060: the service does not exist, which is as good as deleted.
  if (deleted.exit_code != 0 && !contains(deleted.standard_error, "1060")) {
    return DriverResult{false, "驱动启动失败:\n" + start_err};
  }
  return std::nullopt;
}

DriverResult create_service(const DriverSetupContext& context, const std::filesystem::path& sys_path) {
  try {
    const auto create = create_command(sys_path);
    auto created = context.run(create, context.timeouts.create);
    if (created.exit_code != 0) {
      // Typically a service of that name still marked for deletion.
      context.run(service_command("delete"), context.timeouts.delete_install);
      created = context.run(create, context.timeouts.create);
      if (created.exit_code != 0) return {false, "创建驱动服务失败:\n" + complaint_of(created)};
    }
    const auto started = context.run(service_command("start"), context.timeouts.start_new);
    if (is_driver_running(context)) {
      get_logger(LOGGER_ENGINE)->info("WinDivert 驱动安装并启动成功");
      return {true, "驱动安装成功，已启动"};
    }
    return {false, "驱动安装完成但启动失败:\n" + complaint_of(started)};
  } catch (const CommandTimeout&) {
    return {false, "驱动安装超时"};
  } catch (const std::exception& error) {
    return {false, std::string("驱动安装异常: ") + error.what()};
  } catch (...) {
    return {false, std::string("驱动安装异常: ") + kUnknownError};
  }
}

std::optional<std::filesystem::path> default_copy_target() {
  if (kPackagedBuild) return executable_dir();
  return std::nullopt;
}

}  // namespace

std::filesystem::path _get_driver_dir() {
  if (kPackagedBuild) return executable_dir() / "driver";
  return module_dir(reinterpret_cast<const void*>(&_get_driver_dir)) / ".." / "driver";
}

const std::filesystem::path DRIVER_DIR = _get_driver_dir();
const std::filesystem::path SYS_X64 = DRIVER_DIR / "WinDivert64.sys";
const std::filesystem::path SYS_X86 = DRIVER_DIR / "WinDivert32.sys";
const std::filesystem::path DLL_X64 = DRIVER_DIR / "WinDivert64.dll";

DriverSetupContext::DriverSetupContext()
    : run(run_command), admin_check(is_admin), driver_dir(DRIVER_DIR), packaged_exe_dir(default_copy_target()) {}

DriverCommandError::DriverCommandError(std::vector<std::string> argv, const std::string& reason, bool timed_out)
    : std::runtime_error(reason), _argv(std::move(argv)), _timed_out(timed_out) {}

std::filesystem::path get_sys_path() { return k64BitBuild ? SYS_X64 : SYS_X86; }

std::filesystem::path get_sys_path(const std::filesystem::path& driver_dir) {
  return driver_dir / (k64BitBuild ? "WinDivert64.sys" : "WinDivert32.sys");
}

std::pair<bool, bool> check_driver_files() { return check_driver_files(DriverSetupContext()); }

std::pair<bool, bool> check_driver_files(const DriverSetupContext& context) {
  return {file_exists(get_sys_path(context.driver_dir)), file_exists(library_path(context.driver_dir))};
}

bool is_driver_installed() { return is_driver_installed(DriverSetupContext()); }

bool is_driver_installed(const DriverSetupContext& context) {
  const auto output = query_service(context);
  return output && contains(*output, "SERVICE_NAME");
}

// The numeric state of the STATE line is 4 (running). It still holds where the state's name is
// translated; a "4" elsewhere (an exit code such as 1064) says nothing about the state.
static bool state_code_is_running(const std::string& output) {
  std::size_t line_start = 0;
  while (line_start < output.size()) {
    std::size_t line_end = output.find('\n', line_start);
    if (line_end == std::string::npos) line_end = output.size();
    const std::string line = output.substr(line_start, line_end - line_start);
    const auto state = line.find("STATE");
    const auto colon = line.find(':', state == std::string::npos ? line.size() : state);
    if (state != std::string::npos && colon != std::string::npos) {
      const auto code_start = line.find_first_not_of(" \t", colon + 1);
      if (code_start != std::string::npos) {
        const auto code_end = line.find_first_of(" \t\r", code_start);
        return line.substr(code_start, code_end == std::string::npos ? std::string::npos : code_end - code_start) == "4";
      }
    }
    line_start = line_end + 1;
  }
  return false;
}

bool is_driver_running() { return is_driver_running(DriverSetupContext()); }

bool is_driver_running(const DriverSetupContext& context) {
  const auto output = query_service(context);
  if (!output || !contains(*output, "SERVICE_NAME")) return false;
  return contains(*output, "RUNNING") || state_code_is_running(*output);
}

DriverResult install_driver() { return install_driver(DriverSetupContext()); }

DriverResult install_driver(const DriverSetupContext& context) {
  if (!admin_rights(context)) return {false, "驱动安装需要管理员权限，请以管理员身份运行本程序"};

  auto sys_path = get_sys_path(context.driver_dir);
  const auto dll_path = library_path(context.driver_dir);
  if (!file_exists(sys_path)) {
    return {false, "驱动文件不存在: " + path_text(sys_path) + "\n请将 WinDivert 驱动文件放入 D:\\proxy\\driver\\"};
  }
  if (!file_exists(dll_path)) return {false, "DLL 文件不存在: " + path_text(dll_path)};

  if (context.packaged_exe_dir) {
    auto [copied, failure] = copy_beside_executable(context, *context.packaged_exe_dir, sys_path, dll_path);
    if (failure) return *failure;
    sys_path = copied;
  }

  if (is_driver_installed(context)) {
    if (auto outcome = repair_service(context, sys_path)) return *outcome;
  }
  return create_service(context, sys_path);
}

DriverResult uninstall_driver() { return uninstall_driver(DriverSetupContext()); }

DriverResult uninstall_driver(const DriverSetupContext& context) {
  if (!admin_rights(context)) return {false, "需要管理员权限"};
  try {
    context.run(service_command("stop"), context.timeouts.stop_uninstall);
    const auto deleted = context.run(service_command("delete"), context.timeouts.delete_uninstall);
    if (deleted.exit_code == 0 || contains(deleted.standard_error, "1060")) return {true, "驱动已卸载"};
    return {false, "卸载失败:\n" + complaint_of(deleted)};
  } catch (const std::exception& error) {
    return {false, std::string("卸载异常: ") + error.what()};
  } catch (...) {
    return {false, std::string("卸载异常: ") + kUnknownError};
  }
}

}  // namespace tovix
