// The proxy pool inside the engine: new connections spread over the relays as the settings say,
// a proxy whose handshakes keep failing is passed over until a re-check finds it working, and
// every proxy down is said once while no connection leaves without a proxy.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>

#include "common/socket.h"

#include "engine/core/tunnel_engine.h"
#include "engine/pool/spread_mode.h"
#include "engine/relay/upstream_handler.h"
#include "tests/engine/core/engine_test_support.h"
#include "tests/engine/core/tunnel_engine_probe.h"
#include "tests/engine/pool/pool_test_support.h"
#include "tests/engine/process/process_queries_fake.h"

namespace tovix {
namespace {

using namespace tovix::testing;
using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;
using pool::SpreadMode;

constexpr auto WAIT = 30s;
constexpr const char* CLIENT = "10.0.0.5";
constexpr const char* DEST = "93.184.216.34";

Json proxy_at(int port) {
  return Json{{"type", "socks5"}, {"host", "127.0.0.1"}, {"port", port}, {"username", "u"}, {"password", "p"}};
}

// The packet path alone: relays on made-up ports, outcomes told to the tracker by hand.
class SpreadTest : public ::testing::Test {
 protected:
  SpreadTest() {
    queries = std::make_shared<FakeProcessQueries>();
    EngineOptions options;
    options.diverter_factory = [] { return std::make_unique<FakeDiverter>(); };
    options.process_queries = queries;
    options.clock = clock.clock();
    engine = std::make_unique<TunnelEngine>(options);
    diverter.open("test");
  }

  void install(SpreadMode mode, std::size_t relays = 3) {
    std::vector<RelaySlot> slots;
    for (std::size_t i = 0; i < relays; ++i)
      slots.push_back({nullptr, RELAY_PORT_BASE + static_cast<int>(i), proxy_at(static_cast<int>(i) + 1)});
    inspect(*engine).install(std::move(slots), {}, {}, mode);
  }

  // The relay index a new connection from `port` (of `pid`, 0: none in the packet) goes to.
  int relay_of(int port, std::uint32_t pid = 0) {
    Packet syn = tcp_packet(CLIENT, port, DEST, 443, SYN, {}, pid);
    const std::size_t before = diverter.sent().size();
    inspect(*engine).handle_packet(syn, diverter);
    const auto sent = diverter.sent();
    if (sent.size() == before) return -1;
    const Wire out = wire_of(sent.back());
    EXPECT_EQ(out.dst, "127.0.0.1") << "a new connection left without a proxy";
    return out.dst_port - RELAY_PORT_BASE;
  }

  void fail(int proxy_port, int times) {
    for (int i = 0; i < times; ++i)
      inspect(*engine).health().record(pool::identity_of(proxy_at(proxy_port)),
                                       pool::testing::refused(proxy_at(proxy_port)));
  }

