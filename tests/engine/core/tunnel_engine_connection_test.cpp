// Whole connections: the SYN and the client's segments go through FakeDiverter and the engine,
// while a real client socket on 127.0.0.2 talks to the relay the engine chose, which tunnels
// through a real microsocks (user and password) to a loopback destination.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <thread>

#include "engine/core/tunnel_engine.h"
#include "engine/sniff/host_sniffer.h"
#include "tests/engine/core/engine_test_support.h"
#include "tests/engine/core/tunnel_engine_probe.h"
#include "tests/engine/process/process_queries_fake.h"
#include "tests/support/loopback_server.h"
#include "tests/support/proxy_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tovix {
namespace {

using namespace tovix::testing;
using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

constexpr auto WAIT = 30s;
constexpr const char* CLIENT = "10.0.0.5";

// A tunnel without a proxy: the relay's own half-close handling, which microsocks cannot show
// (its copy loop closes both sides when either ends its sending direction).
struct DirectHandler : UpstreamHandler {
  std::shared_ptr<Socket> handle_connection(const std::string& dst_ip, int dst_port, const std::string&, int,
                                            const std::string&, const std::string&) override {
    return connect_tcp(dst_ip, dst_port, 10s);
  }
};

// A diverted connection as the application sees it: its socket, bound on 127.0.0.2 (where the
// engine's rewritten packets come from) and connected to the relay its SYN went to.
struct Diverted {
  std::shared_ptr<Socket> socket;
  int port = 0;
  int relay_port = 0;
  int dst_port = 0;
  void send(const std::string& text) const { socket->send_all(text.data(), text.size()); }
  std::string receive(std::size_t size) const { return receive_up_to(*socket, size); }
};

class ConnectionTest : public ::testing::Test {
 protected:
  ConnectionTest() {
    queries = std::make_shared<FakeProcessQueries>();
    make_engine();
  }
  void make_engine(HandlerFactory handlers = {}) {
    engine.reset();
    EngineOptions options;
    options.handler_factory = std::move(handlers);
    options.diverter_factory = source.factory();
    options.process_queries = queries;
    options.clock = clock.clock();
    options.cleanup_period = std::chrono::hours(1);  // the tests run the clean-up themselves
    options.retire_check_period = 20ms;
    options.pool.usage = usage;
    engine = std::make_unique<TunnelEngine>(options);
    recorder.attach(*engine);
  }
  ~ConnectionTest() override { engine.reset(); }

  Json proxy_entry() const {
    return Json{{"type", "socks5"},
                {"host", "127.0.0.1"},
                {"port", proxy.port()},
                {"username", PROXY_USER},
                {"password", PROXY_PASSWORD}};
  }

  void start(std::size_t relays = 1, const Json& more_settings = Json::object()) {
    Json list = Json::array();
    for (std::size_t i = 0; i < relays; ++i) list.push_back(proxy_entry());
    Json record{{"proxy_list", list}, {"process_list", Json::array()}};
    record.update(more_settings);
    // A later run's started status and diverter, not an earlier one's.
    auto started = [this] {
      const auto statuses = recorder.statuses();
      return std::count_if(statuses.begin(), statuses.end(),
                           [](const std::string& status) { return status.rfind(STATUS_STARTED_PREFIX, 0) == 0; });
    };
    const auto runs_before = started();
    const std::size_t diverters_before = source.made();
    engine->start_engine(record);
    ASSERT_TRUE(eventually([&] { return started() > runs_before; }, WAIT)) << ::testing::PrintToString(recorder.all());
    fake = source.wait_for(diverters_before);
    ASSERT_TRUE(fake);
    ASSERT_TRUE(fake->wait_until_idle(WAIT));
  }

  // Handles one client packet through the running loop; what left (nullopt: dropped).
  std::optional<Wire> through_loop(Packet packet) {
    const std::size_t before = fake->sent().size();
    fake->push(std::move(packet));
    EXPECT_TRUE(fake->wait_until_idle(WAIT));
    const auto sent = fake->sent();
    if (sent.size() == before) return std::nullopt;
    EXPECT_EQ(sent.size(), before + 1);
    return wire_of(sent.back());
  }

