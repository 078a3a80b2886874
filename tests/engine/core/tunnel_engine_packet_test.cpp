// _handle_packet on packets built byte by byte, with relay ports installed by hand
// and a FakeDiverter opened by the test: no thread, no relay, no network.
#include <gtest/gtest.h>

#include "engine/core/tunnel_engine.h"
#include "tests/engine/core/engine_test_support.h"
#include "tests/engine/core/tunnel_engine_probe.h"
#include "tests/engine/process/process_queries_fake.h"

namespace tovix {
namespace {

using namespace tovix::testing;
using Json = nlohmann::ordered_json;

constexpr const char* CLIENT = "10.0.0.5";
constexpr const char* DEST = "93.184.216.34";

class PacketTest : public ::testing::Test {
 protected:
  PacketTest() {
    queries = std::make_shared<FakeProcessQueries>();
    EngineOptions options;
    options.diverter_factory = [] { return std::make_unique<FakeDiverter>(); };
    options.process_queries = queries;
    options.clock = clock.clock();
    options.steady_clock = steady.clock();
    engine = std::make_unique<TunnelEngine>(options);
    diverter.open("test");
  }

  // Relays on made-up ports; the packet path never talks to them.
  void install(std::vector<int> ports, pool::SpreadMode mode = pool::SpreadMode::first_available,
               std::set<std::string> api = {}, std::set<std::string> proxies = {}, Json config = {}) {
    std::vector<RelaySlot> slots;
    for (int port : ports)
      slots.push_back({nullptr, port, Json{{"type", "socks5"}, {"host", "198.51.100.1"}, {"port", 1080}}});
    inspect(*engine).install(std::move(slots), std::move(api), std::move(proxies), mode, std::move(config));
  }

  // Handles one packet; what it sent (nothing when it was dropped).
  std::optional<Wire> handle(Packet packet) {
    const std::size_t before = diverter.sent().size();
    inspect(*engine).handle_packet(packet, diverter);
    const auto sent = diverter.sent();
    EXPECT_LE(sent.size(), before + 1) << "a packet was sent more than once";
    if (sent.size() == before) return std::nullopt;
    return wire_of(sent.back());
  }

  std::shared_ptr<FakeProcessQueries> queries;
  ManualClock clock;      // wall clock
  ManualClock steady{0};  // monotonic
  std::unique_ptr<TunnelEngine> engine;
  FakeDiverter diverter;
};

TEST_F(PacketTest, APacketNeitherTcpNorUdpIsPassedUnchanged) {
  install({40001});
  std::vector<std::uint8_t> bytes = build_ipv4_udp({1, 2, 3});
  bytes[9] = 1;  // ICMP
  Packet other(bytes);
  const auto original = std::vector<std::uint8_t>(other.bytes().begin(), other.bytes().end());
  inspect(*engine).handle_packet(other, diverter);
  ASSERT_EQ(diverter.sent().size(), 1u);
  const auto sent = diverter.sent()[0];
  EXPECT_EQ(std::vector<std::uint8_t>(sent.bytes().begin() + 12, sent.bytes().begin() + 20),
            std::vector<std::uint8_t>(original.begin() + 12, original.begin() + 20));
  EXPECT_EQ(inspect(*engine).nat_table()->size(), 0u);
}

TEST_F(PacketTest, SynGoesToTheFirstRelayWithItsEntryRecorded) {
  install({40001, 40002});
  clock.set(5000.5);
  auto out = handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->src, FAKE_SRC_IP);
  EXPECT_EQ(out->src_port, 50123);
  EXPECT_EQ(out->dst, "127.0.0.1");
  EXPECT_EQ(out->dst_port, 40001);
  EXPECT_EQ(out->flags, SYN);
  EXPECT_TRUE(out->checksums_right);
  EXPECT_EQ(inspect(*engine).nat_table()->get(50123), (NatEntry{CLIENT, DEST, 443, 5000.5, 0}));
  // Without PID mode every connection uses relay 0.
  out = handle(tcp_packet(CLIENT, 50124, DEST, 80, SYN));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->dst_port, 40001);
  EXPECT_EQ(inspect(*engine).nat_table()->get(50124)->relay_index, 0);
}

