// start_engine / the thread body / stop_engine with FakeDiverter: status and error
// texts, the open failures, the loop's handling of IPv6 and failing packets, stop then start.
#include <gtest/gtest.h>

#include <thread>

#include "common/logging.h"
#include "common/socket.h"
#include "engine/core/tunnel_engine.h"
#include "tests/engine/core/engine_test_support.h"
#include "tests/engine/core/tunnel_engine_probe.h"
#include "tests/engine/process/process_queries_fake.h"
#include "tests/support/log_capture.h"
#include "tests/support/loopback_server.h"

namespace tovix {
namespace {

using namespace tovix::testing;
using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

constexpr auto WAIT = 30s;

Json entry(int port) {
  return Json{{"type", "socks5"}, {"host", "127.0.0.1"}, {"port", port}, {"username", "u"}, {"password", "p"}};
}

std::string joined(const std::vector<int>& ports) {
  std::string out;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) out += ",";
    out += std::to_string(ports[i]);
  }
  return out;
}

class LifecycleTest : public ::testing::Test {
 protected:
  LifecycleTest() {
    queries = std::make_shared<FakeProcessQueries>();
    remake();
  }
  // A new engine on the fixture's diverters and queries, with options of the test's own.
  void remake(const std::function<void(EngineOptions&)>& adjust = {}) {
    EngineOptions options;
    options.diverter_factory = source.factory();
    options.process_queries = queries;
    if (adjust) adjust(options);
    engine = std::make_unique<TunnelEngine>(options);
    recorder.attach(*engine);
  }
  ~LifecycleTest() override { engine.reset(); }

  Json config(std::vector<Json> proxies, std::vector<std::string> processes = {}) {
    Json proxy_list = Json::array();
    for (auto& p : proxies) proxy_list.push_back(p);
    Json process_list = Json::array();
    for (auto& p : processes) process_list.push_back(p);
    return Json{{"proxy_list", proxy_list}, {"process_list", process_list}};
  }

  // Starts and waits for the started status (or for "已停" when the start fails).
  std::string start_and_wait(Json cfg) {
    engine->start_engine(std::move(cfg));
    EXPECT_TRUE(recorder.wait_for_status_prefix(STATUS_STARTED_PREFIX, WAIT))
        << ::testing::PrintToString(recorder.all());
    for (const auto& status : recorder.statuses())
      if (status.rfind(STATUS_STARTED_PREFIX, 0) == 0) return status;
    return {};
  }

  bool wait_thread_end() {
    return eventually([&] { return !engine->is_thread_active(); }, WAIT);
  }

  DiverterSource source;
  std::shared_ptr<FakeProcessQueries> queries;
  std::unique_ptr<TunnelEngine> engine;
  TextRecorder recorder;
};

TEST_F(LifecycleTest, EmptyProxyListFailsWithItsTextThenStopped) {
  engine->start_engine(config({}));
  ASSERT_TRUE(recorder.wait_for_status_count(STATUS_STOPPED, 1, WAIT));
  EXPECT_EQ(recorder.all(), (std::vector<std::string>{"error: 代理列表为空，无法启", "status: 已停"}));
  EXPECT_EQ(source.made(), 0u);
  EXPECT_TRUE(engine->relay_ports().empty());
}

TEST_F(LifecycleTest, GlobalModeStatusNamesTheRelayPorts) {
  Json cfg = config({entry(1), entry(2)});
  cfg["per_connection_mode"] = true;
  const std::string status = start_and_wait(cfg);
  const auto ports = engine->relay_ports();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_NE(ports[0], ports[1]);
  EXPECT_EQ(status, "代理已启?| 全局代理 | 2IP轮询 | 中继:" + joined(ports));
  auto fake = source.wait_for(0);
  ASSERT_TRUE(fake);
  EXPECT_EQ(fake->opened_filters(),
            std::vector<std::string>{"(tcp and (outbound or loopback)) or (udp and outbound and !loopback)"});
  EXPECT_EQ(fake->register_calls(), 1);
  ASSERT_TRUE(fake->wait_until_idle(WAIT));
  EXPECT_EQ(fake->params(), (std::vector<std::pair<DivertParam, std::uint64_t>>{{DivertParam::QUEUE_TIME, 100}}));
  EXPECT_FALSE(inspect(*engine).proc_watch().is_port_monitor_running());
}