  Diverted open_connection(int dst_port, std::uint32_t pid = 0) {
    Diverted conn;
    conn.socket = Socket::create_tcp();
    conn.socket->bind(FAKE_SRC_IP, 0);
    conn.port = conn.socket->local_address().second;
    conn.dst_port = dst_port;
    auto syn = through_loop(tcp_packet(CLIENT, conn.port, "127.0.0.1", dst_port, SYN, {}, pid));
    EXPECT_TRUE(syn);
    if (!syn) return conn;
    EXPECT_EQ(syn->src, FAKE_SRC_IP);
    EXPECT_EQ(syn->dst, "127.0.0.1");
    conn.relay_port = syn->dst_port;
    conn.socket->connect("127.0.0.1", conn.relay_port, 10s);
    return conn;
  }

  // The usage of the proxy this run has carried.
  pool::ProxyUsage usage_now() const { return usage->usage_of(pool::identity_of(proxy_entry())); }

  MicrosocksProxy proxy;
  TempDir folder;
  std::shared_ptr<pool::UsageStore> usage = std::make_shared<pool::UsageStore>(folder / pool::UsageStore::FILE_NAME);
  DiverterSource source;
  ManualClock clock;
  std::shared_ptr<FakeProcessQueries> queries;
  std::unique_ptr<TunnelEngine> engine;
  TextRecorder recorder;
  std::shared_ptr<FakeDiverter> fake;
};

// A destination that answers only once the client has finished sending.
LoopbackServer::Handler answer_after_end() {
  return [](Socket& connection) {
    std::string got;
    char buffer[4096];
    while (std::size_t n = connection.receive(buffer, sizeof buffer)) got.append(buffer, n);
    const std::string reply = "answer:" + got;
    connection.send_all(reply.data(), reply.size());
  };
}

TEST_F(ConnectionTest, CarriesBytesBothWaysThroughMicrosocks) {
  LoopbackServer dest(greet_then_echo("hi:"));
  start();
  Diverted conn = open_connection(dest.port());
  EXPECT_EQ(conn.receive(3), "hi:");
  conn.send("hello relay");
  EXPECT_EQ(conn.receive(11), "hello relay");
  auto data = through_loop(tcp_packet(CLIENT, conn.port, "127.0.0.1", dest.port(), ACK | PSH, "hello relay"));
  ASSERT_TRUE(data);
  EXPECT_EQ(data->dst_port, conn.relay_port);
  EXPECT_EQ(data->payload, "hello relay");
  conn.socket->close();
  ASSERT_TRUE(eventually([&] { return !inspect(*engine).nat_table()->contains(conn.port); }, WAIT));
  // Late segments of the ended connection go to the relay, whose socket answers them; never
  // to the destination.
  for (const std::uint8_t flags : {ACK, std::uint8_t(FIN | ACK), RST}) {
    const auto late = through_loop(tcp_packet(CLIENT, conn.port, "127.0.0.1", dest.port(), flags));
    ASSERT_TRUE(late);
    EXPECT_EQ(late->dst_port, conn.relay_port);
  }
  EXPECT_EQ(engine->get_traffic_stats(), (std::pair<std::uint64_t, std::uint64_t>{11, 14}));
}

TEST_F(ConnectionTest, AClientHalfCloseStillGetsTheAnswer) {
  make_engine([](const std::string&) { return std::make_unique<DirectHandler>(); });
  LoopbackServer dest(answer_after_end());
  start();
  Diverted conn = open_connection(dest.port());
  conn.send("hello relay");
  conn.socket->shutdown_send();
  auto fin = through_loop(tcp_packet(CLIENT, conn.port, "127.0.0.1", dest.port(), FIN | ACK));
  ASSERT_TRUE(fin);
  EXPECT_EQ(fin->dst_port, conn.relay_port);
  EXPECT_TRUE(inspect(*engine).nat_table()->contains(conn.port)) << "a half-closed connection keeps its entry";
  // The relay's answer after the client's FIN still comes back as the destination's.
  auto answer = through_loop(tcp_packet("127.0.0.1", conn.relay_port, FAKE_SRC_IP, conn.port, ACK | PSH, "answer"));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->src, "127.0.0.1");
  EXPECT_EQ(answer->src_port, dest.port());
  EXPECT_EQ(answer->dst, CLIENT);
  EXPECT_EQ(conn.receive(1000), "answer:hello relay");
  EXPECT_TRUE(sees_end_of_stream(*conn.socket, WAIT));
  // The relay's connection has ended: the entry goes, and the application's last ACK still
  // reaches the relay's socket.
  ASSERT_TRUE(eventually([&] { return !inspect(*engine).nat_table()->contains(conn.port); }, WAIT));
  EXPECT_EQ(through_loop(tcp_packet(CLIENT, conn.port, "127.0.0.1", dest.port(), ACK))->dst_port, conn.relay_port);
  const auto [up, down] = engine->get_traffic_stats();
  EXPECT_EQ(up, 11u);
  EXPECT_EQ(down, 18u);
}

