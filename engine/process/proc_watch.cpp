#include "engine/process/proc_watch.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <unordered_set>

#include "common/logging.h"

namespace tovix {
namespace {

constexpr double kMonitorStepSeconds = 0.05;
constexpr auto kStartSettleDelay = std::chrono::milliseconds(50);
constexpr int kSpinRetries = 3;
constexpr auto kSpinRetryDelay = std::chrono::milliseconds(5);
// How long a non-matching PID is remembered before its image name is read again.
constexpr auto kRejectedPidLifetime = std::chrono::seconds(1);

bool is_tracked_state(const std::string& state) {
  return std::any_of(std::begin(TRACKED_TCP_STATES), std::end(TRACKED_TCP_STATES),
                     [&](const char* tracked) { return state == tracked; });
}

}  // namespace

std::string lower_ascii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); });
  return text;
}

std::string normalize_process_name(const std::string& name) {
  std::string normalized = lower_ascii(name);
  constexpr std::string_view suffix = ".exe";
  if (normalized.size() < suffix.size() ||
      normalized.compare(normalized.size() - suffix.size(), suffix.size(), suffix) != 0) {
    normalized += suffix;
  }
  return normalized;
}

// One run of the monitor thread, with its own stop flag so that a run left behind by a stop that
// timed out never keeps going after a new start.
class ProcWatch::MonitorThread {
 public:
  std::atomic<bool> stop_requested{false};
  std::mutex lock;
  std::condition_variable wake;
  bool finished = false;
  std::thread thread;

  void request_stop() {
    {
      std::lock_guard guard(lock);
      stop_requested = true;
    }
    wake.notify_all();
  }

  // Sleeps for `duration` unless a stop comes first; false when stopping.
  bool sleep_for(std::chrono::duration<double> duration) {
    std::unique_lock guard(lock);
    return !wake.wait_for(guard, duration, [this] { return stop_requested.load(); });
  }

  bool wait_finished(std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock);
    return wake.wait_for(guard, timeout, [this] { return finished; });
  }

  void mark_finished() {
    {
      std::lock_guard guard(lock);
      finished = true;
    }
    wake.notify_all();
  }

  bool is_finished() {
    std::lock_guard guard(lock);
    return finished;
  }
};

ProcWatch::ProcWatch() : ProcWatch(platform_process_queries()) {}

ProcWatch::ProcWatch(std::shared_ptr<ProcessQueries> queries) : _queries(std::move(queries)) {
  if (!_queries) throw std::invalid_argument("ProcWatch needs process queries");
}

ProcWatch::~ProcWatch() {
  stop_tcp_port_monitor();
  std::lock_guard guard(_monitor_lock);
  for (auto& overrunning : _overrunning_threads) overrunning->thread.join();
}

// ---- process filter

std::string ProcWatch::build_filter_expression(const std::vector<std::string>& process_names) {
  Json details = Json::object();
  std::unordered_map<std::uint32_t, std::optional<std::uint64_t>> targets;
  for (const auto& name : process_names) {
    const auto pids = get_pid_by_name(name, *_queries);
    details[name] = pids.empty() ? Json(NOT_RUNNING) : Json(pids);
    for (const auto pid : pids) targets.emplace(pid, std::nullopt);
  }
  for (auto& [pid, start_time] : targets) start_time = _queries->process_start_time(pid);

  const bool found = !targets.empty();
  if (!process_names.empty() && !found) {
    get_logger(LOGGER_ENGINE)->warn("所有指定进程均未在运行，降级为全局代理: {}", details.dump());
  }
  std::lock_guard guard(_target_lock);
  _pid_lookup_details = std::move(details);
  if (found) {
    _process_names = process_names;
    _normalized_names.clear();
    for (const auto& name : process_names) _normalized_names.push_back(normalize_process_name(name));
  }
  _targets = std::move(targets);
  _filtering = found;
  {
    std::lock_guard rejected_guard(_rejected_lock);
    _rejected_pids.clear();
  }
  return PROC_WATCH_FILTER;
}

std::vector<std::uint32_t> ProcWatch::get_pid_by_name(const std::string& name) {
  return get_pid_by_name(name, *platform_process_queries());
}

std::vector<std::uint32_t> ProcWatch::get_pid_by_name(const std::string& name, ProcessQueries& queries) {
  const std::string wanted = normalize_process_name(name);
  std::vector<std::uint32_t> pids;
  try {
    queries.for_each_process(ProcessDetail::name_only, [&](const ProcessEntry& process) {
      if (process.name && normalize_process_name(*process.name) == wanted) pids.push_back(process.pid);
    });
  } catch (const std::exception& error) {
    get_logger(LOGGER_ENGINE)->warn("获取进程 PID 异常: {}", error.what());
  }
  return pids;
}

