// The engine's run: start (names resolved on the caller's thread), the thread body with its
// relays, process choice and diverter, the packet loop, and the hot update of the proxy list.
#include "engine/core/tunnel_engine.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "common/logging.h"
#include "engine/core/engine_platform.h"
#include "engine/core/engine_settings.h"
#include "engine/core/engine_text.h"
#include "engine/core/flow_table.h"
#include "engine/core/held_connections_watch.h"
#include "engine/core/housekeeping.h"
#include "engine/core/packet_router.h"
#include "engine/core/relay_pool.h"
#include "engine/core/route_chooser.h"
#include "engine/core/udp_router.h"
#include "engine/pool/spread_mode.h"

namespace tovix {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
namespace settings = engine_settings;

// A diversion handle that keeps failing must not turn the loop into a busy spin.
constexpr std::chrono::milliseconds RECV_ERROR_PAUSE{10};

std::string joined_ports(const std::vector<int>& ports) {
  std::string out;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) out += ",";
    out += std::to_string(ports[i]);
  }
  return out;
}

}  // namespace

TunnelEngine::TunnelEngine(EngineOptions options)
    : _options(std::move(options)), _nat_table(std::make_shared<NatTable>()) {
  if (!_options.diverter_factory) _options.diverter_factory = default_diverter_factory();
  if (!_options.process_queries) _options.process_queries = platform_process_queries();
  if (!_options.clock) _options.clock = nat_clock_now;
  if (!_options.steady_clock)
    _options.steady_clock = [] { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); };
  // Re-checks use their own shorter time-outs unless the handlers were given.
  _pool = std::make_unique<EnginePool>(
      _options.pool, _options.handler_factory, [this](const std::string& text) { _emit_status(text); },
      [this] {
        const std::string detail = status_detail();
        return _running && !detail.empty() ? STATUS_STARTED_PREFIX + detail : std::string();
      });
  if (!_options.handler_factory) _options.handler_factory = make_upstream_handler;
  if (!_options.own_process_id) _options.own_process_id = current_process_id();
  _proc_watch = std::make_unique<ProcWatch>(_options.process_queries);
  _routes = std::make_unique<RouteChooser>([this](int nat_key) -> std::optional<std::string> {
    const auto port = static_cast<std::uint16_t>(nat_key);
    std::uint32_t pid = _flows->owner_of(port);
    // Where packets carry no process id and the packet path did not look the port up (Linux in
    // global mode), the connection's program is the port's owner in a fresh listing.
    if (pid == 0) {
      pid = _proc_watch->get_pid_by_src_port(port);
      if (pid == 0) {
        _proc_watch->refresh_now();
        pid = _proc_watch->get_pid_by_src_port(port);
      }
    }
    std::string name = pid == 0 ? std::string() : _image_name_of(pid);
    if (name.empty()) return std::nullopt;
    return name;
  });
  RelayOptions relay_options;
  relay_options.chooser = _routes->hook();
  relay_options.read_host_names = true;
  _relays = std::make_unique<RelayPool>(
      _nat_table, _options.handler_factory,
      [pool = _pool.get(), also = _options.upstream_observer](const Json& entry) {
        return pool->observer_for(entry, also);
      },
      std::move(relay_options));
  // Where the packet carries no process id (Linux), the program is the local port's owner.
  _flows = std::make_unique<FlowTable>(
      _nat_table, _options.clock, _options.steady_clock,
      [proc_watch = _proc_watch.get()](std::uint16_t port) { return proc_watch->get_pid_by_src_port(port, true); },
      [pool = _pool.get()](std::size_t index) { return pool->is_up(index); });
  _router = std::make_unique<PacketRouter>(*_flows, *_relays, *_proc_watch);
  // UDP follows the program's TCP: the same proxy, and only proxies that are up.
  UdpProxyChoice udp_choice{
      [flows = _flows.get()](std::uint32_t program, std::uint16_t port) { return flows->choose_relay(program, port); },
      [pool = _pool.get()](std::size_t index) { return pool->is_up(index); }};
  _udp = std::make_unique<UdpRouter>(
      *_proc_watch, _options.handler_factory, [this](const std::string& text) { _emit_status(text); },
      std::move(udp_choice));
  _router->set_udp_router(_udp.get());
  _housekeeping = std::make_unique<Housekeeping>();
  _held = std::make_unique<HeldConnectionsWatch>(_options.process_queries, _options.held_check_period);
}

