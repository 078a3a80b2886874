// start_engine / the thread body / stop_engine with FakeDiverter: status and error
// texts, the open failures, the loop's handling of IPv6 and failing packets, stop then start.
#include <gtest/gtest.h>

#include <thread>

#include "common/logging.h"
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
    EngineOptions options;
    options.diverter_factory = source.factory();
    options.process_queries = queries;
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
  const std::string status = start_and_wait(config({entry(1), entry(2)}));
  const auto ports = engine->relay_ports();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_NE(ports[0], ports[1]);
  EXPECT_EQ(status, "代理已启?| 全局代理 | 2IP轮询 | 中继:" + joined(ports));
  auto fake = source.wait_for(0);
  ASSERT_TRUE(fake);
  EXPECT_EQ(fake->opened_filters(), std::vector<std::string>{"tcp and (outbound or loopback)"});
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

TEST_F(LifecycleTest, LoopDropsIpv6AndReinjectsAFailedPacket) {
  start_and_wait(config({entry(1)}));
  auto fake = source.wait_for(0);
  fake->push(Packet(build_ipv6_tcp()));
  // The handler's own send fails: the loop re-injects the packet in the state it reached.
  fake->fail_next_send(DivertOsError(1232, "unreachable"));
  fake->push(tcp_packet("10.0.0.5", 50123, "93.184.216.34", 443, SYN));
  fake->push(Packet(build_ipv4_udp({9})));
  ASSERT_TRUE(fake->wait_for_sent(2, WAIT));
  ASSERT_TRUE(fake->wait_until_idle(WAIT));
  const auto sent = fake->sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].ip_version(), 4);
  const Wire rescued = wire_of(sent[0]);
  EXPECT_EQ(rescued.dst_port, engine->relay_ports()[0]);
  EXPECT_TRUE(rescued.checksums_right);
  EXPECT_FALSE(sent[1].tcp().has_value());  // the UDP packet, passed
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

// A stop resets the diverted connections through their relays and holds diversion until the
// application's socket has taken a reset it accepts; until then what the application sends
// goes to the relay port (whose answer is that reset), never out to its destination.
TEST_F(LifecycleTest, StopHoldsDiversionUntilTheApplicationTookAnAcceptedReset) {
  EngineOptions options;
  options.diverter_factory = source.factory();
  options.process_queries = queries;
  options.stop_drain = WAIT;
  engine = std::make_unique<TunnelEngine>(options);
  recorder.attach(*engine);
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
  EngineOptions options;
  options.diverter_factory = source.factory();
  options.process_queries = queries;
  options.stop_drain = std::chrono::hours(1);
  engine = std::make_unique<TunnelEngine>(options);
  recorder.attach(*engine);
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