bool ProcWatch::is_packet_allowed(std::uint32_t packet_pid, std::uint16_t src_port, bool spin) {
  if (!_filtering.load(std::memory_order_acquire)) return true;
  if (packet_pid != 0) return _is_target(packet_pid, spin);
  const std::uint32_t mapped = _lookup_port(src_port);
  if (mapped == 0) return spin && _is_target(get_pid_by_src_port(src_port, true), true);
  if (_is_target(mapped, spin)) return true;
  if (!spin) return false;
  // A new connection on a port the map gives to a process we do not divert. Two sockets may
  // share a local port (Linux hands one ephemeral port to connections towards different
  // destinations), and the map may hold the other, older socket. Taking its owner's word would
  // send a chosen program's connection out directly; a fresh listing names the SYN's own socket
  // (SYN_SENT comes first).
  refresh_now();
  const std::uint32_t fresh = _lookup_port(src_port);
  return fresh != mapped && _is_target(fresh, true);
}

ProcWatch::NewConnection ProcWatch::judge_new_connection(std::uint32_t packet_pid, std::uint32_t local_address,
                                                         std::uint16_t local_port, std::uint32_t remote_address,
                                                         std::uint16_t remote_port) {
  if (packet_pid != 0) return {packet_pid, is_packet_allowed(packet_pid, local_port, true)};
  std::optional<std::uint32_t> exact;
  try {
    exact = _queries->tcp4_socket_owner(local_address, local_port, remote_address, remote_port);
  } catch (const std::exception& error) {
    get_logger(LOGGER_ENGINE)->debug("按连接查找进程异常: {}", error.what());
  }
  // A socket without a visible owner gets the slower look-up with its retries, as before.
  if (exact && *exact != 0) {
    return {*exact, !_filtering.load(std::memory_order_acquire) || _is_target(*exact, true)};
  }
  const std::uint32_t owner = get_pid_by_src_port(local_port, true);
  return {owner, is_packet_allowed(0, local_port, true)};
}

bool ProcWatch::_is_target(std::uint32_t pid, bool verify) {
  if (pid == 0) return false;
  std::optional<std::optional<std::uint64_t>> chosen;
  {
    std::lock_guard guard(_target_lock);
    if (const auto found = _targets.find(pid); found != _targets.end()) chosen = found->second;
  }
  if (chosen) {
    if (!verify || !*chosen) return true;
    if (_queries->process_start_time(pid) == *chosen) return true;
    // The chosen process has ended; its PID may now be another program's, judged afresh.
    std::lock_guard guard(_target_lock);
    if (const auto found = _targets.find(pid); found != _targets.end() && found->second == *chosen) {
      _targets.erase(found);
    }
  }
  return _admit_late_process(pid);
}

bool ProcWatch::_admit_late_process(std::uint32_t pid) {
  {
    std::lock_guard guard(_rejected_lock);
    const auto now = std::chrono::steady_clock::now();
    if (now - _rejected_since > kRejectedPidLifetime) {
      _rejected_pids.clear();
      _rejected_since = now;
    }
    if (_rejected_pids.contains(pid)) return false;
  }
  {
    std::lock_guard guard(_target_lock);
    if (_normalized_names.empty()) return false;
  }
  // The queries run outside the locks: they are system calls, and other packets must not wait.
  const auto name = _queries->image_name(pid);
  if (!name || name->empty()) return false;  // exited or denied: may be readable next time
  const std::string normalized = normalize_process_name(*name);
  bool matches = false;
  {
    std::lock_guard guard(_target_lock);
    matches = std::find(_normalized_names.begin(), _normalized_names.end(), normalized) != _normalized_names.end();
  }
  if (!matches) {
    std::lock_guard rejected_guard(_rejected_lock);
    _rejected_pids.insert(pid);
    return false;
  }
  const auto start_time = _queries->process_start_time(pid);
  std::lock_guard guard(_target_lock);
  _targets.insert_or_assign(pid, start_time);
  return true;
}

std::size_t ProcWatch::prune_ended_processes() {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> known;
  {
    std::lock_guard guard(_target_lock);
    for (const auto& [pid, start_time] : _targets) {
      if (start_time) known.emplace_back(pid, *start_time);
    }
  }
  std::vector<std::pair<std::uint32_t, std::uint64_t>> ended;
  for (const auto& [pid, start_time] : known) {
    if (_queries->process_start_time(pid) != start_time) ended.emplace_back(pid, start_time);
  }
  std::size_t forgotten = 0;
  std::lock_guard guard(_target_lock);
  for (const auto& [pid, start_time] : ended) {
    // Unless a new chosen process took the PID meanwhile.
    if (const auto found = _targets.find(pid); found != _targets.end() && found->second == start_time) {
      _targets.erase(found);
      ++forgotten;
    }
  }
  return forgotten;
}

ProcWatch::PidSet ProcWatch::target_pids() const {
  std::lock_guard guard(_target_lock);
  PidSet pids;
  for (const auto& item : _targets) pids.insert(item.first);
  return pids;
}