TunnelEngine::~TunnelEngine() {
  {
    std::lock_guard guard(_callback_lock);
    _on_status = nullptr;
    _on_error = nullptr;
  }
  _pool->detach();
  if (_running || _thread_active) stop_engine();
  _housekeeping->stop();
  {
    std::lock_guard guard(_thread_lock);
    if (_thread.joinable()) _thread.join();
  }
  _stop_relays_and_clear();
  _pool->stop_rechecks();
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
  _housekeeping->stop();
  _stop_relays_and_clear();

  std::string api_url;
  Json proxy_list;
  pool::SpreadMode spread_mode = pool::SpreadMode::first_available;
  Json settings_record;
  {
    std::lock_guard guard(_config_lock);
    _config = std::move(config_dict);
    if (!_config.is_object()) _config = Json::object();
    _api_url = settings::text_setting(_config, "api_url");
    _api_interval = settings::integer_setting(_config, "api_interval");
    _status_detail.clear();
    api_url = _api_url;
    proxy_list = settings::list_setting(_config, "proxy_list");
    spread_mode = pool::spread_mode_of(_config);
    settings_record = _config;
    _routes->configure(_config);
    _routes->set_proxy_list(proxy_list);
  }
  _pool->begin_run(settings_record, proxy_list);

  std::set<std::string> api_ips;
  if (!api_url.empty()) {
    try {
      const std::string host = engine_text::url_host(api_url);
      if (!host.empty()) {
        api_ips = settings::resolve_all(host);
        log->debug("API 主机直?IP: {}", engine_text::render_text_set(api_ips));
      }
    } catch (const std::exception& error) {
      log->warn("解析 API 主机失败: {}", error.what());
      api_ips.clear();
    }
  }
  std::set<std::string> proxy_ips = settings::resolve_proxy_hosts(proxy_list, log.get());
  log->debug("代理直?IP 集合: {}", engine_text::render_text_set(proxy_ips));

  _router->set_exemptions(std::make_shared<const settings::Exemptions>(
      settings::Exemptions::build(std::move(api_ips), std::move(proxy_ips), proxy_list)));
  _flows->set_spread_mode(spread_mode);
  _relays->open();
  {
    std::lock_guard guard(_diverter_lock);
    _stop_requested = false;
  }
  _housekeeping->arm();
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
  // A run that failed to start, or whose diversion ended by itself, leaves nothing running.
  _release_run();
  _running = false;
  _emit_status(STATUS_STOPPED);
  _thread_active = false;
}

std::string TunnelEngine::_describe_run(const std::vector<std::string>& process_list, std::size_t proxy_count,
                                        const std::vector<int>& relay_ports) {
  const ProcWatch::PidSet target_pids = _proc_watch->target_pids();
  const Json pid_details = _proc_watch->pid_lookup_details();
  const std::set<std::uint32_t> sorted_pids(target_pids.begin(), target_pids.end());
  engine_log()->debug("进程名单: {}, 目标 PID: {}, 详情: {}", engine_text::render_text_list(process_list),
                      engine_text::render_number_set(sorted_pids), engine_text::render_value(pid_details, false));
  const std::string relay_ports_str = joined_ports(relay_ports);
  if (!process_list.empty() && !target_pids.empty()) {
    std::string detail_str;
    for (const auto& [name, value] : pid_details.items()) {
      if (!detail_str.empty()) detail_str += ", ";
      detail_str += name + "→" + engine_text::render_value(value);
    }
    return "PID过滤 " + std::to_string(target_pids.size()) + "? " + detail_str + " | 中继:" + relay_ports_str;
  }
  if (!process_list.empty()) return "无运行进程，降级全局 | 中继:" + relay_ports_str;
  return pool::global_status_detail(_flows->spread_mode(), proxy_count, relay_ports_str);
}

void TunnelEngine::_run_engine() {
  auto log = engine_log();
  Json proxy_list;
  std::vector<std::string> process_list;
  {
    std::lock_guard guard(_config_lock);
    proxy_list = settings::list_setting(_config, "proxy_list");
    for (const auto& name : settings::list_setting(_config, "process_list"))
      if (name.is_string()) process_list.push_back(name.get<std::string>());
  }
  if (proxy_list.empty()) {
    log->error("代理列表为空，无法启动引?");
    _emit_error(ERROR_EMPTY_PROXY_LIST);
    return;
  }

  const auto generation = _relays->start_generation(proxy_list, [&](std::size_t index, const Json& entry, int port) {
    log->info("中继 {} 启动: {}:{} ?{}:{}", index, engine_text::scalar_text(entry, "host"),
              engine_text::scalar_text(entry, "port"), RELAY_BIND_IP, port);
  });
  if (!generation || !_relays->install(generation)) return;  // stopped meanwhile
  _flows->use_generation(generation);

  const std::string filter_expr = _proc_watch->build_filter_expression(process_list);
  const std::string detail = _describe_run(process_list, proxy_list.size(), generation->ports);
  {
    std::lock_guard guard(_config_lock);
    _status_detail = detail;
  }
  // One proxy per program needs each connection's program: on Linux its local port's owner.
  const bool needs_port_owners = _flows->spread_mode() == pool::SpreadMode::per_program;
  if ((!_proc_watch->target_pids().empty() || needs_port_owners) && _running) {
    _proc_watch->start_tcp_port_monitor();
    // A stop that came meanwhile has already stopped a monitor that was not there yet.
    if (!_running) _proc_watch->stop_tcp_port_monitor();
  }
  if (_running) _pool->start_rechecks();
  std::vector<Housekeeping::Task> tasks{{_options.cleanup_period, [this] { return _cleanup_nat_table(); }},
                                        {_options.retire_check_period, [this] {
                                           _reap_retired_relays();
                                           return true;
                                         }}};
  if (_pool->counts_usage()) {
    tasks.push_back({USAGE_SAMPLE_PERIOD, [this] {
                       _count_usage();
                       return true;
                     }});
    tasks.push_back({_options.pool.usage_save_period, [this] {
                       _pool->save_usage();
                       return true;
                     }});
  }
  _housekeeping->start(std::move(tasks));

  std::unique_ptr<PacketDiverter> diverter = _options.diverter_factory();
  if (!diverter) throw std::runtime_error("no packet diverter");
  _router->set_own_process_id(diverter->keeps_own_connections_out() ? 0 : *_options.own_process_id);
  _udp->prepare(*_relays->view());
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
        // Its answers go out through this handle: stopped before it closes.
        engine._udp->stop();
        engine._hold_unconfirmed(w);
        w.close();
      }
    } unpublish{*this, *diverter};

    _emit_status(std::string(STATUS_STARTED_PREFIX) + detail);
    log->debug("WinDivert 已启动，过滤? {}, 中继端口: {}", filter_expr,
               engine_text::render_number_list(generation->ports));
    diverter->set_param(DivertParam::QUEUE_TIME, DIVERT_QUEUE_TIME);
    _packet_loop(*diverter);
  } catch (const DivertOsError& error) {
    _handle_oserror(error);
  } catch (const std::runtime_error& error) {
    _emit_error(std::string("WinDivert 运行错误: ") + error.what());
  }
}

