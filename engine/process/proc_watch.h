#pragma once
// Decides per diverted packet whether it belongs to one of the applications the user chose, from
// the process id that came with the packet or from the owner of its local port (a map of local
// TCP ports to processes, refreshed by a monitor thread, and one of local UDP ports, refreshed
// when a new UDP flow needs it). A chosen PID counts only while the process that holds it is
// the one that was chosen (same start time); chosen processes that end are forgotten. Also
// lists the running processes and the installed applications the user picks from.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <optional>

#include <nlohmann/json.hpp>

#include "engine/process/proc_watch_export.h"
#include "engine/process/process_queries.h"

namespace tovix {

using Json = nlohmann::ordered_json;

// The diversion filter handed out for every process choice.
inline constexpr const char* PROC_WATCH_FILTER = "(tcp and (outbound or loopback)) or (udp and outbound and !loopback)";
// Marks a chosen name without a running process in the lookup details.
inline constexpr const char* NOT_RUNNING = "未运行";
// Connection states whose local port is attributed to its owner.
inline constexpr const char* TRACKED_TCP_STATES[] = {"ESTABLISHED", "SYN_SENT", "SYN_RECV", "TIME_WAIT", "CLOSE_WAIT"};
inline constexpr std::chrono::milliseconds PORT_MONITOR_JOIN_TIMEOUT{2000};
// A new connection's owner is looked up by its SYN's own refresh, which always lists afresh;
// the monitor's periodic refresh keeps the map for everything else and may go by a listing
// this old, so that a machine opening connections all the time does not have its connection
// table walked twenty times a second.
inline constexpr std::chrono::milliseconds MONITOR_LISTING_AGE{1000};
inline constexpr std::chrono::seconds INSTALLED_APPS_SCAN_TIMEOUT{30};
// How often the monitor forgets chosen processes that have ended.
inline constexpr std::chrono::seconds TARGET_PRUNE_INTERVAL{1};
// A new UDP flow whose port no listing names yet is looked up this many times, this far apart,
// before its owner counts as unknown.
inline constexpr int UDP_LOOKUP_ATTEMPTS = 3;
inline constexpr std::chrono::milliseconds UDP_LOOKUP_RETRY_DELAY{2};

// Whose a UDP datagram is. Unknown: no listing named its port's owner within the short hold (a
// socket closed meanwhile, or one no process visible to us holds).
enum class UdpOwnerVerdict { chosen, not_chosen, unknown };

// Lower-cased, with ".exe" appended unless already there: Chrome, chrome.exe and CHROME.EXE all
// become chrome.exe. Chosen names and running images are both compared in this form, so a
// Linux program (curl) matches whether the user wrote curl or curl.exe.
PROC_WATCH_EXPORT std::string normalize_process_name(const std::string& name);
// A-Z to a-z, everything else (UTF-8 included) unchanged.
PROC_WATCH_EXPORT std::string lower_ascii(std::string text);

class PROC_WATCH_EXPORT ProcWatch {
 public:
  using PortMap = std::unordered_map<std::uint16_t, std::uint32_t>;
  // Several sockets may share a UDP port (SO_REUSEADDR / SO_REUSEPORT, or one per address).
  using UdpPortMap = std::unordered_map<std::uint16_t, std::vector<std::uint32_t>>;
  using PidSet = std::unordered_set<std::uint32_t>;

  ProcWatch();
  explicit ProcWatch(std::shared_ptr<ProcessQueries> queries);
  ~ProcWatch();  // stops the monitor and waits for it
  ProcWatch(const ProcWatch&) = delete;
  ProcWatch& operator=(const ProcWatch&) = delete;

  // Looks the names up and makes their PIDs the target set (empty: every packet is allowed).
  // Call it before packets flow; it always returns PROC_WATCH_FILTER.
  std::string build_filter_expression(const std::vector<std::string>& process_names);

  static std::vector<std::uint32_t> get_pid_by_name(const std::string& name);
  static std::vector<std::uint32_t> get_pid_by_name(const std::string& name, ProcessQueries& queries);

  // `packet_pid` is the process id the diversion layer supplied (0 when unknown), `src_port` the
  // packet's local TCP port; `spin` asks for a synchronous refresh when the port is not mapped
  // yet (a connection's first SYN), and for a check that a chosen PID still belongs to the
  // process that was chosen. A chosen application started after the build joins the target
  // set with its first packet.
  bool is_packet_allowed(std::uint32_t packet_pid, std::uint16_t src_port = 0, bool spin = false);
  std::uint32_t get_pid_by_src_port(std::uint16_t src_port, bool spin = false);

