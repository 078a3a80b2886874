#include "tests/engine/process/process_queries_fake.h"

#include <algorithm>

namespace tovix::testing {

void FakeProcessQueries::add_process(std::uint32_t pid, std::optional<std::string> name,
                                     std::optional<std::string> exe) {
  std::lock_guard guard(_lock);
  _processes.push_back(ProcessEntry{pid, std::move(name), std::move(exe)});
  _start_times[pid] = _next_start_time++;
}

void FakeProcessQueries::remove_process(std::uint32_t pid) {
  std::lock_guard guard(_lock);
  std::erase_if(_processes, [pid](const ProcessEntry& p) { return p.pid == pid; });
  _start_times.erase(pid);
}

void FakeProcessQueries::hide_start_time(std::uint32_t pid) {
  std::lock_guard guard(_lock);
  _start_times[pid] = std::nullopt;
}

void FakeProcessQueries::set_udp_sockets(std::vector<UdpSocketEntry> sockets) {
  std::lock_guard guard(_lock);
  _udp_sockets = std::move(sockets);
}

void FakeProcessQueries::list_udp_late(std::size_t count) {
  std::lock_guard guard(_lock);
  _late_udp_listings = count;
}

std::size_t FakeProcessQueries::start_time_calls() const {
  std::lock_guard guard(_lock);
  return _start_time_calls;
}

std::size_t FakeProcessQueries::udp_calls() const {
  std::lock_guard guard(_lock);
  return _udp_calls;
}

std::vector<UdpSocketEntry> FakeProcessQueries::udp_sockets() {
  std::lock_guard guard(_lock);
  ++_udp_calls;
  if (_connection_failure) throw ProcessQueryError(*_connection_failure);
  if (_late_udp_listings > 0) {
    --_late_udp_listings;
    return {};
  }
  return _udp_sockets;
}

std::optional<std::uint64_t> FakeProcessQueries::process_start_time(std::uint32_t pid) {
  std::lock_guard guard(_lock);
  ++_start_time_calls;
  const auto found = _start_times.find(pid);
  return found == _start_times.end() ? std::nullopt : found->second;
}

void FakeProcessQueries::fail_enumeration_after(std::size_t visited, std::string message) {
  std::lock_guard guard(_lock);
  _enumeration_failure.emplace(visited, std::move(message));
}

void FakeProcessQueries::set_connections(std::vector<TcpConnection> connections) {
  std::lock_guard guard(_lock);
  _connections = std::move(connections);
  _connection_failure.reset();
}

void FakeProcessQueries::fail_connections(std::string message) {
  std::lock_guard guard(_lock);
  _connection_failure = std::move(message);
}

void FakeProcessQueries::close_gate() {
  std::lock_guard guard(_lock);
  _gate_closed = true;
}

void FakeProcessQueries::open_gate() {
  {
    std::lock_guard guard(_lock);
    _gate_closed = false;
  }
  _changed.notify_all();
}

bool FakeProcessQueries::wait_until_held(std::chrono::milliseconds timeout) {
  std::unique_lock guard(_lock);
  return _changed.wait_for(guard, timeout, [this] { return _held; });
}

std::size_t FakeProcessQueries::tcp_calls() const {
  std::lock_guard guard(_lock);
  return _tcp_calls;
}

bool FakeProcessQueries::wait_for_tcp_calls(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock guard(_lock);
  return _changed.wait_for(guard, timeout, [&] { return _tcp_calls >= count; });
}

std::set<std::thread::id> FakeProcessQueries::tcp_calling_threads() const {
  std::lock_guard guard(_lock);
  return _tcp_threads;
}

std::size_t FakeProcessQueries::image_name_calls() const {
  std::lock_guard guard(_lock);
  return _image_name_calls;
}

std::optional<ProcessDetail> FakeProcessQueries::last_detail() const {
  std::lock_guard guard(_lock);
  return _last_detail;
}

void FakeProcessQueries::for_each_process(ProcessDetail detail, const std::function<void(const ProcessEntry&)>& visit) {
  std::vector<ProcessEntry> processes;
  std::optional<std::pair<std::size_t, std::string>> failure;
  {
    std::lock_guard guard(_lock);
    processes = _processes;
    failure = _enumeration_failure;
    _last_detail = detail;
  }
  for (std::size_t i = 0; i < processes.size(); ++i) {
    if (failure && i == failure->first) throw ProcessQueryError(failure->second);
    if (detail == ProcessDetail::name_only) processes[i].exe.reset();
    visit(processes[i]);
  }
  if (failure && failure->first >= processes.size()) throw ProcessQueryError(failure->second);
}

std::optional<std::string> FakeProcessQueries::image_name(std::uint32_t pid) {
  std::lock_guard guard(_lock);
  ++_image_name_calls;
  const auto found = std::find_if(_processes.begin(), _processes.end(), [pid](const auto& p) { return p.pid == pid; });
  if (found == _processes.end()) return std::nullopt;
  return found->name;
}

std::vector<TcpConnection> FakeProcessQueries::tcp_connections() {
  std::unique_lock guard(_lock);
  _held = true;
  _changed.notify_all();
  _changed.wait(guard, [this] { return !_gate_closed; });
  _held = false;
  ++_tcp_calls;
  _tcp_threads.insert(std::this_thread::get_id());
  _changed.notify_all();
  if (_connection_failure) throw ProcessQueryError(*_connection_failure);
  return _connections;
}

void FakeProcessQueries::set_socket_owner(SocketKey socket, std::uint32_t pid) {
  std::lock_guard guard(_lock);
  if (!_socket_owners) _socket_owners.emplace();
  (*_socket_owners)[socket] = pid;
}

void FakeProcessQueries::fail_socket_lookup(std::string message) {
  std::lock_guard guard(_lock);
  _socket_lookup_failure = std::move(message);
}

std::size_t FakeProcessQueries::socket_lookups() const {
  std::lock_guard guard(_lock);
  return _socket_lookups;
}

std::optional<std::uint32_t> FakeProcessQueries::tcp4_socket_owner(std::uint32_t local_address,
                                                                   std::uint16_t local_port,
                                                                   std::uint32_t remote_address,
                                                                   std::uint16_t remote_port) {
  std::lock_guard guard(_lock);
  ++_socket_lookups;
  if (_socket_lookup_failure) throw ProcessQueryError(*_socket_lookup_failure);
  if (!_socket_owners) return std::nullopt;
  const auto found = _socket_owners->find({local_address, local_port, remote_address, remote_port});
  return found == _socket_owners->end() ? 0 : found->second;
}

UdpSocketEntry udp_socket(std::uint16_t port, std::uint32_t pid, std::string address) {
  return UdpSocketEntry{TcpEndpoint{std::move(address), port}, pid};
}

TcpConnection connection(std::uint16_t port, std::uint32_t pid, std::string state) {
  return TcpConnection{TcpEndpoint{"127.0.0.1", port}, std::move(state), pid};
}

}  // namespace tovix::testing
