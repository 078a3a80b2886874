#pragma once
// Network namespaces for end-to-end tests (Linux, root): a "client" and a "remote" namespace
// joined by a veth pair, each with loopback up, IPv4 and IPv6 addresses, created fresh under
// names no other run uses and removed with everything in them. Nothing here touches the
// namespace the test itself runs in.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/run_command.h"

namespace tovix::testing {

class NetnsPair {
 public:
  // Addresses reserved for benchmarking networks: nothing outside these namespaces has them.
  static constexpr const char* CLIENT_IP = "198.18.0.1";
  static constexpr const char* REMOTE_IP = "198.18.0.2";
  static constexpr const char* CLIENT_IP6 = "fd00:7e57::1";
  static constexpr const char* REMOTE_IP6 = "fd00:7e57::2";

  // Why namespaces cannot be made here (not root, no `ip`), or empty when they can.
  static std::string unavailable_reason();

  // Throws std::runtime_error (what is left is removed again).
  NetnsPair();
  ~NetnsPair();
  NetnsPair(const NetnsPair&) = delete;
  NetnsPair& operator=(const NetnsPair&) = delete;

  const std::string& client() const { return _client; }
  const std::string& remote() const { return _remote; }
  // The client's end of the veth pair: its "outside" interface.
  const std::string& client_interface() const { return _client_interface; }
  // One more IPv4 address of the remote namespace, in the pair's /24 (the client reaches it).
  void add_remote_address(const std::string& ip) const;

  // Runs argv inside `ns`.
  static CommandResult run(const std::string& ns, const std::vector<std::string>& argv,
                           std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // The same, throwing with the command's error output unless it exits with 0.
  static std::string run_ok(const std::string& ns, const std::vector<std::string>& argv,
                            std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  void _remove() noexcept;
  std::string _client, _remote, _client_interface;
};

// Moves the calling thread into a namespace until the scope ends. Sockets made and threads
// started meanwhile belong to that namespace for good.
class NetnsScope {
 public:
  explicit NetnsScope(const std::string& ns);
  ~NetnsScope();
  NetnsScope(const NetnsScope&) = delete;
  NetnsScope& operator=(const NetnsScope&) = delete;

 private:
  int _original = -1;
};

// A program started inside a namespace, its standard output and error going to a file. Killed
// (SIGKILL) when destroyed unless it has ended.
class NetnsProcess {
 public:
  NetnsProcess(const std::string& ns, const std::vector<std::string>& argv, std::filesystem::path output);
  ~NetnsProcess();
  NetnsProcess(const NetnsProcess&) = delete;
  NetnsProcess& operator=(const NetnsProcess&) = delete;

  pid_t pid() const { return _pid; }
  bool running();
  // Sends the signal and waits for the end; the exit code, or 128 + signal number.
  int stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits for the program to end by itself; -1 when the time-out passes first.
  int wait(std::chrono::milliseconds timeout);
  std::string output() const;
  // Waits until the output contains `text`; false when the program ended or the time passed.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);

 private:
  pid_t _pid = -1;
  int _status = -1;
  std::filesystem::path _output;
};

// An IPv6 listener in a namespace that answers every connection with a tiny HTTP response.
class Ipv6Responder {
 public:
  explicit Ipv6Responder(const std::string& ns);
  ~Ipv6Responder();
  Ipv6Responder(const Ipv6Responder&) = delete;
  Ipv6Responder& operator=(const Ipv6Responder&) = delete;
  int port() const { return _port; }

 private:
  int _fd = -1;
  int _port = 0;
  std::thread _thread;
};

// Connects to address:port from inside `ns` until it accepts; throws after `timeout`.
void wait_until_accepting_in(const std::string& ns, const std::string& address, int port,
                             std::chrono::milliseconds timeout = std::chrono::seconds(20));
// A TCP port nothing listens on in `ns` right now.
int free_port_in(const std::string& ns);

}  // namespace tovix::testing
