#pragma once
// What process tracking asks of the operating system: the running processes, the image name and
// start time of one process, and the machine's TCP connections and UDP sockets. One
// implementation per OS, plus fakes in tests.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/process/proc_watch_export.h"

namespace tovix {

// A query failed as a whole (the process list or the connection table could not be read).
class PROC_WATCH_EXPORT ProcessQueryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ProcessDetail { name_only, name_and_path };

struct ProcessEntry {
  std::uint32_t pid = 0;
  std::optional<std::string> name;  // image name, e.g. chrome.exe; absent when access is denied
  std::optional<std::string> exe;   // full executable path; absent when not asked for or not readable
};

struct TcpEndpoint {
  std::string address;  // numeric text, e.g. 127.0.0.1 or ::1
  std::uint16_t port = 0;
};

struct TcpConnection {
  std::optional<TcpEndpoint> local;
  std::string state;      // "ESTABLISHED", "SYN_SENT", "SYN_RECV", "TIME_WAIT", "CLOSE_WAIT", "LISTEN", ...
  std::uint32_t pid = 0;  // owning process; 0 when unknown
};

// One UDP socket: where it is bound (address 0.0.0.0 or :: for every address) and who holds it.
struct UdpSocketEntry {
  TcpEndpoint local;
  std::uint32_t pid = 0;  // owning process; 0 when unknown
};

class PROC_WATCH_EXPORT ProcessQueries {
 public:
  virtual ~ProcessQueries() = default;

  // Calls `visit` once per running process, in the system's enumeration order. Processes that
  // exit meanwhile are left out. Throws ProcessQueryError when the enumeration as a whole fails,
  // possibly after some processes were visited.
  virtual void for_each_process(ProcessDetail detail, const std::function<void(const ProcessEntry&)>& visit) = 0;

  // Image name of one process; absent when it has exited or may not be queried.
  virtual std::optional<std::string> image_name(std::uint32_t pid) = 0;

  // A value that stays the same for the whole life of one process and differs for the next
  // process given the same PID (its start time, in the system's own unit). Absent when the
  // process is gone or may not be queried, and where the system cannot tell.
  virtual std::optional<std::uint64_t> process_start_time(std::uint32_t pid) {
    (void)pid;
    return std::nullopt;
  }

  // All UDP sockets of both address families, connected or not. Throws ProcessQueryError.
  virtual std::vector<UdpSocketEntry> udp_sockets() { throw ProcessQueryError("no UDP socket table here"); }

  // All TCP connections of both address families, listeners included. Throws ProcessQueryError.
  virtual std::vector<TcpConnection> tcp_connections() = 0;
  // The owner of the one IPv4 TCP socket bound to `local_address`:`local_port` and connected to
  // `remote_address`:`remote_port` (addresses as numbers, 10.0.0.1 being 0x0A000001), found
  // without listing every connection: for a new connection's SYN, whose socket the system
  // already holds. 0 when there is no such socket or no process visible to us holds it; absent
  // where the system cannot look up one socket (callers then list). Throws ProcessQueryError.
  virtual std::optional<std::uint32_t> tcp4_socket_owner(std::uint32_t local_address, std::uint16_t local_port,
                                                         std::uint32_t remote_address, std::uint16_t remote_port) {
    (void)local_address, (void)local_port, (void)remote_address, (void)remote_port;
    return std::nullopt;
  }
  // The same, but a listing taken at most `max_age` ago may be answered again even when
  // connections were opened since: for a periodic refresh that need not see each new
  // connection at once, where a listing costs a walk of the system's whole connection table.
  virtual std::vector<TcpConnection> recent_tcp_connections(std::chrono::milliseconds max_age) {
    (void)max_age;
    return tcp_connections();
  }
};

// The running system's queries (stateless; shared by everyone who asks).
PROC_WATCH_EXPORT std::shared_ptr<ProcessQueries> platform_process_queries();

}  // namespace tovix