TEST_F(LifecycleTest, PidFilteringStatusAndPortMonitor) {
  queries->add_process(4242, "chrome.exe");
  const std::string status = start_and_wait(config({entry(1)}, {"chrome.exe"}));
  EXPECT_EQ(status, "代理已启?| PID过滤 1? chrome.exe→[4242] | 中继:" + joined(engine->relay_ports()));
  EXPECT_TRUE(inspect(*engine).proc_watch().is_port_monitor_running());
  engine->stop_engine();
  EXPECT_FALSE(inspect(*engine).proc_watch().is_port_monitor_running());
}

TEST_F(LifecycleTest, NoChosenProcessRunningFallsBackToGlobal) {
  const std::string status = start_and_wait(config({entry(1)}, {"absent.exe"}));
  EXPECT_EQ(status, "代理已启?| 无运行进程，降级全局 | 中继:" + joined(engine->relay_ports()));
  EXPECT_FALSE(inspect(*engine).proc_watch().is_port_monitor_running());
}

TEST_F(LifecycleTest, EachOpenFailureGivesItsMessageThenStopped) {
  struct Case {
    DivertOsError error;
    std::string message;
  };
  const std::vector<Case> cases{
      {FakeDiverter::access_denied(), "权限不足，请以管理员身份运行"},
      {FakeDiverter::invalid_parameter(),
       std::string("WinDivert 驱动未安装或未运?(") + FakeDiverter::invalid_parameter().what() + ")"},
      {FakeDiverter::invalid_image_hash(),
       std::string("WinDivert 驱动未安装或未运?(") + FakeDiverter::invalid_image_hash().what() + ")"},
      {FakeDiverter::not_loaded(),
       std::string("WinDivert 驱动未安装或未运?(") + FakeDiverter::not_loaded().what() + ")"},
      {DivertOsError(50, "NFQUEUE unavailable"),
       std::string("WinDivert 错误: ") + DivertOsError(50, "NFQUEUE unavailable").what()},
  };
  std::size_t run = 0;
  for (const auto& c : cases) {
    source.prepare = [error = c.error](FakeDiverter& fake) { fake.fail_next_open(error); };
    engine->start_engine(config({entry(1)}));
    ASSERT_TRUE(recorder.wait_for_status_count(STATUS_STOPPED, run + 1, WAIT));
    ASSERT_TRUE(wait_thread_end());
    const auto errors = recorder.errors();
    ASSERT_EQ(errors.size(), run + 1) << ::testing::PrintToString(recorder.all());
    EXPECT_EQ(errors.back(), c.message);
    const auto all = recorder.all();
    EXPECT_EQ(all.back(), "status: 已停");
    EXPECT_EQ(all[all.size() - 2], "error: " + c.message);
    ++run;
  }
}

TEST_F(LifecycleTest, RegisterFailureIsLoggedAndOpeningStillTried) {
  LogCapture logs(LOGGER_ENGINE);
  source.prepare = [](FakeDiverter& fake) { fake.fail_next_register(DivertOsError(1275, "blocked")); };
  start_and_wait(config({entry(1)}));
  EXPECT_TRUE(logs.contains_fragment(spdlog::level::warn, "WinDivert.register() 失败: "));
}

TEST_F(LifecycleTest, StopSaysStoppedTwiceAndEndsTheLoopWithoutAnotherPacket) {
  start_and_wait(config({entry(1)}));
  auto fake = source.wait_for(0);
  ASSERT_TRUE(fake->wait_until_idle(WAIT));
  engine->stop_engine();
  EXPECT_GE(recorder.count_status(STATUS_STOPPED), 1u);
  EXPECT_TRUE(engine->relay_ports().empty());
  EXPECT_EQ(inspect(*engine).nat_table()->size(), 0u);
  ASSERT_TRUE(recorder.wait_for_status_count(STATUS_STOPPED, 2, WAIT));
  ASSERT_TRUE(wait_thread_end());
  EXPECT_FALSE(fake->is_open());
  EXPECT_EQ(recorder.count_status(STATUS_STOPPED), 2u);
}

