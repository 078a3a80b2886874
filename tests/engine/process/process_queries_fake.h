#pragma once
// Scripted process queries: a process list (entries without a name stand for processes that
// deny access), each with a start time, a connection table and a UDP socket table, whole-query
// failures, and a gate that holds the connection query so tests can catch the monitor in the
// middle of a refresh.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "engine/process/process_queries.h"

namespace tovix::testing {

class FakeProcessQueries : public ProcessQueries {
 public:
  // Each added process gets a start time of its own, so one added again under the same PID
  // after remove_process counts as another process.
  void add_process(std::uint32_t pid, std::optional<std::string> name, std::optional<std::string> exe = {});
  void remove_process(std::uint32_t pid);
  // Processes whose start time the system does not tell (as for a protected process).
  void hide_start_time(std::uint32_t pid);
  // The next enumerations throw after visiting this many processes.
  void fail_enumeration_after(std::size_t visited, std::string message);

  void set_connections(std::vector<TcpConnection> connections);
  void fail_connections(std::string message);  // until set_connections is called again

  void set_udp_sockets(std::vector<UdpSocketEntry> sockets);
  // The next `count` UDP listings come back without these sockets (a socket the system lists
  // a moment late); later listings have them.
  void list_udp_late(std::size_t count);

  // One socket's owner by its addresses and ports: unanswered (as where the system cannot look
  // one socket up) until the first call; a socket not given has no owner.
  using SocketKey = std::tuple<std::uint32_t, std::uint16_t, std::uint32_t, std::uint16_t>;
  void set_socket_owner(SocketKey socket, std::uint32_t pid);
  void fail_socket_lookup(std::string message);
  std::size_t socket_lookups() const;

  // While closed, tcp_connections waits inside the call.
  void close_gate();
  void open_gate();
  bool wait_until_held(std::chrono::milliseconds timeout);

  std::size_t tcp_calls() const;
  bool wait_for_tcp_calls(std::size_t count, std::chrono::milliseconds timeout);
  std::set<std::thread::id> tcp_calling_threads() const;
  std::size_t image_name_calls() const;
  std::size_t start_time_calls() const;
  std::size_t udp_calls() const;
  std::optional<ProcessDetail> last_detail() const;

  void for_each_process(ProcessDetail detail, const std::function<void(const ProcessEntry&)>& visit) override;
  std::optional<std::string> image_name(std::uint32_t pid) override;
  std::vector<TcpConnection> tcp_connections() override;
  std::optional<std::uint32_t> tcp4_socket_owner(std::uint32_t local_address, std::uint16_t local_port,
                                                 std::uint32_t remote_address, std::uint16_t remote_port) override;
  std::vector<UdpSocketEntry> udp_sockets() override;
  std::optional<std::uint64_t> process_start_time(std::uint32_t pid) override;

 private:
  mutable std::mutex _lock;
  std::condition_variable _changed;
  std::vector<ProcessEntry> _processes;
  std::map<std::uint32_t, std::optional<std::uint64_t>> _start_times;
  std::uint64_t _next_start_time = 1000;
  std::vector<UdpSocketEntry> _udp_sockets;
  std::size_t _late_udp_listings = 0;
  std::size_t _udp_calls = 0;
  std::size_t _start_time_calls = 0;
  std::optional<std::pair<std::size_t, std::string>> _enumeration_failure;
  std::vector<TcpConnection> _connections;
  std::optional<std::string> _connection_failure;
  std::optional<std::map<SocketKey, std::uint32_t>> _socket_owners;
  std::optional<std::string> _socket_lookup_failure;
  std::size_t _socket_lookups = 0;
  bool _gate_closed = false;
  bool _held = false;
  std::size_t _tcp_calls = 0;
  std::set<std::thread::id> _tcp_threads;
  std::size_t _image_name_calls = 0;
  std::optional<ProcessDetail> _last_detail;
};

TcpConnection connection(std::uint16_t port, std::uint32_t pid, std::string state = "ESTABLISHED");
UdpSocketEntry udp_socket(std::uint16_t port, std::uint32_t pid, std::string address = "0.0.0.0");

}  // namespace tovix::testing