  static constexpr int RELAY_PORT_BASE = 40001;
  std::shared_ptr<FakeProcessQueries> queries;
  ManualClock clock;
  std::unique_ptr<TunnelEngine> engine;
  FakeDiverter diverter;
};

TEST_F(SpreadTest, ModesSpreadNewConnections) {
  struct Case {
    SpreadMode mode;
    std::vector<std::uint32_t> pids;  // one connection each
    std::vector<int> relays;
  };
  const Case cases[] = {
      {SpreadMode::first_available, {100, 101, 102, 100}, {0, 0, 0, 0}},
      {SpreadMode::per_connection, {100, 100, 100, 100}, {0, 1, 2, 0}},
      {SpreadMode::per_program, {100, 101, 100, 102, 101, 103}, {0, 1, 0, 2, 1, 0}},
  };
  int port = 50000;
  for (const Case& c : cases) {
    install(c.mode);
    for (std::size_t i = 0; i < c.pids.size(); ++i)
      EXPECT_EQ(relay_of(port++, c.pids[i]), c.relays[i]) << pool::spread_mode_name(c.mode) << ", connection " << i;
  }
}

// Linux packets carry no process id: a program keeps its relay through its ports' owner.
TEST_F(SpreadTest, OneProxyPerProgramByThePortOwner) {
  queries->set_connections({{TcpEndpoint{"10.0.0.5", 50000}, "SYN_SENT", 700},
                            {TcpEndpoint{"10.0.0.5", 50001}, "SYN_SENT", 701},
                            {TcpEndpoint{"10.0.0.5", 50002}, "SYN_SENT", 700},
                            {TcpEndpoint{"10.0.0.5", 50003}, "SYN_SENT", 700}});
  install(SpreadMode::per_program);
  EXPECT_EQ(relay_of(50000), 0);
  EXPECT_EQ(relay_of(50001), 1);
  EXPECT_EQ(relay_of(50002), 0) << "the same program again";
  EXPECT_EQ(relay_of(50003), 0);
  EXPECT_EQ(inspect(*engine).pid_relay_map(), (std::map<std::uint32_t, int>{{700, 0}, {701, 1}}));
  // A port nobody owns takes the next turn and no program is remembered for it.
  EXPECT_EQ(relay_of(50009), 2);
  EXPECT_EQ(inspect(*engine).pid_relay_map().size(), 2u);
}

TEST_F(SpreadTest, DownProxiesArePassedOverAndNothingGoesDirect) {
  struct Case {
    SpreadMode mode;
    std::uint32_t pid;
  };
  int port = 50000;
  for (const Case& c : {Case{SpreadMode::first_available, 0}, Case{SpreadMode::per_connection, 0},
                        Case{SpreadMode::per_program, 100}}) {
    SCOPED_TRACE(pool::spread_mode_name(c.mode));
    install(c.mode);
    port += 100;
    EXPECT_EQ(relay_of(port, c.pid), 0);
    fail(1, pool::FAILURES_TO_MARK_DOWN - 1);
    EXPECT_EQ(relay_of(port + 1, c.pid), c.mode == SpreadMode::per_connection ? 1 : 0) << "two failures: still up";
    fail(1, 1);
    fail(2, pool::FAILURES_TO_MARK_DOWN);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(relay_of(port + 10 + i, c.pid), 2) << "the only proxy up";
    fail(3, pool::FAILURES_TO_MARK_DOWN);
    ASSERT_TRUE(inspect(*engine).health().all_down());
    const int chosen = relay_of(port + 20, c.pid);
    EXPECT_GE(chosen, 0) << "with every proxy down a connection still goes to a relay, to fail there";
    EXPECT_LT(chosen, 3);
  }
}

// Proxy ports that refuse, changed by the test while relays and re-checks read them.
class DeadPorts {
 public:
  void set(std::set<int> ports) {
    std::lock_guard guard(_lock);
    _ports = std::move(ports);
  }
  bool contains(int port) const {
    std::lock_guard guard(_lock);
    return _ports.count(port) != 0;
  }

 private:
  mutable std::mutex _lock;
  std::set<int> _ports;
};

// A handler that fails at the proxy for dead ports and else gets no further than the made-up
// destination (which says the proxy worked).
struct ScriptedHandler : UpstreamHandler {
  explicit ScriptedHandler(std::shared_ptr<DeadPorts> dead) : dead(std::move(dead)) {}
  std::shared_ptr<Socket> handle_connection(const std::string&, int, const std::string&, int proxy_port,
                                            const std::string&, const std::string&) override {
    if (dead->contains(proxy_port)) throw std::runtime_error("cannot connect to proxy: connection refused");
    throw ProxyError("CONNECT refused: host unreachable", true);
  }
  std::shared_ptr<DeadPorts> dead;
};

// Health events as the engine tells them.
class EventLog {
 public:
  pool::HealthSink sink() {
    return [this](const pool::HealthEvent& event) {
      std::lock_guard guard(_lock);
      _events.push_back(event);
      _changed.notify_all();
    };
  }
  bool wait_for(pool::HealthEventKind kind, std::size_t count) {
    std::unique_lock guard(_lock);
    return _changed.wait_for(guard, WAIT, [&] { return _count(kind) >= count; });
  }
  std::size_t count(pool::HealthEventKind kind) {
    std::lock_guard guard(_lock);
    return _count(kind);
  }