TEST_F(LifecycleTest, StartRightAfterStopReallyStarts) {
  start_and_wait(config({entry(1)}));
  engine->stop_engine();
  engine->start_engine(config({entry(1), entry(2)}));
  ASSERT_TRUE(eventually(
      [&] {
        std::size_t started = 0;
        for (const auto& s : recorder.statuses()) started += s.rfind(STATUS_STARTED_PREFIX, 0) == 0 ? 1 : 0;
        return started == 2;
      },
      WAIT))
      << ::testing::PrintToString(recorder.all());
  EXPECT_EQ(source.made(), 2u);
  EXPECT_EQ(engine->relay_ports().size(), 2u);
  auto second = source.wait_for(1);
  ASSERT_TRUE(second->wait_until_idle(WAIT));
  second->push(tcp_packet("10.0.0.5", 50123, "93.184.216.34", 443, SYN));
  ASSERT_TRUE(second->wait_for_sent(1, WAIT));
  EXPECT_EQ(wire_of(second->sent()[0]).dst_port, engine->relay_ports()[0]);
}

TEST_F(LifecycleTest, LoopReinjectsAFailedPacket) {
  start_and_wait(config({entry(1)}));
  auto fake = source.wait_for(0);
  fake->push(Packet({0x50, 0, 0, 0}));  // neither IPv4 nor IPv6: dropped
  // The handler's own send fails: the loop re-injects the packet in the state it reached.
  fake->fail_next_send(DivertOsError(1232, "unreachable"));
  fake->push(tcp_packet("10.0.0.5", 50123, "93.184.216.34", 443, SYN));
  fake->push(Packet(build_ipv4_udp({9})));
  ASSERT_TRUE(fake->wait_for_sent(2, WAIT));
  ASSERT_TRUE(fake->wait_until_idle(WAIT));
  const auto sent = fake->sent();
  ASSERT_EQ(sent.size(), 2u);
  const Wire rescued = wire_of(sent[0]);
  EXPECT_EQ(rescued.dst_port, engine->relay_ports()[0]);
  EXPECT_TRUE(rescued.checksums_right);
  EXPECT_FALSE(sent[1].tcp().has_value());  // the UDP packet, passed
}

// The relays carry IPv4 only. A chosen program's new IPv6 connection is refused at once with a
// reset (it falls back to IPv4 within milliseconds); every other IPv6 packet passes untouched.
TEST_F(LifecycleTest, OnlyChosenProgramsNewIpv6ConnectionsAreRefused) {
  queries->add_process(4242, "chosen.exe");
  queries->add_process(777, "other.exe");
  start_and_wait(config({entry(1)}, {"chosen.exe"}));
  auto fake = source.wait_for(0);
  const auto v6 = [](std::uint8_t flags, std::uint32_t pid, std::uint16_t port) {
    Tcp6Fields fields;
    fields.flags = flags;
    fields.src_port = port;
    CaptureInfo info;
    info.process_id = pid;
    return Packet(build_ipv6_tcp(fields), info);
  };
  struct Case {
    const char* what;
    Packet packet;
    bool refused;
  };
  std::vector<Case> cases;
  cases.push_back({"a chosen program's SYN", v6(SYN, 4242, 50001), true});
  cases.push_back({"another program's SYN", v6(SYN, 777, 50002), false});
  cases.push_back({"a segment of a connection open before the start", v6(ACK | PSH, 4242, 50003), false});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::vector<std::uint8_t> original(cases[i].packet.bytes().begin(), cases[i].packet.bytes().end());
    fake->push(cases[i].packet);
    ASSERT_TRUE(fake->wait_for_sent(i + 1, WAIT)) << cases[i].what;
    const Packet out = fake->sent()[i];
    const std::vector<std::uint8_t> bytes(out.bytes().begin(), out.bytes().end());
    if (!cases[i].refused) {
      EXPECT_EQ(bytes, original) << cases[i].what;
      continue;
    }
    ASSERT_TRUE(out.tcp()) << cases[i].what;
    EXPECT_TRUE(out.tcp()->rst() && out.tcp()->ack()) << cases[i].what;
    EXPECT_EQ(out.tcp()->ack_number(), 0x12345679u) << "acknowledges the SYN, so the connect fails at once";
    EXPECT_EQ(out.tcp()->dst_port(), 50001);
    EXPECT_TRUE(std::equal(bytes.begin() + 24, bytes.begin() + 40, original.begin() + 8)) << "back to the program";
    EXPECT_FALSE(out.info().outbound);
  }
}