std::vector<std::string> ProcWatch::process_names() const {
  std::lock_guard guard(_target_lock);
  return _process_names;
}

Json ProcWatch::pid_lookup_details() const {
  std::lock_guard guard(_target_lock);
  return _pid_lookup_details;
}

// ---- port map

std::uint32_t ProcWatch::_lookup_port(std::uint16_t src_port) const {
  std::lock_guard guard(_port_map_lock);
  const auto found = _tcp_port_map.find(src_port);
  return found == _tcp_port_map.end() ? 0 : found->second;
}

std::uint32_t ProcWatch::get_pid_by_src_port(std::uint16_t src_port, bool spin) {
  if (const auto pid = _lookup_port(src_port); pid != 0 || !spin) return pid;
  refresh_now();
  for (int attempt = 0; attempt < kSpinRetries; ++attempt) {
    std::this_thread::sleep_for(kSpinRetryDelay);
    if (const auto pid = _lookup_port(src_port); pid != 0) return pid;
  }
  return 0;
}

ProcWatch::PortMap ProcWatch::tcp_port_map() const {
  std::lock_guard guard(_port_map_lock);
  return _tcp_port_map;
}

void ProcWatch::refresh_now() { _do_refresh(); }

std::size_t ProcWatch::_do_refresh() {
  try {
    return _install_port_map(_queries->tcp_connections());
  } catch (const std::exception& error) {
    get_logger(LOGGER_ENGINE)->debug("刷新 TCP 端口映射异常: {}", error.what());
    return 0;
  }
}

std::size_t ProcWatch::_do_periodic_refresh() {
  try {
    return _install_port_map(_queries->recent_tcp_connections(MONITOR_LISTING_AGE));
  } catch (const std::exception& error) {
    get_logger(LOGGER_ENGINE)->debug("刷新 TCP 端口映射异常: {}", error.what());
    return 0;
  }
}

std::size_t ProcWatch::_install_port_map(const std::vector<TcpConnection>& connections) {
  PortMap fresh;
  fresh.reserve(connections.size());
  std::unordered_set<std::uint16_t> syn_sent_ports;
  for (const auto& connection : connections) {
    if (!connection.local || connection.pid == 0 || !is_tracked_state(connection.state)) continue;
    // The first listed wins, except that a socket still connecting takes its port from one
    // listed before it: the port's newest connection is the one whose packets come next.
    const auto [entry, added] = fresh.try_emplace(connection.local->port, connection.pid);
    if (!added && connection.state == "SYN_SENT" && !syn_sent_ports.contains(entry->first)) {
      entry->second = connection.pid;
    }
    if (connection.state == "SYN_SENT") syn_sent_ports.insert(entry->first);
  }
  const std::size_t count = fresh.size();
  {
    std::lock_guard guard(_port_map_lock);
    _tcp_port_map.swap(fresh);
  }
  return count;  // the old map is freed here, outside the lock
}

// ---- monitor thread

void ProcWatch::start_tcp_port_monitor() {
  {
    std::lock_guard guard(_monitor_lock);
    if (_port_thread && !_port_thread->is_finished()) return;
    if (_port_thread) _port_thread->thread.join();
    _port_running = true;
    auto monitor = std::make_unique<MonitorThread>();
    MonitorThread& run = *monitor;
    monitor->thread = std::thread([this, &run] { _refresh_tcp_ports(run); });
    _port_thread = std::move(monitor);
  }
  std::this_thread::sleep_for(kStartSettleDelay);
  _do_refresh();
  get_logger(LOGGER_ENGINE)->info("TCP 端口监控已启动");
}

void ProcWatch::stop_tcp_port_monitor() {
  _port_running = false;
  std::lock_guard guard(_monitor_lock);
  if (!_port_thread) return;
  _port_thread->request_stop();
  if (_port_thread->wait_finished(PORT_MONITOR_JOIN_TIMEOUT)) {
    _port_thread->thread.join();
  } else {
    _overrunning_threads.push_back(std::move(_port_thread));
  }
  _port_thread.reset();
}

void ProcWatch::_refresh_tcp_ports(MonitorThread& monitor) {
  auto pruned_at = std::chrono::steady_clock::now();
  while (!monitor.stop_requested) {
    _do_periodic_refresh();
    if (const auto now = std::chrono::steady_clock::now(); now - pruned_at >= TARGET_PRUNE_INTERVAL) {
      prune_ended_processes();
      pruned_at = now;
    }
    const double interval = _refresh_interval;
    const int steps = std::max(1, static_cast<int>(std::floor(interval / kMonitorStepSeconds)));
    bool stopping = false;
    for (int step = 0; step < steps && !stopping; ++step) {
      stopping = !monitor.sleep_for(std::chrono::duration<double>(interval / steps));
    }
  }
  monitor.mark_finished();
}

}  // namespace tovix