TEST_F(PacketTest, WholeWireRewriteBothWays) {
  install({40001});
  ASSERT_TRUE(handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN)));
  // The relay's SYN-ACK comes back as the destination's.
  auto back = handle(tcp_packet("127.0.0.1", 40001, FAKE_SRC_IP, 50123, SYN | ACK));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->src, DEST);
  EXPECT_EQ(back->src_port, 443);
  EXPECT_EQ(back->dst, CLIENT);
  EXPECT_EQ(back->dst_port, 50123);
  EXPECT_TRUE(back->checksums_right);
  // The client's next segment goes the same way as its SYN.
  auto next = handle(tcp_packet(CLIENT, 50123, DEST, 443, ACK | PSH, "GET / HTTP/1.1\r\n"));
  ASSERT_TRUE(next);
  EXPECT_EQ(next->src, FAKE_SRC_IP);
  EXPECT_EQ(next->dst, "127.0.0.1");
  EXPECT_EQ(next->dst_port, 40001);
  EXPECT_EQ(next->src_port, 50123);
  EXPECT_EQ(next->payload, "GET / HTTP/1.1\r\n");
  EXPECT_TRUE(next->checksums_right);
  auto data = handle(tcp_packet("127.0.0.1", 40001, FAKE_SRC_IP, 50123, ACK | PSH, "HTTP/1.1 200 OK\r\n"));
  ASSERT_TRUE(data);
  EXPECT_EQ(data->src, DEST);
  EXPECT_EQ(data->payload, "HTTP/1.1 200 OK\r\n");
  EXPECT_TRUE(data->checksums_right);
}

TEST_F(PacketTest, PidModeRoundRobinAndStickiness) {
  install({40001, 40002, 40003}, pool::SpreadMode::per_program);
  const int expected[] = {40001, 40002, 40003, 40001};
  for (int i = 0; i < 4; ++i) {
    auto out = handle(tcp_packet(CLIENT, 50000 + i, DEST, 443, SYN, {}, 100 + static_cast<std::uint32_t>(i)));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->dst_port, expected[i]) << "process " << i;
  }
  // A later connection of the first process keeps its relay.
  auto again = handle(tcp_packet(CLIENT, 50010, DEST, 443, SYN, {}, 100));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->dst_port, 40001);
  EXPECT_EQ(inspect(*engine).pid_relay_map(), (std::map<std::uint32_t, int>{{100, 0}, {101, 1}, {102, 2}, {103, 0}}));
  EXPECT_EQ(inspect(*engine).next_relay_index(), 1);
}

TEST_F(PacketTest, PidModeWithoutProcessIdAdvancesTheCounterOnly) {
  install({40001, 40002}, pool::SpreadMode::per_program);
  EXPECT_EQ(handle(tcp_packet(CLIENT, 50000, DEST, 443, SYN))->dst_port, 40001);
  EXPECT_EQ(handle(tcp_packet(CLIENT, 50001, DEST, 443, SYN))->dst_port, 40002);
  EXPECT_EQ(handle(tcp_packet(CLIENT, 50002, DEST, 443, SYN))->dst_port, 40001);
  EXPECT_TRUE(inspect(*engine).pid_relay_map().empty());
  EXPECT_EQ(inspect(*engine).next_relay_index(), 1);
}

TEST_F(PacketTest, SynAckIsNoNewConnection) {
  install({40001});
  auto out = handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN | ACK));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->dst, DEST);
  EXPECT_EQ(out->dst_port, 443);
  EXPECT_EQ(inspect(*engine).nat_table()->size(), 0u);
}