TEST_F(LifecycleTest, ReceiveFailuresAreLoggedAndTheLoopGoesOn) {
  LogCapture logs(LOGGER_ENGINE);
  source.prepare = [](FakeDiverter& fake) { fake.fail_next_recv(DivertOsError(6, "bad handle")); };
  start_and_wait(config({entry(1)}));
  auto fake = source.wait_for(0);
  fake->push(Packet(build_ipv4_udp({1})));
  ASSERT_TRUE(fake->wait_for_sent(1, WAIT));
  EXPECT_TRUE(logs.contains_fragment(spdlog::level::err, "WinDivert 读取错误: "));
}

TEST_F(LifecycleTest, ApiHostAddressesAreExempted) {
  Json cfg = config({entry(1)});
  cfg["api_url"] = "http://127.0.0.9:8080/api/get_proxy?x=1";
  cfg["api_interval"] = 30;
  start_and_wait(cfg);
  EXPECT_EQ(inspect(*engine).api_ips(), std::set<std::string>{"127.0.0.9"});
  EXPECT_EQ(inspect(*engine).proxy_ips_all(), std::set<std::string>{"127.0.0.1"});
}

TEST_F(LifecycleTest, HotUpdateRestartsRelaysOnNewPortsAndResetsRoundRobin) {
  Json cfg = config({entry(1)});
  cfg["pid_mode"] = true;
  start_and_wait(cfg);
  const auto old_ports = engine->relay_ports();
  auto fake = source.wait_for(0);
  fake->push(tcp_packet("10.0.0.5", 50123, "93.184.216.34", 443, SYN, {}, 99));
  ASSERT_TRUE(fake->wait_for_sent(1, WAIT));
  EXPECT_EQ(inspect(*engine).next_relay_index(), 1);
  engine->hot_update_all_proxies(Json::array({entry(1), entry(2), entry(3)}));
  const auto new_ports = engine->relay_ports();
  ASSERT_EQ(new_ports.size(), 3u);
  for (int port : new_ports) EXPECT_NE(port, old_ports[0]);
  EXPECT_EQ(inspect(*engine).next_relay_index(), 0);
  EXPECT_TRUE(inspect(*engine).pid_relay_map().empty());
  EXPECT_EQ(recorder.statuses().back(), "API 刷新: 3个代理已更新");
}

// Deleting the last proxy while the engine runs must not leave it without a relay: new
// connections would go out directly.
TEST_F(LifecycleTest, HotUpdateToAnEmptyListKeepsTheRelaysAndSaysSo) {
  start_and_wait(config({entry(1)}));
  const auto ports = engine->relay_ports();
  auto fake = source.wait_for(0);
  for (const Json& empty : {Json::array(), Json::object()}) {
    engine->hot_update_all_proxies(empty);
    EXPECT_EQ(recorder.errors().back(), ERROR_EMPTY_HOT_UPDATE);
    EXPECT_EQ(engine->relay_ports(), ports);
  }
  fake->push(tcp_packet("10.0.0.5", 50123, "93.184.216.34", 443, SYN));
  ASSERT_TRUE(fake->wait_for_sent(1, WAIT));
  EXPECT_EQ(wire_of(fake->sent()[0]).dst_port, ports[0]);
}