  // A new IPv4 connection, judged on its SYN from `local_address`:`local_port` to
  // `remote_address`:`remote_port` (addresses as numbers): the process behind it (0: unknown)
  // and whether it is chosen. The owner is the PID the diversion layer gave; else the owner of
  // exactly the SYN's socket, where the system can look one socket up (two sockets sharing the
  // port are no question then); else the port's owner in a fresh listing, as for
  // is_packet_allowed(0, local_port, true).
  struct NewConnection {
    std::uint32_t owner = 0;
    bool chosen = false;
  };
  NewConnection judge_new_connection(std::uint32_t packet_pid, std::uint32_t local_address, std::uint16_t local_port,
                                     std::uint32_t remote_address, std::uint16_t remote_port);

  // The same decision for a UDP datagram sent from local port `src_port`. `first_datagram`
  // (a new flow) looks the port up in a fresh listing when the map does not name a chosen
  // owner, waiting a few milliseconds at most, and checks the chosen PID's identity. Any
  // chosen owner of a shared port makes the datagram a chosen one. Global mode: always chosen.
  UdpOwnerVerdict judge_udp_packet(std::uint32_t packet_pid, std::uint16_t src_port, bool first_datagram = false);
  // The first owner the last UDP listing gave for the port (0: none); no listing is made.
  std::uint32_t get_pid_by_udp_port(std::uint16_t src_port) const;
  // Number of ports in the new UDP map, 0 after a failure (the old map then stays).
  std::size_t refresh_udp_now();

  // Forgets chosen processes that have ended or whose PID now belongs to another process.
  // The monitor does this every TARGET_PRUNE_INTERVAL; returns how many were forgotten.
  std::size_t prune_ended_processes();

  void start_tcp_port_monitor();
  // Returns within PORT_MONITOR_JOIN_TIMEOUT; a refresh that overruns it finishes in the
  // background and is waited for by the destructor.
  void stop_tcp_port_monitor();
  void refresh_now();
  // Number of ports in the new map, 0 after a failure (the old map then stays).
  std::size_t _do_refresh();
  // The monitor's refresh: a connection listing up to MONITOR_LISTING_AGE old may serve it.
  std::size_t _do_periodic_refresh();

  bool is_port_monitor_running() const { return _port_running.load(); }

  // Copies of the state, safe from any thread.
  PidSet target_pids() const;
  std::vector<std::string> process_names() const;
  // Name -> array of PIDs, or NOT_RUNNING; in the order the names were given.
  Json pid_lookup_details() const;
  PortMap tcp_port_map() const;
  UdpPortMap udp_port_map() const;

  // Listings for the user's choice; they log failures and return what they have.
  static std::vector<std::string> get_all_process_names();
  static std::vector<std::string> get_all_process_names(ProcessQueries& queries);
  // Records {"name", "exe"}, one per distinct lower-cased name (the first listed), sorted by name.
  static Json get_all_processes_info();
  static Json get_all_processes_info(ProcessQueries& queries);
  // Records {"Name", "Exe"} sorted by Name without regard to case: the Start-menu shortcut scan
  // through powershell, then the platform's own application entries (Linux desktop entries).
  static Json get_installed_apps();
  // The shortcut scan alone, with its interpreter program and time-out open for tests.
  static Json _scan_start_menu(const std::string& interpreter, std::chrono::milliseconds timeout);

 private:
  class MonitorThread;

  void _refresh_tcp_ports(MonitorThread& monitor);
  std::uint32_t _lookup_port(std::uint16_t src_port) const;
  std::vector<std::uint32_t> _lookup_udp_port(std::uint16_t src_port) const;
  bool _any_target(const std::vector<std::uint32_t>& pids, bool verify);
  // Whether `pid` is chosen; `verify` also checks that it is still the process that was chosen.
  bool _is_target(std::uint32_t pid, bool verify);
  bool _admit_late_process(std::uint32_t pid);
  std::size_t _install_port_map(const std::vector<TcpConnection>& connections);

  std::shared_ptr<ProcessQueries> _queries;

  // The chosen processes: PID -> start time when chosen (absent where the system did not
  // tell). Empty while filtering means no chosen process runs at the moment; only a build
  // that found none switches to global mode.
  mutable std::mutex _target_lock;
  std::unordered_map<std::uint32_t, std::optional<std::uint64_t>> _targets;
  std::atomic<bool> _filtering{false};
  std::vector<std::string> _process_names;
  std::vector<std::string> _normalized_names;
  Json _pid_lookup_details = Json::object();

  // PIDs whose image name was read and matched none of the names; forgotten after a while so a
  // reused PID gets a fresh look.
  std::mutex _rejected_lock;
  PidSet _rejected_pids;
  std::chrono::steady_clock::time_point _rejected_since;

  mutable std::mutex _port_map_lock;
  PortMap _tcp_port_map;
  mutable std::mutex _udp_map_lock;
  UdpPortMap _udp_port_map;

  std::mutex _monitor_lock;  // start and stop against each other
  std::unique_ptr<MonitorThread> _port_thread;
  std::vector<std::unique_ptr<MonitorThread>> _overrunning_threads;
  std::atomic<bool> _port_running{false};
  double _refresh_interval = 0.05;
};

}  // namespace tovix