TEST_F(PacketTest, ApiAndProxyAddressesPassUntouched) {
  const Json config{{"proxy_list", Json::array({Json{{"host", "198.51.100.1"}, {"port", 1080}}})}};
  install({40001}, pool::SpreadMode::first_available, {"203.0.113.9"}, {"198.51.100.1"}, config);
  auto api = handle(tcp_packet(CLIENT, 50123, "203.0.113.9", 443, SYN));
  ASSERT_TRUE(api);
  EXPECT_EQ(api->dst, "203.0.113.9");
  auto api_reply = handle(tcp_packet("203.0.113.9", 443, CLIENT, 50123, ACK));
  ASSERT_TRUE(api_reply);
  EXPECT_EQ(api_reply->src, "203.0.113.9");
  // The relays' own connection to the proxy, both ways.
  auto to_proxy = handle(tcp_packet(CLIENT, 50200, "198.51.100.1", 1080, SYN));
  ASSERT_TRUE(to_proxy);
  EXPECT_EQ(to_proxy->dst, "198.51.100.1");
  EXPECT_EQ(to_proxy->dst_port, 1080);
  EXPECT_TRUE(inspect(*engine).is_proxy_traffic(tcp_packet("198.51.100.1", 1080, CLIENT, 50200, ACK)));
  // The proxy's address on another port is ordinary traffic.
  EXPECT_FALSE(inspect(*engine).is_proxy_traffic(tcp_packet(CLIENT, 50201, "198.51.100.1", 443, SYN)));
  EXPECT_EQ(handle(tcp_packet(CLIENT, 50201, "198.51.100.1", 443, SYN))->dst_port, 40001);
  EXPECT_EQ(inspect(*engine).nat_table()->size(), 1u);
}

TEST_F(PacketTest, LoopbackSourceThatIsNoKnownReplyPassesUnchanged) {
  install({40001});
  auto unknown = handle(tcp_packet("127.0.0.1", 40001, FAKE_SRC_IP, 50999, ACK));
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->src, "127.0.0.1");
  EXPECT_EQ(unknown->dst, FAKE_SRC_IP);
  auto local = handle(tcp_packet("127.0.0.1", 5555, "127.0.0.1", 6666, SYN));
  ASSERT_TRUE(local);
  EXPECT_EQ(local->dst_port, 6666);
  EXPECT_EQ(inspect(*engine).nat_table()->size(), 0u);
}

TEST_F(PacketTest, ClientFinKeepsTheEntryUntilTheRelaySideHasEnded) {
  install({40001});
  ASSERT_TRUE(handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN)));
  auto fin = handle(tcp_packet(CLIENT, 50123, DEST, 443, FIN | ACK));
  ASSERT_TRUE(fin);
  EXPECT_EQ(fin->dst_port, 40001);
  EXPECT_EQ(fin->flags, FIN | ACK);
  // Half closed: the answer, the relay's FIN and the client's last ACK still find their way.
  ASSERT_TRUE(inspect(*engine).nat_table()->contains(50123));
  EXPECT_EQ(handle(tcp_packet("127.0.0.1", 40001, FAKE_SRC_IP, 50123, ACK | PSH, "answer"))->src, DEST);
  EXPECT_EQ(handle(tcp_packet("127.0.0.1", 40001, FAKE_SRC_IP, 50123, FIN | ACK))->dst, CLIENT);
  EXPECT_EQ(handle(tcp_packet(CLIENT, 50123, DEST, 443, ACK))->dst_port, 40001);
  // The relay's connection end removes the entry; while the relay runs, its own socket
  // answers what comes later.
  inspect(*engine).nat_table()->remove(50123);
  EXPECT_EQ(handle(tcp_packet(CLIENT, 50123, DEST, 443, ACK))->dst_port, 40001);
  EXPECT_EQ(inspect(*engine).ended_connection_count(), 1u);
  // The relay's retransmitted FIN still reaches the application.
  EXPECT_EQ(handle(tcp_packet("127.0.0.1", 40001, FAKE_SRC_IP, 50123, FIN | ACK))->dst, CLIENT);
}

TEST_F(PacketTest, RstEndsTheConnectionAndANewSynStartsAfresh) {
  install({40001});
  ASSERT_TRUE(handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN)));
  auto rst = handle(tcp_packet(CLIENT, 50123, DEST, 443, RST | ACK));
  ASSERT_TRUE(rst);
  EXPECT_EQ(rst->dst_port, 40001);
  EXPECT_FALSE(inspect(*engine).nat_table()->contains(50123));
  // Another destination on the same port is another connection: not ours, passed.
  EXPECT_EQ(handle(tcp_packet(CLIENT, 50123, "198.51.100.77", 443, ACK))->dst, "198.51.100.77");
  // A new SYN on the port starts afresh.
  EXPECT_EQ(handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN))->dst_port, 40001);
  EXPECT_TRUE(inspect(*engine).nat_table()->contains(50123));
  EXPECT_EQ(handle(tcp_packet(CLIENT, 50123, DEST, 443, ACK))->dst_port, 40001);
}

