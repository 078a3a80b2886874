#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <system_error>

#include "tests/support/child_process.h"

extern char** environ;

namespace tovix::testing {

struct ChildProcess::Handle {
  pid_t pid = -1;
  bool reaped = false;
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : _handle(new Handle) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  int error = posix_spawn(&_handle->pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    delete _handle;
    throw std::system_error(error, std::generic_category(), "cannot start " + argv[0]);
  }
}

ChildProcess::~ChildProcess() {
  kill();
  delete _handle;
}

bool ChildProcess::running() {
  if (_handle->reaped) return false;
  int status = 0;
  if (waitpid(_handle->pid, &status, WNOHANG) == _handle->pid) _handle->reaped = true;
  return !_handle->reaped;
}

void ChildProcess::kill() {
  if (_handle->reaped) return;
  ::kill(_handle->pid, SIGKILL);
  int status = 0;
  while (waitpid(_handle->pid, &status, 0) < 0 && errno == EINTR) {
  }
  _handle->reaped = true;
}

HostFile host_temp_file(const std::string& name) {
  const std::string path = "/tmp/" + name;
  return {path, path};
}

}  // namespace tovix::testing
