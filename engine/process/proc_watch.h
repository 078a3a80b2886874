#pragma once
// Decides per diverted packet whether it belongs to one of the applications the user chose, from
// the process id that came with the packet or from the owner of its local port (a map of local
// TCP ports to processes, refreshed by a monitor thread). Also lists the running processes and
// the installed applications the user picks from.
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

#include <nlohmann/json.hpp>

#include "engine/process/proc_watch_export.h"
#include "engine/process/process_queries.h"

namespace tovix {

using Json = nlohmann::ordered_json;

// The diversion filter handed out for every process choice.
inline constexpr const char* PROC_WATCH_FILTER = "tcp and (outbound or loopback)";
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

// Lower-cased, with ".exe" appended unless already there: Chrome, chrome.exe and CHROME.EXE all
// become chrome.exe. Chosen names and running images are both compared in this form, so a
// Linux program (curl) matches whether the user wrote curl or curl.exe.
PROC_WATCH_EXPORT std::string normalize_process_name(const std::string& name);
// A-Z to a-z, everything else (UTF-8 included) unchanged.
PROC_WATCH_EXPORT std::string lower_ascii(std::string text);

class PROC_WATCH_EXPORT ProcWatch {
 public:
  using PortMap = std::unordered_map<std::uint16_t, std::uint32_t>;
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
  // yet (a connection's first SYN). A chosen application started after the build joins the
  // target set with its first packet.
  bool is_packet_allowed(std::uint32_t packet_pid, std::uint16_t src_port = 0, bool spin = false);
  std::uint32_t get_pid_by_src_port(std::uint16_t src_port, bool spin = false);

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
  bool _is_target(const PidSet& targets, std::uint32_t pid);
  bool _admit_late_process(std::uint32_t pid);
  void _publish_targets(PidSet targets);
  std::size_t _install_port_map(const std::vector<TcpConnection>& connections);

  std::shared_ptr<ProcessQueries> _queries;

  // Read on the packet path without a lock: sets are immutable once published and kept until
  // the tracker goes, so a reader never sees one freed. Writers hold _target_lock.
  std::atomic<const PidSet*> _target_pids;
  mutable std::mutex _target_lock;
  std::vector<std::unique_ptr<const PidSet>> _published_target_sets;
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

  std::mutex _monitor_lock;  // start and stop against each other
  std::unique_ptr<MonitorThread> _port_thread;
  std::vector<std::unique_ptr<MonitorThread>> _overrunning_threads;
  std::atomic<bool> _port_running{false};
  double _refresh_interval = 0.05;
};

}  // namespace tovix