// Two connections forced onto one local port towards different destinations: each gets a relay
// connection of its own, the second under a stand-in port, and nothing of either leaves as it was.
TEST_F(PacketTest, TwoConnectionsOnOneLocalPortAreCarriedApart) {
  install({40001});
  constexpr const char* OTHER = "198.51.100.77";
  const auto first = handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN));
  const auto second = handle(tcp_packet(CLIENT, 50123, OTHER, 80, SYN));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->src_port, 50123);
  EXPECT_NE(second->src_port, 50123);
  const int stand_in = second->src_port;
  EXPECT_EQ(inspect(*engine).nat_table()->get(50123)->original_dst_ip, DEST);
  EXPECT_EQ(inspect(*engine).nat_table()->get(stand_in)->original_dst_ip, OTHER);
  // Both keep going to the relay, each under its own key, and back to the same local port.
  for (int round = 0; round < 2; ++round) {
    const auto a = handle(tcp_packet(CLIENT, 50123, DEST, 443, ACK | PSH, "a"));
    const auto b = handle(tcp_packet(CLIENT, 50123, OTHER, 80, ACK | PSH, "b"));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(std::make_tuple(a->dst, a->dst_port, a->src_port), std::make_tuple("127.0.0.1", 40001, 50123));
    EXPECT_EQ(std::make_tuple(b->dst, b->dst_port, b->src_port), std::make_tuple("127.0.0.1", 40001, stand_in));
    const auto reply_a = handle(tcp_packet("127.0.0.1", 40001, FAKE_SRC_IP, 50123, ACK, "A"));
    const auto reply_b = handle(tcp_packet("127.0.0.1", 40001, FAKE_SRC_IP, stand_in, ACK, "B"));
    ASSERT_TRUE(reply_a && reply_b);
    EXPECT_EQ(std::make_tuple(reply_a->src, reply_a->src_port, reply_a->dst, reply_a->dst_port),
              std::make_tuple(DEST, 443, CLIENT, 50123));
    EXPECT_EQ(std::make_tuple(reply_b->src, reply_b->src_port, reply_b->dst, reply_b->dst_port),
              std::make_tuple(OTHER, 80, CLIENT, 50123));
    EXPECT_TRUE(reply_b->checksums_right);
  }
  // A retransmitted SYN keeps its connection's key.
  EXPECT_EQ(handle(tcp_packet(CLIENT, 50123, OTHER, 80, SYN))->src_port, stand_in);
}

// Where the system carries a diverted connection itself, the engine sees only its SYN; what it
// needs a stand-in port for still goes the rewritten way, and once ended the connection's
// stray segments go to the relay port, never out.
TEST_F(PacketTest, ASystemCarriedConnectionNeedsOnlyItsSyn) {
  inspect(*engine).set_running(true);
  diverter.carry_to_relays(true);
  install({40001});
  clock.set(7000.0);
  EXPECT_FALSE(handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN))) << "the SYN's verdict was the system's";
  EXPECT_EQ(diverter.carried(), std::vector<int>{40001});
  EXPECT_EQ(inspect(*engine).nat_table()->get(50123), (NatEntry{CLIENT, DEST, 443, 7000.0, 0}));
  // A retransmitted SYN is carried the same way.
  EXPECT_FALSE(handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN)));
  EXPECT_EQ(diverter.carried().size(), 2u);
  // A stray segment while it lives goes on to the system, whose redirect holds for it.
  const auto stray = handle(tcp_packet(CLIENT, 50123, DEST, 443, ACK | PSH, "x"));
  ASSERT_TRUE(stray);
  EXPECT_EQ(std::make_tuple(stray->dst, stray->dst_port), std::make_tuple(DEST, 443));

  constexpr const char* OTHER = "198.51.100.77";
  const auto shared = handle(tcp_packet(CLIENT, 50123, OTHER, 80, SYN));
  ASSERT_TRUE(shared) << "a stand-in port needs the rewrite";
  EXPECT_EQ(std::make_tuple(shared->dst, shared->dst_port), std::make_tuple("127.0.0.1", 40001));
  EXPECT_NE(shared->src_port, 50123);
  EXPECT_EQ(diverter.carried().size(), 2u);

  // A stop waits only for the reset it must translate; both connections stay held.
  EXPECT_EQ(inspect(*engine).flows().expect_resets(), 1u);
  EXPECT_EQ(inspect(*engine).flows().unconfirmed().size(), 2u);

  // The relay ended the carried one: its late segment goes to the relay port.
  inspect(*engine).nat_table()->remove(50123);
  const auto late = handle(tcp_packet(CLIENT, 50123, DEST, 443, ACK | PSH, "y"));
  ASSERT_TRUE(late);
  EXPECT_EQ(std::make_tuple(late->dst, late->dst_port), std::make_tuple("127.0.0.1", 40001));
  steady.advance(500);
  inspect(*engine).cleanup_nat_table();
  EXPECT_EQ(inspect(*engine).flows().size(), 1u) << "the ended carried one is forgotten";
}

