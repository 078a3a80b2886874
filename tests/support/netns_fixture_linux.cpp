#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/socket.h"
#include "tests/support/loopback_server.h"
#include "tests/support/netns_fixture.h"

extern char** environ;

namespace tovix::testing {
namespace {

std::atomic<int> g_pairs{0};

std::string command_text(const std::vector<std::string>& argv) {
  std::string text;
  for (const auto& arg : argv) text += (text.empty() ? "" : " ") + arg;
  return text;
}

std::vector<std::string> in_namespace(const std::string& ns, const std::vector<std::string>& argv) {
  std::vector<std::string> full{"ip", "netns", "exec", ns};
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

void host_ok(const std::vector<std::string>& argv) {
  const CommandResult result = run_command(argv, std::chrono::seconds(30));
  if (result.exit_code != 0) throw std::runtime_error(command_text(argv) + ": " + result.standard_error);
}

}  // namespace

std::string NetnsPair::unavailable_reason() {
  if (geteuid() != 0) return "needs root to create network namespaces";
  try {
    if (run_command({"ip", "-V"}, std::chrono::seconds(10)).exit_code != 0) return "`ip` (iproute2) does not run";
  } catch (const CommandError&) {
    return "`ip` (iproute2) is not installed";
  }
  return {};
}

NetnsPair::NetnsPair() : _client_interface("outside") {
  const std::string tag = std::to_string(getpid()) + "-" + std::to_string(g_pairs.fetch_add(1));
  _client = "tovix-client-" + tag;
  _remote = "tovix-remote-" + tag;
  try {
    host_ok({"ip", "netns", "add", _client});
    host_ok({"ip", "netns", "add", _remote});
    host_ok({"ip", "link", "add", _client_interface, "netns", _client, "type", "veth", "peer", "name", "inside",
             "netns", _remote});
    for (const auto& [ns, device, ip, ip6] : {std::tuple{_client, _client_interface, CLIENT_IP, CLIENT_IP6},
                                              std::tuple{_remote, std::string("inside"), REMOTE_IP, REMOTE_IP6}}) {
      run_ok(ns, {"ip", "link", "set", "lo", "up"});
      run_ok(ns, {"ip", "addr", "add", std::string(ip) + "/24", "dev", device});
      run_ok(ns, {"ip", "-6", "addr", "add", std::string(ip6) + "/64", "dev", device, "nodad"});
      run_ok(ns, {"ip", "link", "set", device, "up"});
    }
  } catch (...) {
    _remove();
    throw;
  }
}

NetnsPair::~NetnsPair() { _remove(); }

void NetnsPair::add_remote_address(const std::string& ip) const {
  run_ok(_remote, {"ip", "addr", "add", ip + "/24", "dev", "inside"});
}

void NetnsPair::_remove() noexcept {
  for (const std::string& ns : {_client, _remote}) {
    try {
      run_command({"ip", "netns", "del", ns}, std::chrono::seconds(30));
    } catch (...) {
    }
  }
}

CommandResult NetnsPair::run(const std::string& ns, const std::vector<std::string>& argv,
                             std::chrono::milliseconds timeout) {
  return run_command(in_namespace(ns, argv), timeout);
}

std::string NetnsPair::run_ok(const std::string& ns, const std::vector<std::string>& argv,
                              std::chrono::milliseconds timeout) {
  const CommandResult result = run(ns, argv, timeout);
  if (result.exit_code != 0) {
    throw std::runtime_error("in " + ns + ": " + command_text(argv) + " exited with " +
                             std::to_string(result.exit_code) + ": " + result.standard_error);
  }
  return result.standard_output;
}

NetnsScope::NetnsScope(const std::string& ns) {
  _original = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const std::string path = "/run/netns/" + ns;
  const int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (_original < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
    const std::string error = std::strerror(errno);
    if (target >= 0) close(target);
    if (_original >= 0) close(_original);
    throw std::runtime_error("cannot enter network namespace " + ns + ": " + error);
  }
  close(target);
}

NetnsScope::~NetnsScope() {
  setns(_original, CLONE_NEWNET);
  close(_original);
}

NetnsProcess::NetnsProcess(const std::string& ns, const std::vector<std::string>& argv, std::filesystem::path output)
    : _output(std::move(output)) {
  const std::vector<std::string> full = in_namespace(ns, argv);
  std::vector<char*> args;
  for (const std::string& arg : full) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, _output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int error = posix_spawnp(&_pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + command_text(full) + ": " + std::strerror(error));
}

NetnsProcess::~NetnsProcess() {
  if (running()) stop(SIGKILL);
}

bool NetnsProcess::running() {
  if (_status >= 0) return false;
  int status = 0;
  if (waitpid(_pid, &status, WNOHANG) == _pid) {
    _status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return _status < 0;
}

int NetnsProcess::stop(int signal, std::chrono::milliseconds timeout) {
  if (running()) ::kill(_pid, signal);
  const int code = wait(timeout);
  if (code >= 0) return code;
  ::kill(_pid, SIGKILL);
  return wait(std::chrono::seconds(30));
}

int NetnsProcess::wait(std::chrono::milliseconds timeout) {
  eventually([&] { return !running(); }, timeout);
  return _status;
}

std::string NetnsProcess::output() const {
  std::ifstream in(_output, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool NetnsProcess::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
  return eventually([&] { return output().find(text) != std::string::npos || !running(); }, timeout) &&
         output().find(text) != std::string::npos;
}

Ipv6Responder::Ipv6Responder(const std::string& ns) {
  NetnsScope inside(ns);
  _fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  socklen_t length = sizeof address;
  if (_fd < 0 || bind(_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(_fd, 16) != 0 ||
      getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (_fd >= 0) close(_fd);
    throw std::runtime_error(std::string("IPv6 listener: ") + std::strerror(errno));
  }
  _port = ntohs(address.sin6_port);
  _thread = std::thread([this] {
    for (;;) {
      const int client = accept(_fd, nullptr, nullptr);
      if (client < 0) return;
      const char answer[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
      char request[4096];
      (void)!recv(client, request, sizeof request, 0);
      (void)!write(client, answer, sizeof answer - 1);
      close(client);
    }
  });
}

Ipv6Responder::~Ipv6Responder() {
  ::shutdown(_fd, SHUT_RDWR);
  _thread.join();
  close(_fd);
}

void wait_until_accepting_in(const std::string& ns, const std::string& address, int port,
                             std::chrono::milliseconds timeout) {
  NetnsScope inside(ns);
  const bool accepted = eventually(
      [&] {
        try {
          connect_tcp(address, port, std::chrono::seconds(1));
          return true;
        } catch (const SocketError&) {
          return false;
        }
      },
      timeout);
  if (!accepted) throw std::runtime_error("nothing accepts on " + address + ":" + std::to_string(port) + " in " + ns);
}

int free_port_in(const std::string& ns) {
  NetnsScope inside(ns);
  auto probe = Socket::create_tcp();
  probe->bind("0.0.0.0", 0);
  return probe->local_address().second;
}

}  // namespace tovix::testing
