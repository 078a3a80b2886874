#pragma once
// On Windows the program starts at log-on through a scheduled task: a Run key would start it
// without administrator rights, which the packet driver needs, while a task may run with the
// highest rights the user has. The task is created from a task definition (XML) rather than
// from schtasks' own options, which would also stop it after three days, keep it from starting
// on battery power and end it when the computer leaves mains power.
#include <chrono>
#include <filesystem>
#include <string>

#include "app/autostart/autostart.h"
#include "common/run_command.h"

namespace tovix::app {

inline constexpr const char* AUTOSTART_TASK_NAME = "ToVixProxy";

struct ScheduledTaskContext {
  CommandRunner run = run_command;
  // Where the task definition is written for schtasks to read (and removed again).
  std::filesystem::path definition_folder = std::filesystem::temp_directory_path();
  // "DOMAIN\name" whose log-on starts the task; empty: any user's.
  std::string user;
  std::chrono::milliseconds timeout{15000};
};

// The task definition: a log-on trigger for `user`, the highest rights, no time limit, no
// battery conditions, one instance at a time.
std::string scheduled_task_xml(const AutostartCommand& command, const std::string& user);

class ScheduledTaskAutostart : public Autostart {
 public:
  ScheduledTaskAutostart(AutostartCommand command, ScheduledTaskContext context);

  bool is_enabled() override;
  AutostartResult enable() override;
  AutostartResult disable() override;

 private:
  AutostartCommand _command;
  ScheduledTaskContext _context;
};

}  // namespace tovix::app