// The relays' own connections to their proxies are the engine's: never diverted, whatever
// address the proxy's name gives them (here one the start never resolved).
TEST_F(LifecycleTest, TheEnginesOwnConnectionsAreNeverDiverted) {
  constexpr std::uint32_t OWN = 31337;
  remake([&](EngineOptions& o) { o.own_process_id = OWN; });
  queries->set_connections({connection(50200, OWN, "SYN_SENT")});
  start_and_wait(config({entry(1)}));
  auto fake = source.wait_for(0);
  fake->push(tcp_packet("10.0.0.5", 50100, "203.0.113.50", 1080, SYN, {}, OWN));
  fake->push(tcp_packet("10.0.0.5", 50200, "203.0.113.51", 1080, SYN));  // owner from the port map
  fake->push(tcp_packet("10.0.0.5", 50300, "203.0.113.52", 1080, SYN, {}, 99));
  ASSERT_TRUE(fake->wait_for_sent(3, WAIT));
  const auto sent = fake->sent();
  EXPECT_EQ(wire_of(sent[0]).dst, "203.0.113.50");
  EXPECT_EQ(wire_of(sent[1]).dst, "203.0.113.51");
  EXPECT_EQ(wire_of(sent[2]).dst_port, engine->relay_ports()[0]) << "another program's connection is diverted";
}

// A start that fails after its relays and the port monitor came up leaves nothing running.
TEST_F(LifecycleTest, AFailedStartReleasesEverythingItStarted) {
  queries->add_process(4242, "chrome.exe");
  int relay_port = 0;
  source.prepare = [&](FakeDiverter& fake) {
    relay_port = engine->relay_ports().at(0);
    EXPECT_TRUE(inspect(*engine).proc_watch().is_port_monitor_running());
    fake.fail_next_open(FakeDiverter::access_denied());
  };
  engine->start_engine(config({entry(1)}, {"chrome"}));
  ASSERT_TRUE(recorder.wait_for_status_count(STATUS_STOPPED, 1, WAIT));
  ASSERT_TRUE(wait_thread_end());
  EXPECT_EQ(recorder.errors(), std::vector<std::string>{TEXT_ACCESS_DENIED});
  EXPECT_TRUE(engine->relay_ports().empty());
  EXPECT_FALSE(inspect(*engine).proc_watch().is_port_monitor_running());
  EXPECT_FALSE(inspect(*engine).housekeeping_running());
  ASSERT_NE(relay_port, 0);
  EXPECT_THROW(connect_tcp("127.0.0.1", relay_port, WAIT), SocketError) << "the relay still listens";
}

// A stop sends each diverted application a reset through its relay. One the application cannot
// take (its window is closed while relay data is outstanding) leaves its socket alive: that
// connection stays held after diversion has closed until the system lists no socket for it.
TEST_F(LifecycleTest, AConnectionThatDidNotTakeItsResetStaysHeldUntilItsSocketIsGone) {
  remake([](EngineOptions& o) {
    o.stop_drain = 50ms;
    o.held_check_period = std::chrono::hours(1);  // the test looks itself
  });
  start_and_wait(config({entry(1)}));
  auto fake = source.wait_for(0);
  const int relay = engine->relay_ports()[0];
  fake->push(tcp_packet_numbered("10.0.0.5", 50123, "93.184.216.34", 443, SYN, 100, 0));
  fake->push(tcp_packet_numbered("127.0.0.1", relay, "127.0.0.2", 50123, SYN | ACK, 5000, 101));
  fake->push(tcp_packet_numbered("10.0.0.5", 50123, "93.184.216.34", 443, ACK, 101, 5001));
  // Relay data beyond the application's closed window, then the stop's reset after it.
  fake->push(tcp_packet_numbered("127.0.0.1", relay, "127.0.0.2", 50123, ACK | PSH, 5001, 101));
  ASSERT_TRUE(fake->wait_for_sent(4, WAIT));
  queries->set_connections({connection(50123, 4242)});
  std::thread stopper([&] { engine->stop_engine(); });
  ASSERT_TRUE(eventually([&] { return inspect(*engine).connections_awaiting_reset() == 1; }, WAIT));
  fake->push(tcp_packet_numbered("127.0.0.1", relay, "127.0.0.2", 50123, RST, 9001, 0));
  stopper.join();
  ASSERT_TRUE(wait_thread_end());
  const TcpTuple held{0x0A000005, 50123, 0x5DB8D822, 443};
  EXPECT_EQ(fake->held(), std::vector<TcpTuple>{held});
  inspect(*engine).check_held();
  EXPECT_EQ(fake->held(), std::vector<TcpTuple>{held}) << "its socket is still there";
  queries->set_connections({});
  inspect(*engine).check_held();
  EXPECT_TRUE(fake->held().empty());
}