void TunnelEngine::_packet_loop(PacketDiverter& w) {
  auto log = engine_log();
  // The loop ends when stop_engine shuts the handle down (its receive then returns nothing);
  // until then it goes on translating, so the relays' closing segments reach their clients.
  while (true) {
    try {
      std::optional<Packet> packet = w.recv();
      if (!packet) break;
      if (packet->ip_version() == 0) {  // neither IPv4 nor IPv6: dropped
        w.recycle(std::move(*packet));
        continue;
      }
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
      w.recycle(std::move(*packet));
    } catch (const DivertOsError& error) {
      log->error("WinDivert 读取错误: {}", error.what());
      std::this_thread::sleep_for(RECV_ERROR_PAUSE);
    } catch (const std::exception& error) {
      log->error("捕获异常: {}", error.what());
    }
    if (!_running && _stop_requested) break;
  }
}

void TunnelEngine::_handle_packet(Packet& packet, PacketDiverter& w) { _router->handle(packet, w); }

bool TunnelEngine::_is_proxy_traffic(const Packet& packet) const { return _router->is_proxy_traffic(packet); }

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

// New connections go to the new relays at once; connections in flight keep their old relay,
// which stops once it carries nothing more.
void TunnelEngine::hot_update_all_proxies(Json proxy_list) {
  auto log = engine_log();
  if (!proxy_list.is_array()) proxy_list = Json::array();
  if (proxy_list.empty() && _running) {
    // Without a relay every new connection of a chosen program would leave directly.
    log->warn("热更新的代理列表为空，继续使用当前 {} 个中继", _relays->view()->current->slots.size());
    _emit_error(ERROR_EMPTY_HOT_UPDATE);
    return;
  }
  {
    std::lock_guard guard(_config_lock);
    _config["proxy_list"] = proxy_list;
  }
  _routes->set_proxy_list(proxy_list);
  std::set<std::string> proxy_ips = settings::resolve_proxy_hosts(proxy_list, nullptr);
  if (_running) {
    std::shared_ptr<const RelayGeneration> generation;
    try {
      generation = _relays->start_generation(proxy_list, [&](std::size_t index, const Json& entry, int port) {
        log->info("中继 {} 热重? {}:{} ?127.0.0.1:{}", index, engine_text::scalar_text(entry, "host"),
                  engine_text::scalar_text(entry, "port"), port);
      });
    } catch (const std::exception& error) {
      log->error("热更新中继启动失败: {}", error.what());
      _emit_error(std::string("引擎异常: ") + error.what());
      return;
    }
    // The pool first, so the new relays' replies are recognised before a connection uses them;
    // the retirement check then sees the old relays in use until new connections stop going there.
    if (generation && _relays->replace(generation)) {
      _pool->use_proxies(proxy_list);
      _flows->use_generation(generation);
    }
  }
  const auto previous = _router->exemptions();
  _router->set_exemptions(std::make_shared<const settings::Exemptions>(
      settings::Exemptions::build(previous->api_ip_texts, std::move(proxy_ips), proxy_list)));
  log->info("代理热更新完成: {} 个代理，中继已全部重启", proxy_list.size());
  _emit_status("API 刷新: " + std::to_string(proxy_list.size()) + "个代理已更新");
  // Old relays without connections stop at once.
  if (_running) _reap_retired_relays();
}

std::string TunnelEngine::status_detail() const {
  std::lock_guard guard(_config_lock);
  return _status_detail;
}

std::string TunnelEngine::update_routing(const Json& settings) {
  std::string problem = _routes->configure(settings);
  engine_log()->info("路由规则已更新");
  return problem;
}

std::vector<int> TunnelEngine::relay_ports() const { return _relays->view()->current->ports; }

}  // namespace tovix
