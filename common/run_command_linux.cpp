#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "common/run_command.h"
#include "common/text.h"

extern char** environ;

namespace tovix {
namespace {

using Clock = std::chrono::steady_clock;

// Closes the descriptors it holds when it goes, whatever path leaves the function.
struct Pipe {
  int read_end = -1;
  int write_end = -1;
  ~Pipe() {
    close_read();
    close_write();
  }
  void close_read() {
    if (read_end >= 0) ::close(read_end);
    read_end = -1;
  }
  void close_write() {
    if (write_end >= 0) ::close(write_end);
    write_end = -1;
  }
};

void open_pipe(Pipe& pipe) {
  int ends[2];
  // Close-on-exec, so children spawned by other threads at the same moment don't keep it open.
  if (::pipe2(ends, O_CLOEXEC) != 0) throw CommandError(std::string("无法创建管道: ") + std::strerror(errno));
  pipe.read_end = ends[0];
  pipe.write_end = ends[1];
}

std::string describe(const std::vector<std::string>& argv) { return windows_command_line(argv); }

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

class Child {
 public:
  Child(const std::vector<std::string>& argv, Pipe& out, Pipe& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write_end, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.write_end, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    // Its own process group, so a time-out also ends whatever it started.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int error = ::posix_spawnp(&_pid, argv[0].c_str(), &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
      throw CommandError("无法启动 " + argv[0] + ": " + std::strerror(error));
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (_pid > 0) kill_and_reap();
  }

  // The exit status once the child has ended, or -1 while it runs.
  bool try_reap(int& status) {
    pid_t done = ::waitpid(_pid, &status, WNOHANG);
    if (done == _pid) {
      _pid = -1;
      return true;
    }
    return false;
  }

  void kill_and_reap() {
    ::kill(-_pid, SIGKILL);
    ::kill(_pid, SIGKILL);
    int status = 0;
    while (::waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
    }
    _pid = -1;
  }

 private:
  pid_t _pid = -1;
};

[[noreturn]] void give_up(Child& child, const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  child.kill_and_reap();
  throw CommandTimeout("命令超时 (" + std::to_string(timeout.count()) + " 毫秒): " + describe(argv));
}

}  // namespace

CommandResult run_command(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  if (argv.empty() || argv[0].empty()) throw CommandError("没有要运行的命令");
  Pipe out, err;
  open_pipe(out);
  open_pipe(err);
  const auto deadline = Clock::now() + timeout;
  Child child(argv, out, err);
  out.close_write();
  err.close_write();

  std::string output, errors;
  pollfd fds[2] = {{out.read_end, POLLIN, 0}, {err.read_end, POLLIN, 0}};
  std::string* sinks[2] = {&output, &errors};
  char buffer[65536];
  int open_streams = 2;
  while (open_streams > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      give_up(child, argv, timeout);
    }
    const int ready = ::poll(fds, 2, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) throw CommandError(std::string("等待输出失败: ") + std::strerror(errno));
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;  // end of stream
        --open_streams;
      }
    }
  }

  // Both streams are closed; the child may still be finishing.
  int status = 0;
  while (!child.try_reap(status)) {
    if (Clock::now() >= deadline) {
      give_up(child, argv, timeout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return CommandResult{exit_code_of(status), to_valid_utf8(output), to_valid_utf8(errors)};
}

}  // namespace tovix