 private:
  std::size_t _count(pool::HealthEventKind kind) const {
    return static_cast<std::size_t>(
        std::count_if(_events.begin(), _events.end(), [&](const auto& event) { return event.kind == kind; }));
  }
  std::mutex _lock;
  std::condition_variable _changed;
  std::vector<pool::HealthEvent> _events;
};

// Whole runs: real relays whose handshakes fail as scripted report to the engine's tracker.
class FailoverTest : public ::testing::Test {
 protected:
  FailoverTest() {
    queries = std::make_shared<FakeProcessQueries>();
    EngineOptions options;
    options.handler_factory = [dead = dead](const std::string&) { return std::make_unique<ScriptedHandler>(dead); };
    options.diverter_factory = source.factory();
    options.process_queries = queries;
    options.clock = clock.clock();
    options.cleanup_period = std::chrono::hours(1);
    options.pool.health_sink = events.sink();
    options.pool.clock = pool_clock.function();
    options.pool.recheck_tick = 10ms;
    options.pool.check = [this](const Json& entry, const pool::TestDestination& destination) {
      const bool dead_now = dead->contains(entry["port"].get<int>());
      std::lock_guard guard(check_lock);
      checked_destinations.push_back(destination.host + ":" + std::to_string(destination.port));
      checked.notify_all();
      return pool::HandshakeCheckResult{!dead_now, dead_now ? "connection refused" : ""};
    };
    options.pool.default_test_url = "http://ip.example/json";
    engine = std::make_unique<TunnelEngine>(options);
    recorder.attach(*engine);
  }
  ~FailoverTest() override { engine.reset(); }

  void start(Json settings) {
    settings["proxy_list"] = Json::array({proxy_at(1), proxy_at(2)});
    settings["process_list"] = Json::array();
    engine->start_engine(settings);
    ASSERT_TRUE(recorder.wait_for_status_prefix(STATUS_STARTED_PREFIX, WAIT))
        << ::testing::PrintToString(recorder.all());
    fake = source.wait_for(0);
    ASSERT_TRUE(fake);
    ASSERT_TRUE(fake->wait_until_idle(WAIT));
  }

  // A new connection through the loop and its relay; the index of the relay it went to.
  int connect_once() {
    auto socket = Socket::create_tcp();
    socket->bind(FAKE_SRC_IP, 0);
    const int port = socket->local_address().second;
    const std::size_t before = fake->sent().size();
    fake->push(tcp_packet(CLIENT, port, DEST, 443, SYN));
    EXPECT_TRUE(fake->wait_until_idle(WAIT));
    const auto sent = fake->sent();
    if (sent.size() != before + 1) return -1;
    const Wire out = wire_of(sent.back());
    EXPECT_EQ(out.dst, "127.0.0.1") << "a new connection left without a proxy";
    const auto ports = engine->relay_ports();
    const auto found = std::find(ports.begin(), ports.end(), out.dst_port);
    if (found == ports.end()) return -1;
    socket->connect("127.0.0.1", out.dst_port, 10s);
    // The relay closes the connection once its handshake has failed.
    char byte;
    try {
      while (socket->receive(&byte, 1) != 0) {
      }
    } catch (const std::exception&) {
    }
    return static_cast<int>(found - ports.begin());
  }

  bool wait_for_checks(std::size_t count) {
    std::unique_lock guard(check_lock);
    return checked.wait_for(guard, WAIT, [&] { return checked_destinations.size() >= count; });
  }