TEST_F(ConnectionTest, SnapshotShowsTheLiveConnection) {
  queries->add_process(4242, "curl.exe");
  LoopbackServer dest(greet_then_echo());
  start();
  clock.set(2'000'000.25);
  Diverted conn = open_connection(dest.port(), 4242);
  conn.send("ping");
  EXPECT_EQ(conn.receive(4), "ping");
  ASSERT_TRUE(eventually(
      [&] {
        auto c = engine->connections_snapshot();
        return c.size() == 1 && c[0].bytes_up == 4 && c[0].bytes_down == 4;
      },
      WAIT));
  const EngineSnapshot snap = engine->snapshot();
  ASSERT_EQ(snap.connections.size(), 1u);
  const ConnectionInfo& info = snap.connections[0];
  EXPECT_EQ(info.client_port, conn.port);
  EXPECT_EQ(info.pid, 4242u);
  EXPECT_EQ(info.image_name, "curl.exe");
  EXPECT_EQ(info.client_ip, CLIENT);
  EXPECT_EQ(info.original_dst_ip, "127.0.0.1");
  EXPECT_EQ(info.original_dst_port, dest.port());
  EXPECT_EQ(info.relay_index, 0);
  EXPECT_EQ(info.relay_port, conn.relay_port);
  EXPECT_EQ(info.proxy_host, "127.0.0.1");
  EXPECT_EQ(info.proxy_port, proxy.port());
  EXPECT_DOUBLE_EQ(info.started_at, 2'000'000.25);
  ASSERT_EQ(snap.relays.size(), 1u);
  EXPECT_EQ(snap.relays[0].port, conn.relay_port);
  EXPECT_EQ(snap.relays[0].live_connections, 1u);
  EXPECT_EQ(snap.relays[0].bytes_up, 4u);
  EXPECT_EQ(snap.relays[0].bytes_down, 4u);
  EXPECT_EQ(snap.total_up, 4u);
  EXPECT_EQ(snap.total_down, 4u);
  EXPECT_TRUE(snap.running);
}

TEST_F(ConnectionTest, AnIdleLiveConnectionOutlivesTheCleanup) {
  LoopbackServer dest(greet_then_echo());
  start();
  Diverted conn = open_connection(dest.port());
  conn.send("one");
  EXPECT_EQ(conn.receive(3), "one");
  // A stale entry nobody carries, beside it.
  inspect(*engine).nat_table()->set(1, NatEntry{CLIENT, "127.0.0.1", 9, clock.now() - 121, 0});
  clock.advance(600);  // ten minutes idle
  EXPECT_TRUE(inspect(*engine).cleanup_nat_table());
  EXPECT_FALSE(inspect(*engine).nat_table()->contains(1));
  ASSERT_TRUE(inspect(*engine).nat_table()->contains(conn.port));
  auto segment = through_loop(tcp_packet(CLIENT, conn.port, "127.0.0.1", dest.port(), ACK | PSH, "two"));
  ASSERT_TRUE(segment);
  EXPECT_EQ(segment->dst_port, conn.relay_port);
  conn.send("two");
  EXPECT_EQ(conn.receive(3), "two");
}

TEST_F(ConnectionTest, StopEndsLiveConnectionsForTheirApplications) {
  LoopbackServer dest(greet_then_echo());
  start();
  Diverted conn = open_connection(dest.port());
  conn.send("x");
  EXPECT_EQ(conn.receive(1), "x");
  engine->stop_engine();
  EXPECT_TRUE(sees_end_of_stream(*conn.socket, WAIT));
  EXPECT_EQ(inspect(*engine).nat_table()->size(), 0u);
  ASSERT_TRUE(recorder.wait_for_status_count(STATUS_STOPPED, 2, WAIT));
  // Totals stay until the next start.
  EXPECT_EQ(engine->get_traffic_stats(), (std::pair<std::uint64_t, std::uint64_t>{1, 1}));
}

