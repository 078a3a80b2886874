#pragma once
// The packet redirection engine without Qt: relay pool, process selection,
// the packet loop over an injected PacketDiverter, the NAT table and its clean-up, hot update
// of the proxy list, and a snapshot of the live diverted connections. Status and errors go out
// through two callbacks; TunnelCore (tunnel_core.h) is the QThread that drives this core and
// turns the callbacks into its signals.
//
// Threads: the owner's thread calls start_engine, stop_engine, hot_update_all_proxies; the
// engine thread (its own std::thread, or the adapter's thread calling run()) runs the packet
// loop; a housekeeping thread runs the NAT clean-up; the relays run their own threads.
// get_traffic_stats, snapshot and connections_snapshot are safe from any thread at any time.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/core/engine_pool.h"
#include "engine/core/engine_snapshot.h"
#include "engine/core/tunnel_core_export.h"
#include "engine/divert/packet_diverter.h"
#include "engine/process/proc_watch.h"
#include "engine/process/process_queries.h"
#include "engine/relay/nat_table.h"
#include "engine/relay/relay_hub.h"

namespace tovix {

class FlowTable;
class HeldConnectionsWatch;
class Housekeeping;
class PacketRouter;
class UdpRouter;
class RelayPool;
class RouteChooser;
namespace testing {
class TunnelEngineProbe;  // the tests' and the benchmark's view of the internals
}

// The source address of every packet redirected to a relay.
inline constexpr const char* FAKE_SRC_IP = "127.0.0.2";
// Where the relays listen (port 0: the system chooses).
inline constexpr const char* RELAY_BIND_IP = "127.0.0.1";
inline constexpr std::uint64_t DIVERT_QUEUE_TIME = 100;

// Status texts (status_changed).
inline constexpr const char* STATUS_STOPPED = "已停";
inline constexpr const char* STATUS_STARTED_PREFIX = "代理已启?| ";
// Error texts (error_occurred).
inline constexpr const char* ERROR_EMPTY_PROXY_LIST = "代理列表为空，无法启";
inline constexpr const char* ERROR_EMPTY_HOT_UPDATE = "新代理列表为空，继续使用当前代理";
inline constexpr const char* TEXT_ACCESS_DENIED = "权限不足，请以管理员身份运行";

// Makes the diverter a run uses; called on the engine thread once per run.
using DiverterFactory = std::function<std::unique_ptr<PacketDiverter>()>;
// Seconds; injectable for the clean-up tests.
using EngineClock = std::function<double()>;
// Receives a status or error text. Called on the engine thread or the owner's thread; must not
// call back into the engine's start/stop/hot update.
using EngineTextCallback = std::function<void(const std::string& text)>;

// The platform's own diverter: WinDivert on Windows (beside the executable when packaged, see
// _ensure_windivert_dll), the Linux backend elsewhere.
TUNNEL_CORE_EXPORT DiverterFactory default_diverter_factory();

struct EngineOptions {
  DiverterFactory diverter_factory;                 // empty: default_diverter_factory()
  std::shared_ptr<ProcessQueries> process_queries;  // empty: platform_process_queries()
  EngineClock clock;                                // wall clock (NatEntry::created_at); empty: nat_clock_now
  EngineClock steady_clock;                         // for every age; empty: the system's monotonic clock
  HandlerFactory handler_factory;                   // empty: make_upstream_handler (relays)
  UpstreamObserver upstream_observer;               // told how each relayed connection's tunnel went
  // The proxies' health: its events (a proxy's first failure, down, back), its clock, and how
  // often down proxies are re-checked, and where.
  PoolOptions pool;
  // How often the NAT clean-up runs (120 s by default).
  std::chrono::milliseconds cleanup_period{std::chrono::seconds(120)};
  // An entry older than this and carried by no live relay connection is stale.
  double stale_after_seconds = 120.0;
  // How long a diverted connection whose application's socket is gone (it took or sent a
  // reset, or closed in order both ways) is still remembered after its last segment. Others are
  // remembered while their socket may send, so a late segment is answered, never let out.
  double ended_memory_seconds = 240.0;
  // How often retired relays (replaced by a hot update) are checked for their last connection.
  std::chrono::milliseconds retire_check_period{std::chrono::seconds(1)};
  // start_engine waits at most this long for the previous run's thread to end.
  std::chrono::milliseconds previous_run_wait{std::chrono::seconds(5)};
  // stop_engine waits at most this long for the relays' resets to be translated back to
  // their applications (and for the relays to go idle) before diversion ends. It returns as
  // soon as every diverted connection has taken its reset.
  std::chrono::milliseconds stop_drain{std::chrono::milliseconds(1000)};
  // How often connections held after a stop are checked for their sockets being gone.
  std::chrono::milliseconds held_check_period{std::chrono::seconds(1)};
  // The engine's own process, whose connections are never diverted where the diverter cannot
  // keep them out itself; empty: this process.
  std::optional<std::uint32_t> own_process_id;
};

class TUNNEL_CORE_EXPORT TunnelEngine {
 public:
  explicit TunnelEngine(EngineOptions options = {});
  // Stops a run still going and waits for its threads.
  ~TunnelEngine();
  TunnelEngine(const TunnelEngine&) = delete;
  TunnelEngine& operator=(const TunnelEngine&) = delete;

  // Set before start_engine.
  void set_status_callback(EngineTextCallback callback);
  void set_error_callback(EngineTextCallback callback);