// A connection the engine diverted is never let out, whatever became of it and however long
// ago: while its relay runs, the relay's own socket answers; once nothing carries it, the
// engine answers with a reset carrying the number the application acknowledged.
TEST_F(PacketTest, LateSegmentsAreAnsweredNeverPassed) {
  inspect(*engine).set_running(true);
  install({40001});
  ASSERT_TRUE(handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN)));
  // The relay gave up (its proxy refused): the entry is gone, the relay still runs.
  inspect(*engine).nat_table()->remove(50123);
  auto late = handle(tcp_packet_numbered(CLIENT, 50123, DEST, 443, ACK | PSH, 101, 5001));
  ASSERT_TRUE(late);
  EXPECT_EQ(std::make_tuple(late->dst, late->dst_port), std::make_tuple("127.0.0.1", 40001));
  // Its relays stopped (a hot update retired them, or the engine stopped).
  inspect(*engine).flows().end_all();
  // Ten hours later on the monotonic clock, with the wall clock set back a day meanwhile.
  steady.advance(36000);
  clock.advance(-86400);
  ASSERT_TRUE(inspect(*engine).cleanup_nat_table());
  const auto reset = handle(tcp_packet_numbered(CLIENT, 50123, DEST, 443, ACK | PSH, 101, 5001));
  ASSERT_TRUE(reset);
  EXPECT_EQ(std::make_tuple(reset->src, reset->src_port, reset->dst, reset->dst_port),
            std::make_tuple(DEST, 443, CLIENT, 50123));
  EXPECT_EQ(reset->flags, RST);
  EXPECT_EQ(reset->seq, 5001u);
  EXPECT_TRUE(reset->checksums_right);
  EXPECT_FALSE(reset->outbound) << "towards the application";
}

TEST_F(PacketTest, AConnectionWhoseSocketIsGoneIsForgottenAfterItsMemory) {
  install({40001});
  inspect(*engine).set_running(true);
  ASSERT_TRUE(handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN)));
  ASSERT_TRUE(handle(tcp_packet(CLIENT, 50123, DEST, 443, RST)));
  steady.advance(200);
  inspect(*engine).cleanup_nat_table();
  EXPECT_EQ(inspect(*engine).flows().size(), 1u);
  steady.advance(41);
  inspect(*engine).cleanup_nat_table();
  EXPECT_EQ(inspect(*engine).flows().size(), 0u);
}

TEST_F(PacketTest, RelayIndexOutsideTheListIsACheckedFailure) {
  install({40001});
  inspect(*engine).nat_table()->set(50123, NatEntry{CLIENT, DEST, 443, clock.now(), 3});
  Packet packet = tcp_packet(CLIENT, 50123, DEST, 443, ACK);
  EXPECT_THROW(inspect(*engine).handle_packet(packet, diverter), std::out_of_range);
  EXPECT_TRUE(diverter.sent().empty());
}