TEST_F(ConnectionTest, HotUpdateKeepsATransferInFlightAndTotalsNeverDrop) {
  LoopbackServer dest(greet_then_echo());
  start();
  Diverted conn = open_connection(dest.port());
  const int old_port = conn.relay_port;
  constexpr std::uint64_t HALF = 256 * 1024;
  auto echo_round = [&](std::uint64_t seed) {
    std::thread sender([&] { send_pattern(*conn.socket, seed, HALF); });
    const std::uint64_t digest = receive_digest(*conn.socket, HALF);
    sender.join();
    return digest == pattern_digest(seed, HALF);
  };
  ASSERT_TRUE(echo_round(1));
  const auto before = engine->get_traffic_stats();
  EXPECT_EQ(before.first, HALF);

  engine->hot_update_all_proxies(Json::array({proxy_entry(), proxy_entry(), proxy_entry()}));
  EXPECT_EQ(recorder.statuses().back(), "API 刷新: 3个代理已更新");
  const auto new_ports = engine->relay_ports();
  ASSERT_EQ(new_ports.size(), 3u);
  for (int port : new_ports) EXPECT_NE(port, old_port);
  EXPECT_EQ(inspect(*engine).retiring_relay_count(), 1u);
  // The old relay's replies are still recognised and its entry kept.
  auto reply = through_loop(tcp_packet("127.0.0.1", old_port, FAKE_SRC_IP, conn.port, ACK));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->dst, CLIENT);
  EXPECT_TRUE(inspect(*engine).nat_table()->contains(conn.port));
  EXPECT_GE(engine->get_traffic_stats().first, before.first);

  // The transfer in flight completes through the old relay.
  ASSERT_TRUE(echo_round(2));
  EXPECT_EQ(engine->get_traffic_stats().first, 2 * HALF);

  // New connections use the new relays.
  Diverted fresh = open_connection(dest.port());
  EXPECT_EQ(fresh.relay_port, new_ports[0]);
  fresh.send("new");
  EXPECT_EQ(fresh.receive(3), "new");

  // Once its last connection ends the old relay stops; its counts stay in the totals.
  conn.socket->close();
  ASSERT_TRUE(eventually([&] { return inspect(*engine).retiring_relay_count() == 0; }, WAIT));
  // The diverter lets go of the stopped relay's port alone, not of the running relays' ports.
  EXPECT_TRUE(eventually([&] { return fake->released() == std::vector<int>{old_port}; }, WAIT));
  const auto after = engine->get_traffic_stats();
  EXPECT_EQ(after.first, 2 * HALF + 3);
  EXPECT_EQ(after.second, 2 * HALF + 3);
  // The proxy's usage neither lost the retired relay's bytes nor counted them twice.
  engine->stop_engine();
  EXPECT_EQ(usage_now().since_start, (pool::UsageCounters{2 * HALF + 3, 2 * HALF + 3, 2}));
}

TEST_F(ConnectionTest, ProxyUsageIsCountedPerRunAndKeptOnDisk) {
  LoopbackServer dest(greet_then_echo("hi:"));
  auto carry = [&](const std::string& text) {
    Diverted conn = open_connection(dest.port());
    EXPECT_EQ(conn.receive(3), "hi:");
    conn.send(text);
    EXPECT_EQ(conn.receive(text.size()), text);
  };
  start();
  carry("first run");
  engine->stop_engine();
  const pool::UsageCounters first{9, 12, 1};
  EXPECT_EQ(usage_now().since_start, first);
  EXPECT_EQ(usage_now().total, first);
  EXPECT_EQ(pool::UsageStore(usage->path()).usage_of(pool::identity_of(proxy_entry())).total, first)
      << "saved when the run stopped";

  ASSERT_TRUE(engine->wait_for_previous_run(WAIT));
  start();
  EXPECT_EQ(usage_now().since_start, pool::UsageCounters{}) << "a new run counts from zero";
  carry("second");
  // While the run lasts the relays' bytes reach the store without a stop.
  ASSERT_TRUE(eventually([&] { return usage_now().since_start.bytes_up == 6; }, WAIT));
  EXPECT_EQ(usage_now().total, (pool::UsageCounters{15, 21, 2}));
  engine.reset();
  EXPECT_EQ(pool::UsageStore(usage->path()).usage_of(pool::identity_of(proxy_entry())).total,
            (pool::UsageCounters{15, 21, 2}))
      << "saved when the engine went away";
}