// A stop resets the diverted connections through their relays and holds diversion until the
// application's socket has taken a reset it accepts; until then what the application sends
// goes to the relay port (whose answer is that reset), never out to its destination.
TEST_F(LifecycleTest, StopHoldsDiversionUntilTheApplicationTookAnAcceptedReset) {
  remake([](EngineOptions& o) { o.stop_drain = WAIT; });
  start_and_wait(config({entry(1)}));
  auto fake = source.wait_for(0);
  const int relay = engine->relay_ports()[0];
  const auto sent_after = [&](std::size_t count) {
    EXPECT_TRUE(fake->wait_for_sent(count, WAIT));
    EXPECT_TRUE(fake->wait_until_idle(WAIT));
    return wire_of(fake->sent().back());
  };
  fake->push(tcp_packet_numbered("10.0.0.5", 50123, "93.184.216.34", 443, SYN, 100, 0));
  EXPECT_EQ(sent_after(1).dst_port, relay);
  fake->push(tcp_packet_numbered("127.0.0.1", relay, "127.0.0.2", 50123, SYN | ACK, 5000, 101));
  EXPECT_EQ(sent_after(2).src, "93.184.216.34");

  std::thread stopper([&] { engine->stop_engine(); });
  ASSERT_TRUE(eventually([&] { return inspect(*engine).connections_awaiting_reset() == 1; }, WAIT));
  // A reset off the expected sequence number only draws an acknowledgement from the
  // application: it is passed on, and the wait goes on.
  fake->push(tcp_packet_numbered("127.0.0.1", relay, "127.0.0.2", 50123, RST, 7777, 0));
  const Wire off = sent_after(3);
  EXPECT_EQ(off.dst, "10.0.0.5");
  EXPECT_EQ(off.flags & RST, RST);
  EXPECT_EQ(inspect(*engine).connections_awaiting_reset(), 1u);
  // That acknowledgement goes to the relay port, although the connection has ended.
  fake->push(tcp_packet_numbered("10.0.0.5", 50123, "93.184.216.34", 443, ACK, 101, 5001));
  const Wire answer = sent_after(4);
  EXPECT_EQ(answer.dst, "127.0.0.1");
  EXPECT_EQ(answer.dst_port, relay);
  EXPECT_EQ(inspect(*engine).connections_awaiting_reset(), 1u);
  // The relay port's reset carries the number the application acknowledged: accepted.
  fake->push(tcp_packet_numbered("127.0.0.1", relay, "127.0.0.2", 50123, RST, 5001, 0));
  stopper.join();
  // The stop ends only after the accepted reset went out to the application.
  const auto sent = fake->sent();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(wire_of(sent[4]).dst, "10.0.0.5");
  EXPECT_EQ(inspect(*engine).connections_awaiting_reset(), 0u);
  ASSERT_TRUE(wait_thread_end());
  EXPECT_FALSE(fake->is_open());
}

TEST_F(LifecycleTest, StopDoesNotWaitForConnectionsThatHadAlreadyEnded) {
  remake([](EngineOptions& o) { o.stop_drain = std::chrono::hours(1); });
  start_and_wait(config({entry(1)}));
  auto fake = source.wait_for(0);
  const int relay = engine->relay_ports()[0];
  fake->push(tcp_packet_numbered("10.0.0.5", 50123, "93.184.216.34", 443, SYN, 100, 0));
  fake->push(tcp_packet_numbered("10.0.0.5", 50123, "93.184.216.34", 443, RST, 101, 0));
  fake->push(tcp_packet_numbered("10.0.0.6", 50124, "93.184.216.34", 443, SYN, 100, 0));
  fake->push(tcp_packet_numbered("127.0.0.1", relay, "127.0.0.2", 50124, RST | ACK, 0, 101));
  ASSERT_TRUE(fake->wait_for_sent(4, WAIT));
  ASSERT_TRUE(fake->wait_until_idle(WAIT));
  engine->stop_engine();  // would wait an hour for either
  EXPECT_EQ(inspect(*engine).connections_awaiting_reset(), 0u);
}

}  // namespace
}  // namespace tovix