TEST_F(PacketTest, PacketsOfOtherProcessesPassWhileTargetsExist) {
  queries->add_process(4242, "chrome.exe");
  queries->add_process(777, "other.exe");
  inspect(*engine).proc_watch().build_filter_expression({"chrome"});
  install({40001});
  auto other = handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN, {}, 777));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->dst, DEST);
  auto chosen = handle(tcp_packet(CLIENT, 50124, DEST, 443, SYN, {}, 4242));
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->dst_port, 40001);

  // Without a process id (Linux), by the owner of the socket with the packet's own addresses
  // and ports, with no listing of the port map behind it.
  queries->set_socket_owner({0x0A000005, 50125, 0x5DB8D822, 443}, 777);
  queries->set_socket_owner({0x0A000005, 50126, 0x5DB8D822, 443}, 4242);
  other = handle(tcp_packet(CLIENT, 50125, DEST, 443, SYN));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->dst, DEST);
  chosen = handle(tcp_packet(CLIENT, 50126, DEST, 443, SYN));
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->dst_port, 40001);
  EXPECT_EQ(queries->tcp_calls(), 0u);
}

TEST_F(PacketTest, NoRelaysMeansPassing) {
  install({});
  auto out = handle(tcp_packet(CLIENT, 50123, DEST, 443, SYN));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->dst, DEST);
  EXPECT_EQ(engine->get_traffic_stats(), (std::pair<std::uint64_t, std::uint64_t>{0, 0}));
}

TEST_F(PacketTest, CleanupRemovesEntriesOlderThan120Seconds) {
  install({40001});
  inspect(*engine).set_running(true);
  auto& nat = *inspect(*engine).nat_table();
  nat.set(1001, NatEntry{CLIENT, DEST, 443, clock.now() - 121, 0});
  nat.set(1002, NatEntry{CLIENT, DEST, 443, clock.now() - 120, 0});
  EXPECT_TRUE(inspect(*engine).cleanup_nat_table());
  EXPECT_FALSE(nat.contains(1001));
  EXPECT_TRUE(nat.contains(1002));
}

TEST_F(PacketTest, CleanupDoesNothingWhenNotRunning) {
  install({40001});
  auto& nat = *inspect(*engine).nat_table();
  nat.set(1001, NatEntry{CLIENT, DEST, 443, clock.now() - 500, 0});
  EXPECT_FALSE(inspect(*engine).cleanup_nat_table());
  EXPECT_TRUE(nat.contains(1001));
}

TEST_F(PacketTest, OpenFailuresMapToTheUsersMessages) {
  EXPECT_EQ(inspect(*engine).oserror_message(FakeDiverter::access_denied()), "权限不足，请以管理员身份运行");
  const DivertOsError missing = FakeDiverter::invalid_parameter();
  EXPECT_EQ(inspect(*engine).oserror_message(missing),
            std::string("WinDivert 驱动未安装或未运?(") + missing.what() + ")");
  const DivertOsError unsigned_driver = FakeDiverter::invalid_image_hash();
  EXPECT_EQ(inspect(*engine).oserror_message(unsigned_driver),
            std::string("WinDivert 驱动未安装或未运?(") + unsigned_driver.what() + ")");
  const DivertOsError not_loaded = FakeDiverter::not_loaded();
  EXPECT_EQ(inspect(*engine).oserror_message(not_loaded),
            std::string("WinDivert 驱动未安装或未运?(") + not_loaded.what() + ")");
  EXPECT_NE(std::string(not_loaded.what()).find("NotLoaded"), std::string::npos);
  // "NotLoaded" in any letter case, whatever the code.
  const DivertOsError lower(1, "library notloaded");
  EXPECT_EQ(inspect(*engine).oserror_message(lower), std::string("WinDivert 驱动未安装或未运?(") + lower.what() + ")");
  // Any other failure's own text reaches the user (a Linux backend's clear message, say).
  const DivertOsError other(50, "NFQUEUE 队列 0 不可用: 需要 CAP_NET_ADMIN");
  EXPECT_EQ(inspect(*engine).oserror_message(other), std::string("WinDivert 错误: ") + other.what());
}

}  // namespace
}  // namespace tovix
