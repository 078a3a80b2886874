#include "app/autostart/scheduled_task_win.h"

#include <windows.h>

#include <atomic>
#include <fstream>
#include <system_error>

#include "common/text.h"
#include "common/windows_text.h"

namespace tovix::app {
namespace {

namespace fs = std::filesystem;

std::string xml_escaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

// What schtasks said about a failure: its error stream, or its output when that is empty.
std::string complaint_of(const CommandResult& result) {
  const std::string& text = result.standard_error.empty() ? result.standard_output : result.standard_error;
  const std::string_view stripped = strip_whitespace(text);
  return stripped.empty() ? "schtasks 退出码 " + std::to_string(result.exit_code) : std::string(stripped);
}

// schtasks reads a task definition as UTF-16 with a byte order mark, as Task Scheduler writes one.
void write_utf16_file(const fs::path& file, const std::string& utf8) {
  const std::wstring wide = wide_from_utf8(utf8);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write("\xFF\xFE", 2);
  out.write(reinterpret_cast<const char*>(wide.data()), static_cast<std::streamsize>(wide.size() * sizeof(wchar_t)));
  if (!out.flush()) throw std::system_error(errno, std::generic_category(), "无法写入 " + path_text(file));
}

std::string environment_text(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), size));
  return utf8_from_wide(value);
}

std::string current_user() {
  const std::string name = environment_text(L"USERNAME");
  if (name.empty()) return {};
  const std::string domain = environment_text(L"USERDOMAIN");
  return domain.empty() ? name : domain + "\\" + name;
}

}  // namespace

std::string scheduled_task_xml(const AutostartCommand& command, const std::string& user) {
  const std::string user_id = user.empty() ? std::string() : "      <UserId>" + xml_escaped(user) + "</UserId>\n";
  return "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
         "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
         "  <RegistrationInfo>\n"
         "    <Description>登录时启动云貂代理，窗口隐藏在系统托盘</Description>\n"
         "  </RegistrationInfo>\n"
         "  <Triggers>\n"
         "    <LogonTrigger>\n"
         "      <Enabled>true</Enabled>\n" +
         user_id +
         "    </LogonTrigger>\n"
         "  </Triggers>\n"
         "  <Principals>\n"
         "    <Principal id=\"Author\">\n" +
         user_id +
         "      <LogonType>InteractiveToken</LogonType>\n"
         "      <RunLevel>HighestAvailable</RunLevel>\n"
         "    </Principal>\n"
         "  </Principals>\n"
         "  <Settings>\n"
         "    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\n"
         "    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\n"
         "    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\n"
         "    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>\n"
         "    <Priority>5</Priority>\n"
         "  </Settings>\n"
         "  <Actions Context=\"Author\">\n"
         "    <Exec>\n"
         "      <Command>" +
         xml_escaped(path_text(command.program)) +
         "</Command>\n"
         "      <Arguments>" +
         xml_escaped(windows_command_line(command.arguments)) +
         "</Arguments>\n"
         "      <WorkingDirectory>" +
         xml_escaped(path_text(command.program.parent_path())) +
         "</WorkingDirectory>\n"
         "    </Exec>\n"
         "  </Actions>\n"
         "</Task>\n";
}

ScheduledTaskAutostart::ScheduledTaskAutostart(AutostartCommand command, ScheduledTaskContext context)
    : _command(std::move(command)), _context(std::move(context)) {}

bool ScheduledTaskAutostart::is_enabled() {
  try {
    return _context.run({"schtasks", "/Query", "/TN", AUTOSTART_TASK_NAME}, _context.timeout).exit_code == 0;
  } catch (const CommandError&) {
    return false;
  }
}

AutostartResult ScheduledTaskAutostart::enable() {
  static std::atomic<unsigned> serial{0};
  const fs::path definition =
      _context.definition_folder /
      ("tovixproxy-autostart-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial++) + ".xml");
  AutostartResult outcome{true, AUTOSTART_ENABLED};
  try {
    write_utf16_file(definition, scheduled_task_xml(_command, _context.user));
    const CommandResult result = _context.run(
        {"schtasks", "/Create", "/TN", AUTOSTART_TASK_NAME, "/XML", path_text(definition), "/F"}, _context.timeout);
    if (result.exit_code != 0) outcome = {false, std::string(AUTOSTART_ENABLE_FAILED) + complaint_of(result)};
  } catch (const std::exception& e) {
    outcome = {false, std::string(AUTOSTART_ENABLE_FAILED) + e.what()};
  }
  std::error_code ignored;
  fs::remove(definition, ignored);
  return outcome;
}

AutostartResult ScheduledTaskAutostart::disable() {
  try {
    const CommandResult result =
        _context.run({"schtasks", "/Delete", "/TN", AUTOSTART_TASK_NAME, "/F"}, _context.timeout);
    // A task that is not there is what was asked for.
    if (result.exit_code != 0 && is_enabled()) {
      return {false, std::string(AUTOSTART_DISABLE_FAILED) + complaint_of(result)};
    }
  } catch (const std::exception& e) {
    return {false, std::string(AUTOSTART_DISABLE_FAILED) + e.what()};
  }
  return {true, AUTOSTART_DISABLED};
}

std::unique_ptr<Autostart> make_system_autostart(AutostartCommand command) {
  ScheduledTaskContext context;
  context.user = current_user();
  return std::make_unique<ScheduledTaskAutostart>(std::move(command), std::move(context));
}

}  // namespace tovix::app
