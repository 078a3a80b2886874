#include "engine/core/tunnel_engine.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <unordered_set>

#include <spdlog/spdlog.h>

#include "common/logging.h"
#include "common/paths.h"
#include "common/socket.h"
#include "engine/core/engine_text.h"

namespace tovix {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t FAKE_SRC_ADDR = 0x7F000002;   // 127.0.0.2
constexpr std::uint32_t RELAY_DST_ADDR = 0x7F000001;  // 127.0.0.1
constexpr std::size_t IPV4_SRC_OFFSET = 12;
constexpr std::size_t IPV4_DST_OFFSET = 16;
// A diversion handle that keeps failing must not turn the loop into a busy spin.
constexpr std::chrono::milliseconds RECV_ERROR_PAUSE{10};

bool is_loopback(std::uint32_t address) { return (address >> 24) == 127; }

const Json& empty_array() {
  static const Json empty = Json::array();
  return empty;
}

const Json& list_setting(const Json& config, const char* key) {
  if (!config.is_object()) return empty_array();
  auto it = config.find(key);
  if (it == config.end() || !it->is_array()) return empty_array();
  return *it;
}

std::string text_setting(const Json& record, const char* key) {
  if (!record.is_object()) return "";
  auto it = record.find(key);
  if (it == record.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

bool truthy(const Json& record, const char* key) {
  if (!record.is_object()) return false;
  auto it = record.find(key);
  if (it == record.end() || it->is_null()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number()) return it->get<double>() != 0.0;
  if (it->is_string()) return !it->get<std::string>().empty();
  return !it->empty();
}

std::int64_t integer_setting(const Json& record, const char* key) {
  if (!record.is_object()) return 0;
  auto it = record.find(key);
  if (it == record.end()) return 0;
  if (it->is_number()) return it->get<std::int64_t>();
  if (it->is_string()) {
    try {
      return std::stoll(it->get<std::string>());
    } catch (...) {
      return 0;
    }
  }
  return 0;
}

// A ProxyEntry's "port" for _is_proxy_traffic: 0 when absent or not a port.
int proxy_port_of(const Json& entry) {
  if (!entry.is_object()) return 0;
  auto it = entry.find("port");
  if (it == entry.end()) return 0;
  if (it->is_number_integer()) {
    const auto port = it->get<std::int64_t>();
    return port > 0 && port <= 65535 ? static_cast<int>(port) : 0;
  }
  if (it->is_string()) {
    const std::string text = it->get<std::string>();
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
      return 0;
    const int port = std::stoi(text);
    return port <= 65535 ? port : 0;
  }
  return 0;
}

// The relay's own port default, for display.
int relay_proxy_port(const Json& entry) {
  const int port = proxy_port_of(entry);
  if (port != 0) return port;
  return entry.is_object() && entry.contains("port") ? 0 : 1080;
}

std::uint32_t load_addr(const Packet& packet, std::size_t offset) { return wire::load32(packet.bytes(), offset); }
void store_addr(Packet& packet, std::size_t offset, std::uint32_t address) {
  wire::store32(packet.mutable_bytes(), offset, address);
}

std::unordered_set<std::uint32_t> to_addresses(const std::set<std::string>& texts) {
  std::unordered_set<std::uint32_t> out;
  for (const auto& text : texts) {
    try {
      out.insert(parse_ipv4(std::string_view(text)));
    } catch (const std::invalid_argument&) {
    }
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Packet-path state.

namespace {

// One relay list as a start or hot update created it. Immutable once published.
struct Generation {
  std::vector<TunnelEngine::RelaySlot> slots;
  std::vector<int> ports;
};

// What each packet reads: the relay lists and the address sets. Replaced whole, never edited,
// so a packet sees one consistent state.
struct Routing {
  std::shared_ptr<const Generation> current = std::make_shared<Generation>();
  // Replaced by a hot update, still carrying connections.
  std::vector<std::shared_ptr<const Generation>> retiring;
  std::unordered_set<std::uint16_t> reply_ports;  // relay ports of current and retiring
  std::unordered_set<std::uint32_t> api_ips;
  std::unordered_set<std::uint32_t> proxy_ips;
  std::vector<int> proxy_ports;  // "port" of each ProxyEntry, 0 skipped
  std::set<std::string> api_ip_texts;
  std::set<std::string> proxy_ip_texts;

  void index_ports() {
    reply_ports.clear();
    for (int port : current->ports) reply_ports.insert(static_cast<std::uint16_t>(port));
    for (const auto& generation : retiring)
      for (int port : generation->ports) reply_ports.insert(static_cast<std::uint16_t>(port));
  }
};

// The engine's own record of one diverted connection, beside the shared NAT entry.
struct Flow {
  NatEntry entry;  // as written to the NAT table
  std::uint32_t client_addr = 0;
  std::uint32_t dst_addr = 0;
  std::uint16_t dst_port = 0;
  std::uint32_t pid = 0;
  int relay_port = 0;
  std::shared_ptr<const Generation> generation;
  bool client_fin = false;
  bool relay_fin = false;
  // Ended: its NAT entry is gone (relay end, RST, stop, clean-up). Remembered a while so that
  // late segments are dropped instead of leaking to the original destination.
  bool ended = false;
  double ended_at = 0.0;
  // Reset by a stop: until the application's socket has taken the reset, its segments still
  // go to the relay port (whose reset answers them) and never out unchanged.
  bool reset_at_stop = false;
  // The next sequence number of each side as the engine saw it, to tell a reset the
  // application's socket accepts (exactly its next expected number) from one it only answers.
  std::uint32_t relay_seq_end = 0;
  bool relay_seq_known = false;
  std::uint32_t client_ack = 0;
  bool client_ack_known = false;
};

std::uint32_t segment_end(const Packet& packet, const TcpHeader& tcp) {
  const std::size_t payload = packet.tcp_segment().size() - tcp.header_length();
  return tcp.seq() + static_cast<std::uint32_t>(payload) + (tcp.syn() ? 1u : 0u) + (tcp.fin() ? 1u : 0u);
}

void note_relay_segment(Flow& flow, const Packet& packet, const TcpHeader& tcp) {
  const std::uint32_t end = segment_end(packet, tcp);
  if (!flow.relay_seq_known || static_cast<std::int32_t>(end - flow.relay_seq_end) > 0) {
    flow.relay_seq_end = end;
    flow.relay_seq_known = true;
  }
}

// A reset whose sequence number is not the next one expected only draws an acknowledgement.
bool reset_accepted(const Flow& flow, std::uint32_t seq) {
  return (flow.relay_seq_known && seq == flow.relay_seq_end) || (flow.client_ack_known && seq == flow.client_ack);
}

std::vector<int> proxy_ports_of(const Json& proxy_list) {
  std::vector<int> ports;
  for (const auto& entry : proxy_list) {
    const int port = proxy_port_of(entry);
    if (port != 0) ports.push_back(port);
  }
  return ports;
}

}  // namespace

struct TunnelEngine::State {
  mutable std::mutex routing_lock;  // taken after the NAT lock when both are held
  std::shared_ptr<const Routing> routing = std::make_shared<Routing>();
  std::uint64_t retired_up = 0;  // traffic of relays already stopped in this run
  std::uint64_t retired_down = 0;

  // Guarded by the NAT table's compound lock (`_nat_lock`).
  std::unordered_map<std::uint16_t, Flow> flows;
  std::unordered_map<std::uint32_t, int> pid_relay_map;
  int next_relay_index = 0;
  // Client ports of connections a stop reset whose application has not taken the reset yet.
  std::unordered_set<std::uint16_t> awaiting_reset;
  std::condition_variable resets_changed;  // waited on with the NAT compound lock

  std::mutex reap_lock;  // one retirement pass at a time

  mutable std::mutex names_lock;
  mutable std::unordered_map<std::uint32_t, std::string> image_names;

  std::shared_ptr<const Routing> load() const {
    std::lock_guard guard(routing_lock);
    return routing;
  }
  void publish(std::shared_ptr<Routing> next) {
    next->index_ports();
    std::lock_guard guard(routing_lock);
    routing = std::move(next);
  }
  std::shared_ptr<Routing> copy() const {
    std::lock_guard guard(routing_lock);
    return std::make_shared<Routing>(*routing);
  }
};

namespace {
std::shared_ptr<spdlog::logger> engine_log() {
  static std::shared_ptr<spdlog::logger> log = get_logger(LOGGER_ENGINE);
  return log;
}

bool flow_live(Flow& flow, std::uint16_t port, NatTable& table, double now) {
  if (flow.ended) return false;
  const std::optional<NatEntry> entry = table.get(port);
  if (entry && *entry == flow.entry) return true;
  flow.ended = true;
  flow.ended_at = now;
  return false;
}

void end_flow(Flow& flow, std::uint16_t port, NatTable& table, double now) {
  if (!flow.ended) {
    table.remove_if_same(port, flow.entry);
    flow.ended = true;
    flow.ended_at = now;
  }
}
}  // namespace

// ---------------------------------------------------------------------------------------------

std::filesystem::path _ensure_windivert_dll() {
#if defined(_WIN32) && TOVIX_PACKAGED_BUILD
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path exe_dir = executable_dir();
  const fs::path driver_dir = exe_dir / "driver";
  const fs::path dst = exe_dir / "WinDivert64.dll";
  for (const char* name : {"WinDivert64.dll", "WinDivert64.sys"}) {
    const fs::path from = driver_dir / name;
    const fs::path to = exe_dir / name;
    if (fs::exists(from, error) && !fs::exists(to, error)) {
      if (fs::copy_file(from, to, error)) fs::last_write_time(to, fs::last_write_time(from, error), error);
    }
  }
  if (fs::exists(dst, error)) return dst;
#endif
  return {};
}

DiverterFactory default_diverter_factory() {
  return [] {
    // Prepared once per process, as when the engine module is loaded.
    static const std::filesystem::path library = _ensure_windivert_dll();
    return make_system_diverter(library);
  };
}

TunnelEngine::TunnelEngine(EngineOptions options)
    : _options(std::move(options)), _nat_table(std::make_shared<NatTable>()), _state(std::make_unique<State>()) {
  if (!_options.diverter_factory) _options.diverter_factory = default_diverter_factory();
  if (!_options.process_queries) _options.process_queries = platform_process_queries();
  if (!_options.clock) _options.clock = nat_clock_now;
  if (!_options.handler_factory) _options.handler_factory = make_upstream_handler;
  _proc_watch = std::make_unique<ProcWatch>(_options.process_queries);
}

TunnelEngine::~TunnelEngine() {
  {
    std::lock_guard guard(_callback_lock);
    _on_status = nullptr;
    _on_error = nullptr;
  }
  if (_running || _thread_active) stop_engine();
  _stop_housekeeping();
  {
    std::lock_guard guard(_thread_lock);
    if (_thread.joinable()) _thread.join();
  }
  _stop_relays_and_clear();
}

void TunnelEngine::set_status_callback(EngineTextCallback callback) {
  std::lock_guard guard(_callback_lock);
  _on_status = std::move(callback);
}

void TunnelEngine::set_error_callback(EngineTextCallback callback) {
  std::lock_guard guard(_callback_lock);
  _on_error = std::move(callback);
}

void TunnelEngine::_emit_status(const std::string& text) {
  EngineTextCallback callback;
  {
    std::lock_guard guard(_callback_lock);
    callback = _on_status;
  }
  if (callback) callback(text);
}

void TunnelEngine::_emit_error(const std::string& text) {
  EngineTextCallback callback;
  {
    std::lock_guard guard(_callback_lock);
    callback = _on_error;
  }
  if (callback) callback(text);
}

// ---------------------------------------------------------------------------------------------
// Start and stop.

namespace {
std::set<std::string> resolve_all(const std::string& host) {
  std::set<std::string> out;
  for (const auto& address : resolve_ipv4(host)) out.insert(address);
  return out;
}

// The addresses of every proxy host in the list; a host that does not resolve is logged when
// log is given and skipped.
std::set<std::string> resolve_proxy_hosts(const Json& proxy_list, spdlog::logger* log) {
  std::set<std::string> proxy_ips;
  for (const auto& entry : proxy_list) {
    const std::string host = text_setting(entry, "host");
    if (host.empty()) continue;
    try {
      for (const auto& address : resolve_all(host)) proxy_ips.insert(address);
    } catch (const std::exception& error) {
      if (log != nullptr) log->warn("代理 DNS 解析失败 {}: {}", host, error.what());
    }
  }
  return proxy_ips;
}
}  // namespace

bool TunnelEngine::wait_for_previous_run(std::chrono::milliseconds timeout) {
  std::lock_guard guard(_thread_lock);
  if (!_thread.joinable()) return true;
  const auto deadline = Clock::now() + timeout;
  while (_thread_active && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (_thread_active) return false;
  _thread.join();
  return true;
}

void TunnelEngine::start_engine(Json config_dict) {
  // A start while a run goes on restarts it with the new record.
  if (_running) stop_engine();
  if (!wait_for_previous_run(_options.previous_run_wait)) {
    engine_log()->error("上一次运行的引擎线程仍未结束，无法启动");
    _emit_error("引擎异常: 上一次运行尚未结束");
    return;
  }
  prepare_start(std::move(config_dict));
  std::lock_guard guard(_thread_lock);
  _thread_active = true;
  try {
    _thread = std::thread([this] { run(); });
  } catch (...) {
    _thread_active = false;
    _running = false;
    throw;
  }
}

void TunnelEngine::prepare_start(Json config_dict) {
  auto log = engine_log();
  // Leftovers of a run that ended on a failure without stop_engine.
  _stop_housekeeping();
  _stop_relays_and_clear();

  // 1-2.
  std::string api_url;
  Json proxy_list;
  {
    std::lock_guard guard(_config_lock);
    _config = std::move(config_dict);
    if (!_config.is_object()) _config = Json::object();
    _api_url = text_setting(_config, "api_url");
    _api_interval = integer_setting(_config, "api_interval");
    _status_detail.clear();
    api_url = _api_url;
    proxy_list = list_setting(_config, "proxy_list");
    _pid_mode = truthy(_config, "pid_mode");
  }

  // 3. API host.
  std::set<std::string> api_ips;
  if (!api_url.empty()) {
    try {
      const std::string host = engine_text::url_host(api_url);
      if (!host.empty()) {
        api_ips = resolve_all(host);
        log->debug("API 主机直?IP: {}", engine_text::render_text_set(api_ips));
      }
    } catch (const std::exception& error) {
      log->warn("解析 API 主机失败: {}", error.what());
      api_ips.clear();
    }
  }

  // 4-5. Proxy hosts.
  std::set<std::string> proxy_ips = resolve_proxy_hosts(proxy_list, log.get());
  log->debug("代理直?IP 集合: {}", engine_text::render_text_set(proxy_ips));

  auto routing = std::make_shared<Routing>();
  routing->api_ip_texts = api_ips;
  routing->proxy_ip_texts = proxy_ips;
  routing->api_ips = to_addresses(api_ips);
  routing->proxy_ips = to_addresses(proxy_ips);
  routing->proxy_ports = proxy_ports_of(proxy_list);
  {
    std::lock_guard nat_guard(_nat_table->compound_lock());
    std::lock_guard guard(_state->routing_lock);
    _state->retired_up = 0;
    _state->retired_down = 0;
    routing->index_ports();
    _state->routing = routing;
    _state->next_relay_index = 0;
    _state->pid_relay_map.clear();
  }
  {
    std::lock_guard guard(_diverter_lock);
    _stop_requested = false;
  }
  {
    std::lock_guard guard(_housekeeping_lock);
    _housekeeping_stop = false;
  }
  _running = true;
}

void TunnelEngine::run() {
  _thread_active = true;
  try {
    _run_engine();
  } catch (const std::exception& error) {
    engine_log()->error("引擎异常退? {}", error.what());
    _emit_error(std::string("引擎异常: ") + error.what());
  } catch (...) {
    engine_log()->error("引擎异常退? {}", "unknown error");
    _emit_error("引擎异常: unknown error");
  }
  _running = false;
  _emit_status(STATUS_STOPPED);
  _thread_active = false;
}

void TunnelEngine::_run_engine() {
  auto log = engine_log();
  Json proxy_list;
  std::vector<std::string> process_list;
  {
    std::lock_guard guard(_config_lock);
    proxy_list = list_setting(_config, "proxy_list");
    for (const auto& name : list_setting(_config, "process_list"))
      if (name.is_string()) process_list.push_back(name.get<std::string>());
  }
  // 1.
  if (proxy_list.empty()) {
    log->error("代理列表为空，无法启动引?");
    _emit_error(ERROR_EMPTY_PROXY_LIST);
    return;
  }

  // 2. Relay pool; each relay is published as soon as it runs, so stop_engine can end it.
  auto generation = std::make_shared<Generation>();
  for (std::size_t idx = 0; idx < proxy_list.size(); ++idx) {
    const Json& entry = proxy_list[idx];
    auto hub = std::make_shared<RelayHub>(_nat_table, entry, _options.handler_factory, _options.upstream_observer);
    const SocketAddress bound = hub->start(RELAY_BIND_IP, 0);
    {
      std::lock_guard nat_guard(_nat_table->compound_lock());
      if (!_running) {
        hub->stop();
        return;
      }
      auto next = std::make_shared<Generation>(*generation);
      next->slots.push_back({hub, bound.second, entry});
      next->ports.push_back(bound.second);
      generation = next;
      auto routing = _state->copy();
      routing->current = generation;
      routing->index_ports();
      std::lock_guard guard(_state->routing_lock);
      _state->routing = routing;
    }
    log->info("中继 {} 启动: {}:{} ?{}:{}", idx, engine_text::scalar_text(entry, "host"),
              engine_text::scalar_text(entry, "port"), RELAY_BIND_IP, bound.second);
  }

  // 3. Process selection.
  const std::string filter_expr = _proc_watch->build_filter_expression(process_list);
  const ProcWatch::PidSet target_pids = _proc_watch->target_pids();
  const Json pid_details = _proc_watch->pid_lookup_details();
  const std::set<std::uint32_t> sorted_pids(target_pids.begin(), target_pids.end());
  log->debug("进程名单: {}, 目标 PID: {}, 详情: {}", engine_text::render_text_list(process_list),
             engine_text::render_number_set(sorted_pids), engine_text::render_value(pid_details, false));

  // 4-5.
  std::string relay_ports_str;
  for (std::size_t i = 0; i < generation->ports.size(); ++i) {
    if (i > 0) relay_ports_str += ",";
    relay_ports_str += std::to_string(generation->ports[i]);
  }
  std::string detail;
  if (!process_list.empty() && !target_pids.empty()) {
    std::string detail_str;
    bool first = true;
    for (const auto& [name, value] : pid_details.items()) {
      if (!first) detail_str += ", ";
      first = false;
      detail_str += name + "→" + engine_text::render_value(value);
    }
    detail = "PID过滤 " + std::to_string(target_pids.size()) + "? " + detail_str + " | 中继:" + relay_ports_str;
  } else if (!process_list.empty()) {
    detail = "无运行进程，降级全局 | 中继:" + relay_ports_str;
  } else {
    detail = "全局代理 | " + std::to_string(proxy_list.size()) + "IP轮询 | 中继:" + relay_ports_str;
  }
  {
    std::lock_guard guard(_config_lock);
    _status_detail = detail;
  }

  // 6.
  if (!target_pids.empty() && _running) {
    _proc_watch->start_tcp_port_monitor();
    // A stop that came meanwhile has already stopped a monitor that was not there yet.
    if (!_running) _proc_watch->stop_tcp_port_monitor();
  }
  // 7.
  _start_housekeeping();

  // 8-10.
  std::unique_ptr<PacketDiverter> diverter = _options.diverter_factory();
  if (!diverter) throw std::runtime_error("no packet diverter");
  try {
    diverter->register_driver();
  } catch (const std::exception& error) {
    log->warn("WinDivert.register() 失败: {}", error.what());
  }
  try {
    diverter->open(filter_expr);
    {
      std::lock_guard guard(_diverter_lock);
      if (_stop_requested) {
        diverter->close();
        return;
      }
      _diverter = diverter.get();
    }
    struct Unpublish {
      TunnelEngine& engine;
      PacketDiverter& w;
      ~Unpublish() {
        {
          std::lock_guard guard(engine._diverter_lock);
          engine._diverter = nullptr;
        }
        w.close();
      }
    } unpublish{*this, *diverter};
    PacketDiverter& w = *diverter;

    _emit_status(std::string(STATUS_STARTED_PREFIX) + detail);
    log->debug("WinDivert 已启动，过滤? {}, 中继端口: {}", filter_expr,
               engine_text::render_number_list(generation->ports));
    w.set_param(DivertParam::QUEUE_TIME, DIVERT_QUEUE_TIME);

    // The loop ends when stop_engine shuts the handle down (its receive then returns nothing);
    // until then it goes on translating, so the relays' closing segments reach their clients.
    while (true) {
      try {
        std::optional<Packet> packet = w.recv();
        if (!packet) break;
        if (!packet->ipv4()) continue;  // IPv6 (or no IPv4 header): dropped
        try {
          _handle_packet(*packet, w);
        } catch (const std::exception& error) {
          log->debug("数据包异? {}", error.what());
          try {
            w.recalculate_checksums(*packet);
            w.send(*packet);
          } catch (...) {
          }
        }
      } catch (const DivertOsError& error) {
        log->error("WinDivert 读取错误: {}", error.what());
        std::this_thread::sleep_for(RECV_ERROR_PAUSE);
      } catch (const std::exception& error) {
        log->error("捕获异常: {}", error.what());
      }
      if (!_running && _stop_requested) break;
    }
  } catch (const DivertOsError& error) {
    _handle_oserror(error);
  } catch (const std::runtime_error& error) {
    _emit_error(std::string("WinDivert 运行错误: ") + error.what());
  }
}

std::string TunnelEngine::_oserror_message(const DivertOsError& e) const {
  const std::string err_msg = e.what();
  std::string lower = err_msg;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  switch (e.code()) {
    case DIVERT_ERROR_ACCESS_DENIED:
      return TEXT_ACCESS_DENIED;
    case DIVERT_ERROR_INVALID_PARAMETER:   // driver missing, or a filter it refuses
    case DIVERT_ERROR_INVALID_IMAGE_HASH:  // driver signature rejected
    case DIVERT_ERROR_MOD_NOT_FOUND:       // library missing ("NotLoaded")
    case DIVERT_ERROR_PROC_NOT_FOUND:      // library without the functions ("NotLoaded")
    case 2:                                // driver file not beside the library
    case 654:                              // an incompatible driver is loaded
    case 1058:                             // service disabled
    case 1060:                             // service not installed
    case 1275:                             // driver blocked
    case 1753:                             // base filtering engine disabled
      return "WinDivert 驱动未安装或未运?(" + err_msg + ")";
    default:
      break;
  }
  if (err_msg.find("拒绝访问") != std::string::npos || lower.find("access denied") != std::string::npos)
    return TEXT_ACCESS_DENIED;
  if (lower.find("notloaded") != std::string::npos) return "WinDivert 驱动未安装或未运?(" + err_msg + ")";
  return "WinDivert 错误: " + err_msg;
}

void TunnelEngine::_handle_oserror(const DivertOsError& e) { _emit_error(_oserror_message(e)); }

void TunnelEngine::stop_engine() {
  // 1.
  _running = false;
  // 4. The clean-up timer.
  _stop_housekeeping();
  // 2. End the relays: their connections close towards the applications while the packet
  // loop still translates, then the tables go.
  std::shared_ptr<const Routing> routing = _state->load();
  std::vector<std::shared_ptr<RelayHub>> hubs;
  for (const auto& slot : routing->current->slots)
    if (slot.hub) hubs.push_back(slot.hub);
  for (const auto& generation : routing->retiring)
    for (const auto& slot : generation->slots)
      if (slot.hub) hubs.push_back(slot.hub);
  bool diverting = false;
  {
    std::lock_guard guard(_diverter_lock);
    diverting = _diverter != nullptr;
  }
  _reset_diverted_connections(hubs, diverting);
  _stop_relays_and_clear();
  // 5.
  _proc_watch->stop_tcp_port_monitor();
  // Wake the packet loop's receive.
  {
    std::lock_guard guard(_diverter_lock);
    _stop_requested = true;
    if (_diverter) _diverter->shutdown();
  }
  // 6.
  _emit_status(STATUS_STOPPED);
}

void TunnelEngine::_reset_diverted_connections(const std::vector<std::shared_ptr<RelayHub>>& hubs, bool diverting) {
  // An application whose connection merely ended in order could still send on it, and once
  // diversion is gone those segments would leave with the user's own address towards the
  // destination it believes it talks to. A reset tears its socket down; the loop translates
  // the resets back while the wait below lasts.
  if (diverting) {
    std::lock_guard nat_guard(_nat_table->compound_lock());
    const double now = _options.clock();
    for (auto& [port, flow] : _state->flows) {
      if (!flow.generation || !flow_live(flow, port, *_nat_table, now)) continue;
      flow.reset_at_stop = true;
      _state->awaiting_reset.insert(port);
    }
  }
  for (const auto& hub : hubs) {
    try {
      hub->abort();
    } catch (...) {
    }
  }
  if (!diverting) return;
  const auto deadline = Clock::now() + _options.stop_drain;
  {
    std::unique_lock nat_lock(_nat_table->compound_lock());
    if (!_state->resets_changed.wait_until(nat_lock, deadline, [&] { return _state->awaiting_reset.empty(); }))
      engine_log()->warn("停止时仍有 {} 个连接未确认收到重置", _state->awaiting_reset.size());
  }
  for (const auto& hub : hubs) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    hub->wait_until_idle(left);
  }
}

std::size_t TunnelEngine::connections_awaiting_reset() const {
  std::lock_guard nat_guard(_nat_table->compound_lock());
  return _state->awaiting_reset.size();
}

void TunnelEngine::_stop_relays_and_clear() {
  std::shared_ptr<const Routing> old;
  {
    std::lock_guard nat_guard(_nat_table->compound_lock());
    const double now = _options.clock();
    for (auto& [port, flow] : _state->flows) {
      if (!flow.ended) {
        flow.ended = true;
        flow.ended_at = now;
      }
      flow.reset_at_stop = false;
      flow.generation.reset();
    }
    _state->awaiting_reset.clear();
    _nat_table->clear();
    _state->pid_relay_map.clear();
    std::lock_guard guard(_state->routing_lock);
    old = _state->routing;
    auto next = std::make_shared<Routing>();
    next->api_ips = old->api_ips;
    next->proxy_ips = old->proxy_ips;
    next->api_ip_texts = old->api_ip_texts;
    next->proxy_ip_texts = old->proxy_ip_texts;
    next->proxy_ports = old->proxy_ports;
    // The totals never go backwards: the stopped relays' counts stay until the next start.
    auto add = [&](const std::shared_ptr<const Generation>& generation) {
      for (const auto& slot : generation->slots) {
        if (!slot.hub) continue;
        const auto [up, down] = slot.hub->get_traffic();
        _state->retired_up += up;
        _state->retired_down += down;
      }
    };
    add(old->current);
    for (const auto& generation : old->retiring) add(generation);
    _state->routing = next;
  }
  auto stop = [](const std::shared_ptr<const Generation>& generation) {
    for (const auto& slot : generation->slots) {
      if (!slot.hub) continue;
      try {
        slot.hub->stop();
      } catch (...) {
      }
    }
  };
  stop(old->current);
  for (const auto& generation : old->retiring) stop(generation);
}

// ---------------------------------------------------------------------------------------------
// Housekeeping: the NAT clean-up every cleanup_period and the retirement of replaced relays.

void TunnelEngine::_start_housekeeping() {
  std::lock_guard guard(_housekeeping_lock);
  if (!_running || _housekeeping_stop || _housekeeping_thread.joinable()) return;
  _housekeeping_thread = std::thread([this] { _housekeeping_loop(); });
}

void TunnelEngine::_stop_housekeeping() {
  std::thread thread;
  {
    std::lock_guard guard(_housekeeping_lock);
    _housekeeping_stop = true;
    thread = std::move(_housekeeping_thread);
  }
  _housekeeping_wake.notify_all();
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

void TunnelEngine::_housekeeping_loop() {
  auto next_cleanup = Clock::now() + _options.cleanup_period;
  auto next_reap = Clock::now() + _options.retire_check_period;
  std::unique_lock lock(_housekeeping_lock);
  while (!_housekeeping_stop) {
    _housekeeping_wake.wait_until(lock, std::min(next_cleanup, next_reap), [&] { return _housekeeping_stop; });
    if (_housekeeping_stop) break;
    lock.unlock();
    const auto now = Clock::now();
    if (now >= next_cleanup) {
      if (!_cleanup_nat_table()) {
        lock.lock();
        break;
      }
      next_cleanup = now + _options.cleanup_period;
    }
    if (now >= next_reap) {
      _reap_retired_relays();
      next_reap = now + _options.retire_check_period;
    }
    lock.lock();
  }
}

bool TunnelEngine::_cleanup_nat_table() {
  // 1.
  if (!_running) return false;
  // 2.
  const double now = _options.clock();
  // Client ports the relays carry right now: their entries stay whatever their age.
  std::unordered_set<int> carried;
  const std::shared_ptr<const Routing> routing = _state->load();
  auto collect = [&](const std::shared_ptr<const Generation>& generation) {
    for (const auto& slot : generation->slots)
      if (slot.hub)
        for (int port : slot.hub->client_ports()) carried.insert(port);
  };
  collect(routing->current);
  for (const auto& generation : routing->retiring) collect(generation);
  // 3.
  std::size_t removed = 0;
  {
    std::lock_guard nat_guard(_nat_table->compound_lock());
    const double stale = _options.stale_after_seconds;
    removed = _nat_table->remove_where(
        [&](int port, const NatEntry& entry) { return now - entry.created_at > stale && carried.count(port) == 0; });
    const double memory = _options.ended_memory_seconds;
    for (auto it = _state->flows.begin(); it != _state->flows.end();) {
      Flow& flow = it->second;
      flow_live(flow, it->first, *_nat_table, now);
      if (flow.ended && now - flow.ended_at > memory) {
        it = _state->flows.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (removed > 0) engine_log()->debug("清理过期 NAT 记录 {} 条", removed);
  // 4. Re-arming is the housekeeping loop's part.
  return _running.load();
}

void TunnelEngine::_reap_retired_relays() {
  std::lock_guard reap_guard(_state->reap_lock);
  const std::shared_ptr<const Routing> routing = _state->load();
  if (routing->retiring.empty()) return;
  std::vector<std::shared_ptr<const Generation>> done;
  for (const auto& generation : routing->retiring) {
    bool in_use = false;
    {
      std::lock_guard nat_guard(_nat_table->compound_lock());
      const double now = _options.clock();
      for (auto& [port, flow] : _state->flows) {
        if (flow.generation == generation && flow_live(flow, port, *_nat_table, now)) {
          in_use = true;
          break;
        }
      }
    }
    if (in_use) continue;
    bool idle = true;
    for (const auto& slot : generation->slots)
      if (slot.hub && slot.hub->live_connections() > 0) idle = false;
    if (idle) done.push_back(generation);
  }
  if (done.empty()) return;
  for (const auto& generation : done)
    for (const auto& slot : generation->slots)
      if (slot.hub) slot.hub->stop();
  {
    std::lock_guard nat_guard(_nat_table->compound_lock());
    for (auto& [port, flow] : _state->flows)
      for (const auto& generation : done)
        if (flow.generation == generation) flow.generation.reset();
    std::lock_guard guard(_state->routing_lock);
    auto next = std::make_shared<Routing>(*_state->routing);
    for (const auto& generation : done) {
      for (const auto& slot : generation->slots) {
        if (!slot.hub) continue;
        const auto [up, down] = slot.hub->get_traffic();
        _state->retired_up += up;
        _state->retired_down += down;
      }
      next->retiring.erase(std::remove(next->retiring.begin(), next->retiring.end(), generation), next->retiring.end());
    }
    next->index_ports();
    _state->routing = next;
  }
  engine_log()->info("旧中继已无连接，已停止 {} 组", done.size());
}

// ---------------------------------------------------------------------------------------------
// Hot update (with connections in flight kept on their old relays).

void TunnelEngine::hot_update_all_proxies(Json proxy_list) {
  auto log = engine_log();
  if (!proxy_list.is_array()) proxy_list = Json::array();
  // 1.
  {
    std::lock_guard guard(_config_lock);
    _config["proxy_list"] = proxy_list;
  }
  // 2.
  std::set<std::string> proxy_ips = resolve_proxy_hosts(proxy_list, nullptr);
  // 3-4. The new relays first; the old ones keep their connections.
  auto generation = std::make_shared<Generation>();
  if (_running) {
    try {
      for (std::size_t idx = 0; idx < proxy_list.size(); ++idx) {
        const Json& entry = proxy_list[idx];
        auto hub = std::make_shared<RelayHub>(_nat_table, entry, _options.handler_factory, _options.upstream_observer);
        const SocketAddress bound = hub->start(RELAY_BIND_IP, 0);
        generation->slots.push_back({hub, bound.second, entry});
        generation->ports.push_back(bound.second);
        log->info("中继 {} 热重? {}:{} ?127.0.0.1:{}", idx, engine_text::scalar_text(entry, "host"),
                  engine_text::scalar_text(entry, "port"), bound.second);
      }
    } catch (const std::exception& error) {
      for (const auto& slot : generation->slots) slot.hub->stop();
      log->error("热更新中继启动失败: {}", error.what());
      _emit_error(std::string("引擎异常: ") + error.what());
      return;
    }
  }
  // 5. Publish under the NAT lock, so a SYN either used the old list (its flow is then seen
  // by the retirement check) or the new one.
  {
    std::lock_guard nat_guard(_nat_table->compound_lock());
    std::lock_guard guard(_state->routing_lock);
    auto next = std::make_shared<Routing>(*_state->routing);
    if (_running) {
      if (!next->current->slots.empty()) next->retiring.push_back(next->current);
      next->current = generation;
    }
    next->proxy_ip_texts = proxy_ips;
    next->proxy_ips = to_addresses(proxy_ips);
    next->proxy_ports = proxy_ports_of(proxy_list);
    next->index_ports();
    _state->routing = next;
    _state->pid_relay_map.clear();
    _state->next_relay_index = 0;
  }
  // 6-7.
  log->info("代理热更新完成: {} 个代理，中继已全部重启", proxy_list.size());
  _emit_status("API 刷新: " + std::to_string(proxy_list.size()) + "个代理已更新");
  // Old relays without connections stop at once.
  if (_running) _reap_retired_relays();
}

// ---------------------------------------------------------------------------------------------
// Packet handling.

bool TunnelEngine::_is_proxy_traffic(const Packet& packet) const {
  const auto tcp = packet.tcp();
  if (!tcp || !packet.ipv4()) return false;
  const std::shared_ptr<const Routing> routing = _state->load();
  const std::uint32_t src = load_addr(packet, IPV4_SRC_OFFSET);
  const std::uint32_t dst = load_addr(packet, IPV4_DST_OFFSET);
  for (int port : routing->proxy_ports) {
    if (tcp->dst_port() == port && routing->proxy_ips.count(dst) != 0) return true;
    if (tcp->src_port() == port && routing->proxy_ips.count(src) != 0) return true;
  }
  return false;
}

namespace {

void pass_packet(Packet& packet, PacketDiverter& w) {
  w.recalculate_checksums(packet);
  w.send(packet);
}

void redirect_to_relay(Packet& packet, TcpHeader& tcp, PacketDiverter& w, int relay_port) {
  store_addr(packet, IPV4_SRC_OFFSET, FAKE_SRC_ADDR);
  store_addr(packet, IPV4_DST_OFFSET, RELAY_DST_ADDR);
  tcp.set_dst_port(static_cast<std::uint16_t>(relay_port));
  w.recalculate_checksums(packet);
  w.send(packet);
}

int checked_relay_port(const Generation& generation, int relay_index) {
  if (relay_index < 0 || static_cast<std::size_t>(relay_index) >= generation.ports.size())
    throw std::out_of_range("中继序号 " + std::to_string(relay_index) + " 超出中继列表 (" +
                            std::to_string(generation.ports.size()) + " 个)");
  return generation.ports[static_cast<std::size_t>(relay_index)];
}

}  // namespace

void TunnelEngine::_handle_packet(Packet& packet, PacketDiverter& w) {
  // 1.
  std::optional<TcpHeader> tcp = packet.tcp();
  if (!tcp || !packet.ipv4()) {
    pass_packet(packet, w);
    return;
  }
  const std::shared_ptr<const Routing> routing = _state->load();
  const std::uint32_t src = load_addr(packet, IPV4_SRC_OFFSET);
  const std::uint32_t dst = load_addr(packet, IPV4_DST_OFFSET);
  // 2.
  if (!routing->api_ips.empty() && (routing->api_ips.count(dst) != 0 || routing->api_ips.count(src) != 0)) {
    pass_packet(packet, w);
    return;
  }
  // 3.
  if (!routing->proxy_ips.empty()) {
    for (int port : routing->proxy_ports) {
      if ((tcp->dst_port() == port && routing->proxy_ips.count(dst) != 0) ||
          (tcp->src_port() == port && routing->proxy_ips.count(src) != 0)) {
        pass_packet(packet, w);
        return;
      }
    }
  }
  // 4.
  const std::uint16_t src_port = tcp->src_port();
  const std::uint16_t dst_port = tcp->dst_port();
  const bool loopback_source = is_loopback(src);

  // 5. Relay reply: back to the client as if from its destination. Ended connections are
  // still translated, so the relay's closing segments reach the application.
  if (loopback_source && dst == FAKE_SRC_ADDR && routing->reply_ports.count(src_port) != 0) {
    bool found = false;
    bool reset_taken = false;
    std::uint32_t reply_src = 0, reply_dst = 0;
    std::uint16_t reply_src_port = 0;
    {
      std::lock_guard nat_guard(_nat_table->compound_lock());
      auto it = _state->flows.find(dst_port);
      if (it != _state->flows.end() && it->second.relay_port == src_port) {
        Flow& flow = it->second;
        found = true;
        reply_src = flow.dst_addr;
        reply_src_port = flow.dst_port;
        reply_dst = flow.client_addr;
        if (tcp->fin()) flow.relay_fin = true;
        if (tcp->rst()) {
          end_flow(flow, dst_port, *_nat_table, _options.clock());
          reset_taken = flow.reset_at_stop && reset_accepted(flow, tcp->seq());
        }
        note_relay_segment(flow, packet, *tcp);
      } else if (it != _state->flows.end()) {
        // The port's flow belongs to another relay now: not this relay's client any more.
      } else if (const std::optional<NatEntry> entry = _nat_table->get(dst_port)) {
        // An entry the engine did not write itself (tests, or an older flow record).
        found = true;
        reply_src = parse_ipv4(entry->original_dst_ip);
        reply_src_port = static_cast<std::uint16_t>(entry->original_dst_port);
        reply_dst = parse_ipv4(entry->original_src_ip);
      }
    }
    if (found) {
      store_addr(packet, IPV4_SRC_OFFSET, reply_src);
      tcp->set_src_port(reply_src_port);
      store_addr(packet, IPV4_DST_OFFSET, reply_dst);
      pass_packet(packet, w);
      // The stop waits for this reset; it may close diversion only once the reset is on its
      // way to the application, not merely seen here.
      if (reset_taken) {
        std::lock_guard nat_guard(_nat_table->compound_lock());
        if (_state->awaiting_reset.erase(dst_port) != 0) _state->resets_changed.notify_all();
      }
      return;
    }
  }
  // 6.
  if (loopback_source) {
    pass_packet(packet, w);
    return;
  }
  const bool is_syn = tcp->syn() && !tcp->ack();

  // A later segment of a connection the engine diverted: to its relay while the connection
  // lives, dropped once it has ended, never out to the original destination.
  if (!is_syn) {
    int relay_port = 0;
    bool known = false;
    bool live = false;
    {
      std::lock_guard nat_guard(_nat_table->compound_lock());
      auto it = _state->flows.find(src_port);
      if (it != _state->flows.end() && it->second.dst_addr == dst && it->second.dst_port == dst_port &&
          it->second.client_addr == src) {
        Flow& flow = it->second;
        known = true;
        live = flow_live(flow, src_port, *_nat_table, _options.clock());
        if (live) {
          relay_port = flow.relay_port;
          if (tcp->fin()) flow.client_fin = true;
        }
        if (flow.reset_at_stop) {
          // The application still sends, so it has not taken the reset: what it sends goes to
          // the relay port, whose answer is a reset with the sequence number it expects. Its
          // own reset means its socket is gone.
          if (tcp->ack()) {
            flow.client_ack = tcp->ack_number();
            flow.client_ack_known = true;
          }
          const bool changed =
              tcp->rst() ? _state->awaiting_reset.erase(src_port) != 0 : _state->awaiting_reset.insert(src_port).second;
          if (changed) _state->resets_changed.notify_all();
          live = !tcp->rst();
          relay_port = flow.relay_port;
        }
      }
    }
    if (known) {
      if (!live) return;  // late segment of an ended connection: dropped
      redirect_to_relay(packet, *tcp, w, relay_port);
      // 12. An RST ends the connection at once; a FIN only half-closes it, so the entry stays
      // until the relay's connection has ended in both directions.
      if (tcp->rst()) {
        std::lock_guard nat_guard(_nat_table->compound_lock());
        auto it = _state->flows.find(src_port);
        if (it != _state->flows.end()) end_flow(it->second, src_port, *_nat_table, _options.clock());
      }
      return;
    }
  }

  // 7.
  const std::uint32_t pid = packet.process_id();
  if (!_proc_watch->is_packet_allowed(pid, src_port, is_syn)) {
    pass_packet(packet, w);
    return;
  }
  // 8.
  if (routing->current->ports.empty()) {
    pass_packet(packet, w);
    return;
  }
  // 9.
  int relay_port = 0;
  if (is_syn) {
    // The process, for the connections view (the relay choice uses the packet's own id).
    const std::uint32_t owner = pid != 0 ? pid : _proc_watch->get_pid_by_src_port(src_port, false);
    int relay_index = 0;
    bool replaced_live = false;
    const double now = _options.clock();
    {
      std::lock_guard nat_guard(_nat_table->compound_lock());
      // Under the NAT lock, so a hot update's retirement check sees this flow.
      const std::shared_ptr<const Routing> current = _state->load();
      const std::shared_ptr<const Generation>& generation = current->current;
      const int count = static_cast<int>(generation->ports.size());
      if (count == 0) {
        relay_index = -1;
      } else if (!_pid_mode) {
        relay_index = 0;
      } else if (auto found = pid != 0 ? _state->pid_relay_map.find(pid) : _state->pid_relay_map.end();
                 found != _state->pid_relay_map.end()) {
        relay_index = found->second;
      } else {
        relay_index = _state->next_relay_index % count;
        _state->next_relay_index += 1;
        if (pid != 0) _state->pid_relay_map[pid] = relay_index;
      }
      if (relay_index >= 0) {
        relay_port = checked_relay_port(*generation, relay_index);
        NatEntry entry{format_ipv4(src), format_ipv4(dst), dst_port, now, relay_index};
        Flow& flow = _state->flows[src_port];
        replaced_live = !flow.ended && flow.generation && _nat_table->contains(src_port);
        flow = Flow{entry, src, dst, dst_port, owner, relay_port, generation};
        _nat_table->set(src_port, std::move(entry));
      }
    }
    if (relay_index < 0) {
      pass_packet(packet, w);
      return;
    }
    auto log = engine_log();
    if (log->should_log(spdlog::level::debug)) {
      if (replaced_live) log->debug("端口 {} 的新 SYN 替换了仍在使用的 NAT 记录", src_port);
      log->debug("新连接: 端口 {} PID {} → 中继 {}, {}:{} → {}:{}", src_port, pid, relay_index, format_ipv4(src),
                 src_port, format_ipv4(dst), dst_port);
    }
  } else {
    // 10. An entry the engine did not write as a flow (written by someone else).
    std::optional<NatEntry> entry;
    {
      std::lock_guard nat_guard(_nat_table->compound_lock());
      entry = _nat_table->get(src_port);
    }
    if (!entry) {
      pass_packet(packet, w);  // 13.
      return;
    }
    // 11. A relay index outside the list is a checked failure: the loop re-injects the packet.
    relay_port = checked_relay_port(*routing->current, entry->relay_index);
  }
  // 11.
  redirect_to_relay(packet, *tcp, w, relay_port);
  // 12.
  if (tcp->rst()) {
    std::lock_guard nat_guard(_nat_table->compound_lock());
    auto it = _state->flows.find(src_port);
    if (it != _state->flows.end()) {
      end_flow(it->second, src_port, *_nat_table, _options.clock());
    } else {
      _nat_table->remove(src_port);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Totals and the connections view.

std::pair<std::uint64_t, std::uint64_t> TunnelEngine::get_traffic_stats() const {
  std::lock_guard guard(_state->routing_lock);
  std::uint64_t up = _state->retired_up;
  std::uint64_t down = _state->retired_down;
  auto add = [&](const std::shared_ptr<const Generation>& generation) {
    for (const auto& slot : generation->slots) {
      if (!slot.hub) continue;
      const auto [u, d] = slot.hub->get_traffic();
      up += u;
      down += d;
    }
  };
  add(_state->routing->current);
  for (const auto& generation : _state->routing->retiring) add(generation);
  return {up, down};
}

std::vector<RelayTraffic> TunnelEngine::relay_traffic() const {
  const std::shared_ptr<const Routing> routing = _state->load();
  std::vector<RelayTraffic> out;
  auto add = [&](const Generation& generation, bool retired) {
    for (std::size_t i = 0; i < generation.slots.size(); ++i) {
      const RelaySlot& slot = generation.slots[i];
      RelayTraffic traffic;
      traffic.relay_index = static_cast<int>(i);
      traffic.port = slot.port;
      traffic.proxy_host = text_setting(slot.proxy, "host");
      traffic.proxy_port = relay_proxy_port(slot.proxy);
      traffic.retired = retired;
      if (slot.hub) {
        traffic.live_connections = slot.hub->live_connections();
        std::tie(traffic.bytes_up, traffic.bytes_down) = slot.hub->get_traffic();
      }
      out.push_back(std::move(traffic));
    }
  };
  add(*routing->current, false);
  for (const auto& generation : routing->retiring) add(*generation, true);
  return out;
}

std::vector<ConnectionInfo> TunnelEngine::connections_snapshot() const {
  const std::shared_ptr<const Routing> routing = _state->load();
  // Per relay port: client port → counters, as the relays count them anyway.
  std::unordered_map<int, std::unordered_map<int, RelayHub::ConnectionTraffic>> counted;
  auto collect = [&](const Generation& generation) {
    for (const auto& slot : generation.slots) {
      if (!slot.hub) continue;
      auto& by_client = counted[slot.port];
      for (const auto& connection : slot.hub->connection_traffic()) by_client[connection.client_port] = connection;
    }
  };
  collect(*routing->current);
  for (const auto& generation : routing->retiring) collect(*generation);

  std::vector<ConnectionInfo> out;
  {
    std::lock_guard nat_guard(_nat_table->compound_lock());
    out.reserve(_state->flows.size());
    for (const auto& [port, flow] : _state->flows) {
      if (flow.ended || !flow.generation) continue;
      const std::optional<NatEntry> entry = _nat_table->get(port);
      if (!entry || !(*entry == flow.entry)) continue;
      ConnectionInfo info;
      info.client_port = port;
      info.pid = flow.pid;
      info.client_ip = flow.entry.original_src_ip;
      info.original_dst_ip = flow.entry.original_dst_ip;
      info.original_dst_port = flow.entry.original_dst_port;
      info.relay_index = flow.entry.relay_index;
      info.relay_port = flow.relay_port;
      info.retired_relay = flow.generation != routing->current;
      if (static_cast<std::size_t>(flow.entry.relay_index) < flow.generation->slots.size()) {
        const RelaySlot& slot = flow.generation->slots[static_cast<std::size_t>(flow.entry.relay_index)];
        info.proxy_host = text_setting(slot.proxy, "host");
        info.proxy_port = relay_proxy_port(slot.proxy);
      }
      info.started_at = flow.entry.created_at;
      if (auto relay = counted.find(flow.relay_port); relay != counted.end()) {
        if (auto connection = relay->second.find(port); connection != relay->second.end()) {
          info.bytes_up = connection->second.upload;
          info.bytes_down = connection->second.download;
        }
      }
      out.push_back(std::move(info));
    }
  }
  // Image names outside every engine lock, cached per process id.
  for (auto& info : out) {
    if (info.pid == 0) continue;
    {
      std::lock_guard guard(_state->names_lock);
      if (auto it = _state->image_names.find(info.pid); it != _state->image_names.end()) {
        info.image_name = it->second;
        continue;
      }
    }
    std::string name = _options.process_queries->image_name(info.pid).value_or("");
    std::lock_guard guard(_state->names_lock);
    if (_state->image_names.size() > 4096) _state->image_names.clear();
    _state->image_names[info.pid] = name;
    info.image_name = std::move(name);
  }
  std::sort(out.begin(), out.end(), [](const ConnectionInfo& a, const ConnectionInfo& b) {
    return a.started_at != b.started_at ? a.started_at < b.started_at : a.client_port < b.client_port;
  });
  return out;
}

EngineSnapshot TunnelEngine::snapshot() const {
  EngineSnapshot snap;
  snap.connections = connections_snapshot();
  snap.relays = relay_traffic();
  std::tie(snap.total_up, snap.total_down) = get_traffic_stats();
  snap.running = _running.load();
  return snap;
}

// ---------------------------------------------------------------------------------------------
// Accessors.

std::string TunnelEngine::status_detail() const {
  std::lock_guard guard(_config_lock);
  return _status_detail;
}

std::vector<int> TunnelEngine::relay_ports() const { return _state->load()->current->ports; }

std::map<std::uint32_t, int> TunnelEngine::pid_relay_map() const {
  std::lock_guard nat_guard(_nat_table->compound_lock());
  return {_state->pid_relay_map.begin(), _state->pid_relay_map.end()};
}

int TunnelEngine::next_relay_index() const {
  std::lock_guard nat_guard(_nat_table->compound_lock());
  return _state->next_relay_index;
}

std::set<std::string> TunnelEngine::api_ips() const { return _state->load()->api_ip_texts; }
std::set<std::string> TunnelEngine::proxy_ips_all() const { return _state->load()->proxy_ip_texts; }

std::size_t TunnelEngine::ended_connection_count() const {
  std::lock_guard nat_guard(_nat_table->compound_lock());
  std::size_t count = 0;
  for (const auto& [port, flow] : _state->flows) {
    const std::optional<NatEntry> entry = _nat_table->get(port);
    if (flow.ended || !entry || !(*entry == flow.entry)) ++count;
  }
  return count;
}

std::size_t TunnelEngine::retiring_relay_count() const {
  std::size_t count = 0;
  const std::shared_ptr<const Routing> routing = _state->load();  // kept alive over the loop
  for (const auto& generation : routing->retiring) count += generation->slots.size();
  return count;
}

void TunnelEngine::_install_for_test(std::vector<RelaySlot> relays, std::set<std::string> api_ips,
                                     std::set<std::string> proxy_ips, bool pid_mode, Json config) {
  auto generation = std::make_shared<Generation>();
  for (auto& slot : relays) {
    generation->ports.push_back(slot.port);
    generation->slots.push_back(std::move(slot));
  }
  Json proxy_list = list_setting(config, "proxy_list");
  if (proxy_list.empty())
    for (const auto& slot : generation->slots) proxy_list.push_back(slot.proxy);
  {
    std::lock_guard guard(_config_lock);
    _config = config.is_object() ? config : Json::object();
  }
  auto routing = std::make_shared<Routing>();
  routing->current = generation;
  routing->api_ip_texts = api_ips;
  routing->proxy_ip_texts = proxy_ips;
  routing->api_ips = to_addresses(api_ips);
  routing->proxy_ips = to_addresses(proxy_ips);
  routing->proxy_ports = proxy_ports_of(proxy_list);
  _pid_mode = pid_mode;
  std::lock_guard nat_guard(_nat_table->compound_lock());
  routing->index_ports();
  std::lock_guard guard(_state->routing_lock);
  _state->routing = routing;
}

}  // namespace tovix