  // start_engine: stores the record, resolves the API host and the proxy hosts on the
  // caller's thread, then runs the engine on a thread of its own. Waits (bounded by
  // previous_run_wait) for a previous run's thread to end first.
  void start_engine(nlohmann::ordered_json config_dict);
  // stop_engine: resets the relays' connections while diversion still runs, so every
  // diverted application socket is torn down before its packets could leave unchanged; then
  // clears the tables, wakes the packet loop's receive, emits "已停". Does not wait for the
  // thread.
  void stop_engine();
  // New connections go to the new relays; connections in flight keep their old relay until
  // they end, then it stops. Emits "API 刷新: N个代理已更新". An empty list changes nothing
  // while the engine runs (it never runs without a relay) and says so on the error callback.
  void hot_update_all_proxies(nlohmann::ordered_json proxy_list);
  // (up, down) over current, retiring and retired relays of this run: never goes backwards
  // while a run lasts (reset by the next start_engine).
  std::pair<std::uint64_t, std::uint64_t> get_traffic_stats() const;

  EngineSnapshot snapshot() const;
  std::vector<ConnectionInfo> connections_snapshot() const;
  std::vector<RelayTraffic> relay_traffic() const;
  // New routing rules and name switch (the "route_rules" and "resolve_names_at_proxy" of a
  // settings record) for connections from now on; the rest of the record is not read. Returns
  // what is wrong with the rules (the default ones are used then), empty when they are taken.
  std::string update_routing(const nlohmann::ordered_json& settings);

  // Listening ports of the relays new connections go to, in list order.
  std::vector<int> relay_ports() const;

  // For an adapter that owns the thread (TunnelCore): prepare_start is start_engine without
  // starting a thread; run is the thread body; wait_for_previous_run waits for
  // the engine's own thread of an earlier start_engine.
  void prepare_start(nlohmann::ordered_json config_dict);
  void run();
  bool wait_for_previous_run(std::chrono::milliseconds timeout);

  // True from prepare_start until stop_engine or the end of run.
  bool is_running() const { return _running.load(); }
  // True while run() executes (the packet loop or its set-up).
  bool is_thread_active() const { return _thread_active.load(); }
  // The text shown after "代理已启?| ".
  std::string status_detail() const;
  // Each proxy's health in this run (the window's pool views read it); kept for the engine's
  // lifetime.
  std::shared_ptr<const pool::ProxyHealth> proxy_health() const { return _pool->health(); }
  // Each proxy's usage, when the options gave a store; null otherwise.
  std::shared_ptr<const pool::UsageStore> proxy_usage() const { return _pool->usage(); }

 private:
  friend class testing::TunnelEngineProbe;

  void _run_engine();
  void _packet_loop(PacketDiverter& w);
  void _handle_packet(Packet& packet, PacketDiverter& w);
  bool _is_proxy_traffic(const Packet& packet) const;
  // One clean-up run (housekeeping runs it every cleanup_period). Returns false, doing
  // nothing, when the engine is not running.
  bool _cleanup_nat_table();
  void _reap_retired_relays();
  // The relays' byte totals into the usage store (when there is one).
  void _count_usage();
  // Maps a diversion-open failure to the user's message and emits it.
  void _handle_oserror(const DivertOsError& e);
  std::string _oserror_message(const DivertOsError& e) const;
  void _emit_status(const std::string& text);
  void _emit_error(const std::string& text);
  std::string _describe_run(const std::vector<std::string>& process_list, std::size_t proxy_count,
                            const std::vector<int>& relay_ports);
  void _reset_diverted_connections(bool diverting);
  void _stop_relays_and_clear();
  // Everything a run started, after it has ended whichever way.
  void _release_run();
  // Before the diversion closes: connections whose sockets may still send stay held.
  void _hold_unconfirmed(PacketDiverter& w);
  // The image name of a process, cached; empty when it cannot be told.
  std::string _image_name_of(std::uint32_t pid) const;

  EngineOptions _options;
  std::unique_ptr<ProcWatch> _proc_watch;
  std::unique_ptr<EnginePool> _pool;
  std::shared_ptr<NatTable> _nat_table;
  // Before the relays, which call it until they stop.
  std::unique_ptr<RouteChooser> _routes;
  std::unique_ptr<RelayPool> _relays;
  std::unique_ptr<FlowTable> _flows;
  std::unique_ptr<PacketRouter> _router;
  std::unique_ptr<UdpRouter> _udp;
  std::unique_ptr<Housekeeping> _housekeeping;
  std::unique_ptr<HeldConnectionsWatch> _held;
  std::mutex _reap_lock;  // one retirement pass at a time
  std::mutex _stop_lock;  // a stop and the end of a run release what the run started one at a time

  mutable std::mutex _callback_lock;
  EngineTextCallback _on_status;
  EngineTextCallback _on_error;

  std::atomic<bool> _running{false};
  std::atomic<bool> _thread_active{false};

  mutable std::mutex _config_lock;  // _config, _api_url, _api_interval, _status_detail
  nlohmann::ordered_json _config;
  std::string _api_url;
  std::int64_t _api_interval = 0;
  std::string _status_detail;

  // The open diverter of the running loop, for stop_engine's wake-up.
  std::mutex _diverter_lock;
  PacketDiverter* _diverter = nullptr;
  std::atomic<bool> _stop_requested{false};

  std::mutex _thread_lock;  // _thread against concurrent start/stop
  std::thread _thread;

  // Image names of the processes the window lists, by process id.
  mutable std::mutex _names_lock;
  mutable std::unordered_map<std::uint32_t, std::string> _image_names;
};

// In a packaged build, copies driver/WinDivert64.dll beside the executable and
// returns that path for the library loader; empty when nothing is to be done.
TUNNEL_CORE_EXPORT std::filesystem::path _ensure_windivert_dll();

}  // namespace tovix
