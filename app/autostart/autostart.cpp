#include "app/autostart/autostart.h"

#include "common/text.h"

namespace tovix::app {

AutostartCommand autostart_command(const std::filesystem::path& program,
                                   const std::optional<std::filesystem::path>& config) {
  AutostartCommand command{std::filesystem::absolute(program), {MINIMIZED_OPTION}};
  if (config) {
    // The log-on start runs in another working folder: a relative path would name another file.
    command.arguments.push_back("--config");
    command.arguments.push_back(path_text(std::filesystem::absolute(*config)));
  }
  return command;
}

}  // namespace tovix::app
