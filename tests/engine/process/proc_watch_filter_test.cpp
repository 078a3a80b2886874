// The process filter and the port map against scripted process queries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/logging.h"
#include "engine/process/proc_watch.h"
#include "tests/engine/process/process_queries_fake.h"
#include "tests/support/log_capture.h"

namespace tovix {
namespace {

using testing::connection;
using ::testing::ElementsAre;
using testing::FakeProcessQueries;
using ::testing::IsEmpty;
using testing::LogCapture;
using ::testing::UnorderedElementsAre;

class ProcWatchFilterTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeProcessQueries> queries = std::make_shared<FakeProcessQueries>();
  ProcWatch watch{queries};
  LogCapture log{LOGGER_ENGINE};
};

TEST(ProcessNameTest, NormalizationLowerCasesAndAddsExe) {
  EXPECT_EQ(normalize_process_name("Chrome"), "chrome.exe");
  EXPECT_EQ(normalize_process_name("CHROME.EXE"), "chrome.exe");
  EXPECT_EQ(normalize_process_name("my.app"), "my.app.exe");
  EXPECT_EQ(normalize_process_name("微信"), "微信.exe");
  EXPECT_EQ(normalize_process_name(""), ".exe");
}

TEST_F(ProcWatchFilterTest, EmptyNameListMeansGlobalProxyWithoutAnyQuery) {
  EXPECT_EQ(watch.build_filter_expression({}), "(tcp and (outbound or loopback)) or (udp and outbound and !loopback)");
  EXPECT_THAT(watch.target_pids(), IsEmpty());
  EXPECT_EQ(watch.pid_lookup_details(), Json::object());
  EXPECT_TRUE(watch.is_packet_allowed(1234));
  EXPECT_TRUE(watch.is_packet_allowed(0, 5555, true));
  EXPECT_EQ(queries->tcp_calls(), 0u);
  EXPECT_EQ(queries->image_name_calls(), 0u);
}

TEST_F(ProcWatchFilterTest, NamesMatchWholeImageNamesIgnoringCase) {
  queries->add_process(10, "chrome.exe");
  queries->add_process(11, "CHROME.EXE");
  queries->add_process(12, "chrome_proxy.exe");
  queries->add_process(13, "chrome");      // a Linux program's image name has no suffix
  queries->add_process(14, std::nullopt);  // access denied
  queries->add_process(15, "xchrome.exe");
  EXPECT_THAT(ProcWatch::get_pid_by_name("Chrome", *queries), ElementsAre(10, 11, 13));
  EXPECT_THAT(ProcWatch::get_pid_by_name("chrome.exe", *queries), ElementsAre(10, 11, 13));
  EXPECT_THAT(ProcWatch::get_pid_by_name("chrome_proxy", *queries), ElementsAre(12));
  EXPECT_THAT(ProcWatch::get_pid_by_name("hrome", *queries), IsEmpty());
  EXPECT_EQ(queries->last_detail(), ProcessDetail::name_only);
}

TEST_F(ProcWatchFilterTest, EnumerationFailureKeepsThePidsFoundSoFar) {
  queries->add_process(10, "chrome.exe");
  queries->add_process(11, "chrome.exe");
  queries->fail_enumeration_after(1, "snapshot failed");
  EXPECT_THAT(ProcWatch::get_pid_by_name("chrome", *queries), ElementsAre(10));
  EXPECT_TRUE(log.contains(spdlog::level::warn, "获取进程 PID 异常: snapshot failed"));
}

TEST_F(ProcWatchFilterTest, NothingRunningFallsBackToGlobalProxy) {
  EXPECT_EQ(watch.build_filter_expression({"ghost", "Phantom.exe"}),
            "(tcp and (outbound or loopback)) or (udp and outbound and !loopback)");
  EXPECT_EQ(watch.pid_lookup_details(), Json::parse(R"({"ghost":"未运行","Phantom.exe":"未运行"})"));
  EXPECT_TRUE(log.contains(spdlog::level::warn,
                           R"(所有指定进程均未在运行，降级为全局代理: {"ghost":"未运行","Phantom.exe":"未运行"})"));
  EXPECT_THAT(watch.target_pids(), IsEmpty());
  EXPECT_THAT(watch.process_names(), IsEmpty());
  EXPECT_TRUE(watch.is_packet_allowed(99, 1000));
}

TEST_F(ProcWatchFilterTest, BuildRecordsEveryNameAndTargetsTheFoundPids) {
  queries->add_process(10, "chrome.exe");
  queries->add_process(11, "chrome.exe");
  queries->add_process(20, "curl.exe");
  watch.build_filter_expression({"Chrome", "ghost", "curl"});
  EXPECT_EQ(watch.pid_lookup_details().dump(), R"({"Chrome":[10,11],"ghost":"未运行","curl":[20]})");
  EXPECT_THAT(watch.target_pids(), UnorderedElementsAre(10, 11, 20));
  EXPECT_THAT(watch.process_names(), ElementsAre("Chrome", "ghost", "curl"));
  EXPECT_FALSE(log.contains_fragment(spdlog::level::warn, "降级为全局代理"));

  // A later build replaces everything, also with the global fallback.
  watch.build_filter_expression({});
  EXPECT_THAT(watch.target_pids(), IsEmpty());
  EXPECT_EQ(watch.pid_lookup_details(), Json::object());
}

TEST_F(ProcWatchFilterTest, PacketsAreJudgedByTheirPidOrTheirPortsOwner) {
  queries->add_process(10, "chrome.exe");
  queries->add_process(30, "other.exe");
  queries->set_connections({connection(4000, 10), connection(4001, 30)});
  watch.build_filter_expression({"chrome"});

  EXPECT_TRUE(watch.is_packet_allowed(10));
  EXPECT_FALSE(watch.is_packet_allowed(30));
  EXPECT_FALSE(watch.is_packet_allowed(0, 4000)) << "port not mapped yet and no spin";
  EXPECT_EQ(queries->tcp_calls(), 0u);

  watch.refresh_now();
  EXPECT_TRUE(watch.is_packet_allowed(0, 4000));
  EXPECT_FALSE(watch.is_packet_allowed(0, 4001));
  EXPECT_FALSE(watch.is_packet_allowed(0, 4002));
  EXPECT_TRUE(watch.is_packet_allowed(10, 4001)) << "the packet's own PID comes first";
}

TEST_F(ProcWatchFilterTest, SpinFindsAPortTheTableListsButTheMapDoesNotHoldYet) {
  queries->add_process(10, "chrome.exe");
  watch.build_filter_expression({"chrome"});
  watch.refresh_now();
  queries->set_connections({connection(4100, 10, "SYN_SENT")});

  EXPECT_EQ(watch.get_pid_by_src_port(4100), 0u);
  EXPECT_EQ(watch.get_pid_by_src_port(4100, true), 10u);
  EXPECT_EQ(watch.get_pid_by_src_port(4101, true), 0u);

  queries->set_connections({connection(4100, 10), connection(4200, 10, "SYN_SENT")});
  EXPECT_TRUE(watch.is_packet_allowed(0, 4200, true));
}

TEST_F(ProcWatchFilterTest, ASharedLocalPortIsJudgedByTheSocketThatIsConnecting) {
  queries->add_process(10, "chrome.exe");
  queries->add_process(20, "other.exe");
  watch.build_filter_expression({"chrome"});
  queries->set_connections({connection(4400, 20)});
  watch.refresh_now();

  // The chosen program connects from the port another program's connection already uses.
  queries->set_connections({connection(4400, 20), connection(4400, 10, "SYN_SENT")});
  const auto calls = queries->tcp_calls();
  EXPECT_FALSE(watch.is_packet_allowed(0, 4400)) << "without a SYN the map's word stands";
  EXPECT_EQ(queries->tcp_calls(), calls);
  EXPECT_TRUE(watch.is_packet_allowed(0, 4400, true));
  EXPECT_EQ(watch.get_pid_by_src_port(4400), 10u);

  queries->set_connections({connection(4500, 20, "SYN_SENT")});
  watch.refresh_now();
  EXPECT_FALSE(watch.is_packet_allowed(0, 4500, true)) << "looked at again, still the other program";
  EXPECT_EQ(queries->tcp_calls(), calls + 3);
}

TEST_F(ProcWatchFilterTest, ANewConnectionIsJudgedByItsOwnSocketWhereTheSystemCanLookItUp) {
  queries->add_process(10, "chrome.exe");
  queries->add_process(20, "other.exe");
  watch.build_filter_expression({"chrome"});
  // Another program's older connection holds the port the chosen one now connects from.
  queries->set_connections({connection(4400, 20)});
  watch.refresh_now();
  constexpr std::uint32_t local = 0x0A000005, server = 0x5DB8D822;
  queries->set_socket_owner({local, 4400, server, 443}, 10);
  queries->set_socket_owner({local, 4401, server, 443}, 20);
  const auto calls = queries->tcp_calls();

  auto judged = watch.judge_new_connection(0, local, 4400, server, 443);
  EXPECT_EQ(judged.owner, 10u);
  EXPECT_TRUE(judged.chosen);
  judged = watch.judge_new_connection(0, local, 4401, server, 443);
  EXPECT_EQ(judged.owner, 20u);
  EXPECT_FALSE(judged.chosen);
  EXPECT_EQ(queries->tcp_calls(), calls) << "no listing of every connection";

  // A PID the diversion layer gave is taken as it is.
  const auto lookups = queries->socket_lookups();
  judged = watch.judge_new_connection(20, local, 4400, server, 443);
  EXPECT_EQ(judged.owner, 20u);
  EXPECT_FALSE(judged.chosen);
  EXPECT_EQ(queries->socket_lookups(), lookups);
}

TEST_F(ProcWatchFilterTest, ANewConnectionWhoseSocketTellsNoOwnerIsLookedUpByItsPort) {
  queries->add_process(10, "chrome.exe");
  watch.build_filter_expression({"chrome"});
  constexpr std::uint32_t local = 0x0A000005, server = 0x5DB8D822;

  // The system cannot look one socket up, the socket has no owner we can see, the look-up fails:
  // each time the port's owner in a fresh listing decides, as it did before there was a look-up.
  for (std::uint16_t round = 0; round < 3; ++round) {
    if (round == 1) queries->set_socket_owner({local, 9999, server, 443}, 10);
    if (round == 2) queries->fail_socket_lookup("sock_diag: permission denied");
    const auto port = static_cast<std::uint16_t>(4600 + round);
    queries->set_connections({connection(port, 10, "SYN_SENT")});
    const auto calls = queries->tcp_calls();
    const auto judged = watch.judge_new_connection(0, local, port, server, 443);
    EXPECT_EQ(judged.owner, 10u) << round;
    EXPECT_TRUE(judged.chosen) << round;
    EXPECT_GT(queries->tcp_calls(), calls) << round;
  }
}

TEST_F(ProcWatchFilterTest, LateStartedChosenProcessJoinsTheTargets) {
  queries->add_process(10, "chrome.exe");
  watch.build_filter_expression({"Chrome", "curl"});

  queries->add_process(40, "Chrome.exe");
  EXPECT_TRUE(watch.is_packet_allowed(40));
  EXPECT_THAT(watch.target_pids(), UnorderedElementsAre(10, 40));
  const auto calls = queries->image_name_calls();
  EXPECT_TRUE(watch.is_packet_allowed(40));
  EXPECT_EQ(queries->image_name_calls(), calls) << "a joined PID is a plain set hit";

  queries->add_process(41, "curl");
  queries->set_connections({connection(4300, 41)});
  EXPECT_TRUE(watch.is_packet_allowed(0, 4300, true)) << "joins through its port as well";
  EXPECT_THAT(watch.target_pids(), UnorderedElementsAre(10, 40, 41));
}

TEST_F(ProcWatchFilterTest, UnreadableOrVanishedProcessIsRefusedButLookedAtAgain) {
  queries->add_process(10, "chrome.exe");
  queries->add_process(50, std::nullopt);
  watch.build_filter_expression({"chrome"});

  EXPECT_FALSE(watch.is_packet_allowed(50));
  EXPECT_FALSE(watch.is_packet_allowed(60));
  // Not remembered as refused: once readable (or a new process under that PID) it may join.
  queries->remove_process(50);
  queries->add_process(50, "chrome.exe");
  queries->add_process(60, "chrome.exe");
  EXPECT_TRUE(watch.is_packet_allowed(50));
  EXPECT_TRUE(watch.is_packet_allowed(60));
}

TEST_F(ProcWatchFilterTest, OtherProcessesAreNotQueriedOnEveryPacket) {
  queries->add_process(10, "chrome.exe");
  queries->add_process(30, "other.exe");
  watch.build_filter_expression({"chrome"});
  EXPECT_FALSE(watch.is_packet_allowed(30));
  const auto calls = queries->image_name_calls();
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(watch.is_packet_allowed(30));
  EXPECT_EQ(queries->image_name_calls(), calls);

  // A new build forgets what was refused.
  queries->remove_process(30);
  queries->add_process(30, "chrome.exe");
  watch.build_filter_expression({"chrome"});
  EXPECT_TRUE(watch.is_packet_allowed(30));
}

TEST_F(ProcWatchFilterTest, RefreshKeepsTheFirstOwnerOfTrackedStatesOnly) {
  TcpConnection no_address{std::nullopt, "ESTABLISHED", 9};
  queries->set_connections({
      connection(5000, 1),
      connection(5000, 2),
      connection(5001, 3, "LISTEN"),
      connection(5002, 4, "FIN_WAIT1"),
      connection(5003, 0, "TIME_WAIT"),
      connection(5004, 5, "TIME_WAIT"),
      connection(5005, 6, "CLOSE_WAIT"),
      connection(5006, 7, "SYN_RECV"),
      connection(5007, 8, "SYN_SENT"),
      connection(5008, 10),
      connection(5008, 11, "SYN_SENT"),
      connection(5008, 12, "SYN_SENT"),
      no_address,
  });
  EXPECT_EQ(watch._do_refresh(), 6u);
  EXPECT_EQ(watch.tcp_port_map(),
            (ProcWatch::PortMap{{5000, 1}, {5004, 5}, {5005, 6}, {5006, 7}, {5007, 8}, {5008, 11}}))
      << "a connecting socket takes a shared port";

  queries->set_connections({connection(6000, 1)});
  EXPECT_EQ(watch._do_refresh(), 1u);
  EXPECT_EQ(watch.tcp_port_map(), (ProcWatch::PortMap{{6000, 1}})) << "replaced whole";
}

TEST_F(ProcWatchFilterTest, FailedRefreshKeepsThePreviousMap) {
  queries->set_connections({connection(7000, 1)});
  watch.refresh_now();
  queries->fail_connections("table unavailable");
  EXPECT_EQ(watch._do_refresh(), 0u);
  EXPECT_EQ(watch.tcp_port_map(), (ProcWatch::PortMap{{7000, 1}}));
  EXPECT_TRUE(log.contains(spdlog::level::debug, "刷新 TCP 端口映射异常: table unavailable"));
}

}  // namespace
}  // namespace tovix