  std::shared_ptr<DeadPorts> dead = std::make_shared<DeadPorts>();
  std::shared_ptr<FakeProcessQueries> queries;
  DiverterSource source;
  ManualClock clock;
  pool::testing::ManualClock pool_clock;
  EventLog events;
  TextRecorder recorder;
  std::mutex check_lock;
  std::condition_variable checked;
  std::vector<std::string> checked_destinations;
  std::unique_ptr<TunnelEngine> engine;
  std::shared_ptr<FakeDiverter> fake;
};

TEST_F(FailoverTest, ThirdFailureSendsTheNextConnectionToTheNextProxyUntilARecheckBringsItBack) {
  dead->set({1});
  start(Json::object());
  EXPECT_EQ(engine->status_detail().find("首个可用代理"), std::string("全局代理 | ").size())
      << "first-proxy mode says so: " << engine->status_detail();
  for (int i = 1; i <= pool::FAILURES_TO_MARK_DOWN; ++i) {
    EXPECT_EQ(connect_once(), 0) << "connection " << i;
    ASSERT_TRUE(events.wait_for(pool::HealthEventKind::first_failure, 1));
  }
  ASSERT_TRUE(events.wait_for(pool::HealthEventKind::marked_down, 1));
  EXPECT_EQ(events.count(pool::HealthEventKind::first_failure), 1u) << "the notice is told once per episode";
  EXPECT_EQ(connect_once(), 1) << "the fourth connection";
  EXPECT_EQ(connect_once(), 1);

  // Not yet due: the down proxy stays out.
  pool_clock.advance(pool::HEALTH_RECHECK_PERIOD - 1s);
  EXPECT_EQ(connect_once(), 1);
  dead->set({});
  pool_clock.advance(1s);
  ASSERT_TRUE(events.wait_for(pool::HealthEventKind::recovered, 1));
  EXPECT_EQ(connect_once(), 0) << "back on the first proxy";
  {
    std::lock_guard guard(check_lock);
    ASSERT_FALSE(checked_destinations.empty());
    EXPECT_EQ(checked_destinations.front(), "ip.example:80") << "the first what-is-my-IP service by default";
  }
  const auto view = engine->proxy_health()->view_of(pool::identity_of(proxy_at(1)));
  ASSERT_TRUE(view);
  EXPECT_EQ(view->state, pool::ProxyState::up);
  EXPECT_FALSE(view->last_reason.empty());
}

TEST_F(FailoverTest, EveryProxyDownIsSaidOnceAndConnectionsStillGoToARelay) {
  dead->set({1, 2});
  Json settings;
  settings[pool::HEALTH_CHECK_TARGET_KEY] = "check.example:8080";
  start(settings);
  for (int i = 0; i < 2 * pool::FAILURES_TO_MARK_DOWN; ++i) EXPECT_GE(connect_once(), 0);
  ASSERT_TRUE(events.wait_for(pool::HealthEventKind::all_down, 1));
  ASSERT_TRUE(recorder.wait_for_status_count(pool::STATUS_ALL_PROXIES_DOWN, 1));
  for (int i = 0; i < 3; ++i) EXPECT_GE(connect_once(), 0) << "fails at a proxy, never direct";
  pool_clock.advance(pool::HEALTH_RECHECK_PERIOD);
  ASSERT_TRUE(wait_for_checks(2)) << "both down proxies re-checked";
  {
    std::lock_guard guard(check_lock);
    EXPECT_EQ(checked_destinations.front(), "check.example:8080") << "the configured test destination";
  }
  EXPECT_EQ(recorder.count_status(pool::STATUS_ALL_PROXIES_DOWN), 1u);
  EXPECT_EQ(events.count(pool::HealthEventKind::first_failure), 2u) << "one notice per proxy";

  // A new run starts with every proxy up again.
  engine->stop_engine();
  dead->set({});
  ASSERT_TRUE(engine->wait_for_previous_run(WAIT));
  engine->start_engine(Json{{"proxy_list", Json::array({proxy_at(1), proxy_at(2)})}, {"process_list", Json::array()}});
  EXPECT_FALSE(engine->proxy_health()->all_down());
  EXPECT_TRUE(engine->proxy_health()->is_up(0));
}

TEST_F(FailoverTest, AProxyBackAfterAllWereDownPutsTheRunningStatusBack) {
  dead->set({1, 2});
  start(Json::object());
  const std::string running = recorder.statuses().back();
  ASSERT_EQ(running.rfind(STATUS_STARTED_PREFIX, 0), 0u);
  for (int i = 0; i < 2 * pool::FAILURES_TO_MARK_DOWN; ++i) EXPECT_GE(connect_once(), 0);
  ASSERT_TRUE(recorder.wait_for_status_count(pool::STATUS_ALL_PROXIES_DOWN, 1));

  dead->set({1});
  pool_clock.advance(pool::HEALTH_RECHECK_PERIOD);
  ASSERT_TRUE(events.wait_for(pool::HealthEventKind::recovered, 1));
  ASSERT_TRUE(recorder.wait_for_status_count(running, 2)) << ::testing::PrintToString(recorder.all());
  EXPECT_EQ(recorder.statuses().back(), running) << "no longer says that every proxy is down";
  EXPECT_EQ(connect_once(), 1) << "the proxy that came back";

  // Down again: said again, and only the all-down episode's first comeback changes the status.
  dead->set({1, 2});
  for (int i = 0; i < pool::FAILURES_TO_MARK_DOWN; ++i) EXPECT_EQ(connect_once(), 1);
  ASSERT_TRUE(recorder.wait_for_status_count(pool::STATUS_ALL_PROXIES_DOWN, 2));
  dead->set({});
  pool_clock.advance(pool::HEALTH_RECHECK_PERIOD);
  ASSERT_TRUE(events.wait_for(pool::HealthEventKind::recovered, 3));
  ASSERT_TRUE(recorder.wait_for_status_count(running, 3));
  EXPECT_EQ(recorder.count_status(running), 3u) << "one status for two proxies coming back together";
}

}  // namespace
}  // namespace tovix