// Remembers each destination a proxy is asked for, and asks the real proxy.
struct AskedDestinations {
  std::mutex lock;
  std::vector<std::string> asked;
  HandlerFactory factory() {
    return [this](const std::string& type) -> std::unique_ptr<UpstreamHandler> {
      return std::make_unique<Recording>(*this, make_upstream_handler(type));
    };
  }
  std::vector<std::string> all() {
    std::lock_guard guard(lock);
    return asked;
  }
  struct Recording : UpstreamHandler {
    Recording(AskedDestinations& log, std::unique_ptr<UpstreamHandler> real) : log(log), real(std::move(real)) {}
    std::shared_ptr<Socket> handle_connection(const std::string& dst, int dst_port, const std::string& host, int port,
                                              const std::string& user, const std::string& password) override {
      {
        std::lock_guard guard(log.lock);
        log.asked.push_back(dst);
      }
      return real->handle_connection(dst, dst_port, host, port, user, password);
    }
    AskedDestinations& log;
    std::unique_ptr<UpstreamHandler> real;
  };
};

TEST_F(ConnectionTest, RoutingRulesPickEachConnectionsWay) {
  AskedDestinations proxy_log;
  make_engine(proxy_log.factory());
  queries->add_process(11, "blocked.exe");
  queries->add_process(12, "direct.exe");
  queries->add_process(13, "curl.exe");
  LoopbackServer dest(greet_then_echo());
  start(1, Json{{"route_rules", Json::parse(R"([
    {"programs": ["blocked.exe"], "action": "block"},
    {"note": "本地", "programs": ["direct.exe"], "action": "direct"},
    {"names": [".named.example"], "action": "proxy", "proxy": 0}
  ])")}});
  const std::string request = "GET / HTTP/1.1\r\nHost: www.named.example\r\n\r\n";
  struct Case {
    const char* what;
    std::uint32_t pid;
    std::string first_bytes;
    std::vector<std::string> asked;  // of the proxy; the name first, then the address it fell back to
    std::string rule;
    std::string host_name;
  };
  const std::vector<Case> cases{
      {"a program sent direct", 12, "ping", {}, "规则 2：本地", ""},
      {"a name pinned to a proxy that cannot resolve it",
       13,
       request,
       {"www.named.example", "127.0.0.1"},
       "规则 3",
       "www.named.example"},
      {"no rule: the proxies in turn, by address", 13, "ping", {"127.0.0.1"}, "", ""},
  };
  for (const Case& one : cases) {
    SCOPED_TRACE(one.what);
    const std::size_t asked_before = proxy_log.all().size();
    Diverted conn = open_connection(dest.port(), one.pid);
    conn.send(one.first_bytes);
    EXPECT_EQ(conn.receive(one.first_bytes.size()), one.first_bytes);
    const auto asked = proxy_log.all();
    EXPECT_EQ(std::vector<std::string>(asked.begin() + static_cast<std::ptrdiff_t>(asked_before), asked.end()),
              one.asked);
    const auto live = engine->connections_snapshot();
    const auto it =
        std::find_if(live.begin(), live.end(), [&](const ConnectionInfo& c) { return c.client_port == conn.port; });
    ASSERT_NE(it, live.end());
    EXPECT_EQ(it->rule, one.rule);
    EXPECT_EQ(it->host_name, one.host_name);
  }
  // A blocked program's connection is reset at once, though it has not said anything yet.
  const int reached = dest.accepted();
  const auto started = std::chrono::steady_clock::now();
  auto blocked = Socket::create_tcp();
  blocked->bind(FAKE_SRC_IP, 0);
  const int blocked_port = blocked->local_address().second;
  const auto syn = through_loop(tcp_packet(CLIENT, blocked_port, "127.0.0.1", dest.port(), SYN, {}, 11));
  ASSERT_TRUE(syn);
  bool refused = false;
  try {
    blocked->connect("127.0.0.1", syn->dst_port, 10s);  // the reset may already fail the connect
    refused = sees_end_of_stream(*blocked, WAIT);
  } catch (const SocketError&) {
    refused = true;
  }
  EXPECT_TRUE(refused);
  EXPECT_LT(std::chrono::steady_clock::now() - started, SNIFF_WAIT);
  EXPECT_EQ(dest.accepted(), reached);
}

}  // namespace
}  // namespace tovix
