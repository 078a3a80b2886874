// What becomes of programs' UDP datagrams, with a fake diverter and a scripted socket table:
// passed, dropped, refused at once, or asked of the resolver through the proxy. Nothing of a
// chosen program may be sent on unchanged.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

#include "engine/core/udp_router.h"
#include "engine/divert/fake_diverter.h"
#include "engine/relay/upstream_handler.h"
#include "engine/udp/dns_message.h"
#include "engine/udp/socks5_udp_framing.h"
#include "tests/engine/process/process_queries_fake.h"
#include "tests/engine/udp/fake_socks5_udp_server.h"
#include "tests/support/loopback_server.h"

namespace tovix {
namespace {

using testing::FakeProcessQueries;
using testing::udp_socket;
using Json = nlohmann::ordered_json;

constexpr std::uint16_t CHOSEN_PORT = 4000;
constexpr std::uint16_t OTHER_PORT = 4001;
constexpr std::uint16_t UNKNOWN_PORT = 4002;
constexpr const char* PROXY = "198.51.100.7";
constexpr const char* API = "198.51.100.9";

// A query for "a." of type A, ID 0x1234.
const std::vector<std::uint8_t> DNS_QUERY{0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 0, 0, 1, 0, 1};

IpEndpoint endpoint(const char* address, std::uint16_t port) { return {*IpAddress::parse(address), port}; }

Packet datagram(const IpEndpoint& from, const IpEndpoint& to, std::vector<std::uint8_t> payload = {1, 2, 3, 4}) {
  return Packet(build_udp_datagram(from, to, payload));
}

// Tunnels through the proxy never open; every attempt is recorded.
class RefusingHandler : public UpstreamHandler {
 public:
  struct Asked {
    std::string destination;
    int port;
    std::string proxy;
    int proxy_port;
  };
  explicit RefusingHandler(std::shared_ptr<std::vector<Asked>> asked, std::shared_ptr<std::mutex> lock)
      : _asked(std::move(asked)), _lock(std::move(lock)) {}
  std::shared_ptr<Socket> handle_connection(const std::string& dst_ip, int dst_port, const std::string& proxy_host,
                                            int proxy_port, const std::string&, const std::string&) override {
    {
      std::lock_guard guard(*_lock);
      _asked->push_back({dst_ip, dst_port, proxy_host, proxy_port});
    }
    throw ProxyError("proxy unreachable");
  }

 private:
  std::shared_ptr<std::vector<Asked>> _asked;
  std::shared_ptr<std::mutex> _lock;
};

class UdpRouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queries->add_process(10, "chrome.exe");
    queries->add_process(30, "other.exe");
    queries->set_udp_sockets({udp_socket(CHOSEN_PORT, 10), udp_socket(OTHER_PORT, 30)});
    watch.build_filter_expression({"chrome"});
    diverter.open("udp");
    const Json proxy_list = Json::array({Json{{"type", "http"}, {"host", PROXY}, {"port", 8080}}});
    exempt = engine_settings::Exemptions::build({API}, {PROXY}, proxy_list);
    relays.current = RelayGeneration::of({RelaySlot{nullptr, 0, proxy_list[0]}});
  }

  // The diverter's record after one datagram: sent unchanged, dropped, and what was injected.
  struct Outcome {
    int sent;
    int dropped;
    std::size_t injected;
  };
  Outcome route(Packet packet) {
    const std::size_t sent = diverter.sent().size();
    const int dropped = diverter.dropped();
    const std::size_t injected = diverter.injected().size();
    router.handle(packet, diverter, exempt, relays, 0);
    return {static_cast<int>(diverter.sent().size() - sent), diverter.dropped() - dropped,
            diverter.injected().size() - injected};
  }

  std::shared_ptr<FakeProcessQueries> queries = std::make_shared<FakeProcessQueries>();
  ProcWatch watch{queries};
  FakeDiverter diverter;
  engine_settings::Exemptions exempt;
  RelayView relays;
  std::vector<std::string> notices;
  std::shared_ptr<std::vector<RefusingHandler::Asked>> asked = std::make_shared<std::vector<RefusingHandler::Asked>>();
  std::shared_ptr<std::mutex> asked_lock = std::make_shared<std::mutex>();
  UdpRouter router{watch, [this](const std::string&) { return std::make_unique<RefusingHandler>(asked, asked_lock); },
                   [this](const std::string& text) { notices.push_back(text); }};
};

TEST_F(UdpRouterTest, EachDatagramIsPassedDroppedOrRefusedNeverLetOutForAChosenProgram) {
  const IpEndpoint chosen = endpoint("10.0.0.2", CHOSEN_PORT);
  const IpEndpoint chosen6 = endpoint("2001:db8::2", CHOSEN_PORT);
  struct Case {
    const char* what;
    IpEndpoint from;
    IpEndpoint to;
    Outcome expected;
  };
  const Case cases[] = {
      {"another program's datagram", endpoint("10.0.0.2", OTHER_PORT), endpoint("203.0.113.5", 443), {1, 0, 0}},
      {"a chosen program's QUIC", chosen, endpoint("203.0.113.5", 443), {0, 1, 1}},
      {"a chosen program's IPv6", chosen6, endpoint("2001:db8::5", 443), {0, 1, 1}},
      {"an owner no listing names", endpoint("10.0.0.2", UNKNOWN_PORT), endpoint("203.0.113.5", 443), {0, 1, 0}},
      {"to loopback", chosen, endpoint("127.0.0.1", 5000), {1, 0, 0}},
      {"to a multicast group", chosen, endpoint("224.0.0.251", 5353), {1, 0, 0}},
      {"to the broadcast address", chosen, endpoint("255.255.255.255", 9), {1, 0, 0}},
      {"to a link-local host", chosen, endpoint("169.254.1.1", 5000), {1, 0, 0}},
      {"DHCP", endpoint("10.0.0.2", 68), endpoint("203.0.113.1", 67), {1, 0, 0}},
      {"to a proxy's address", chosen, endpoint(PROXY, 9000), {1, 0, 0}},
      {"to the API host", chosen, endpoint(API, 443), {1, 0, 0}},
      {"IPv6 multicast", chosen6, endpoint("ff02::fb", 5353), {1, 0, 0}},
      {"IPv6 link-local", chosen6, endpoint("fe80::1", 5000), {1, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome got = route(datagram(c.from, c.to));
    EXPECT_EQ(got.sent, c.expected.sent);
    EXPECT_EQ(got.dropped, c.expected.dropped);
    EXPECT_EQ(got.injected, c.expected.injected);
  }
}

TEST_F(UdpRouterTest, ARefusalIsAPortUnreachableToTheProgramAndTheStatusSaysSoOnce) {
  const IpEndpoint program = endpoint("10.0.0.2", CHOSEN_PORT);
  route(datagram(program, endpoint("203.0.113.5", 443)));
  route(datagram(program, endpoint("203.0.113.6", 3478)));
  const std::vector<Packet> injected = diverter.injected();
  ASSERT_EQ(injected.size(), 2u);
  const std::span<const std::uint8_t> icmp = injected[0].bytes();
  ASSERT_GE(icmp.size(), 28u);
  EXPECT_EQ(icmp[9], 1) << "ICMP";
  EXPECT_EQ(icmp[20], 3) << "destination unreachable";
  EXPECT_EQ(icmp[21], 3) << "port unreachable";
  EXPECT_EQ(IpAddress::from_bytes(icmp.subspan(12, 4)).text(), "203.0.113.5");
  EXPECT_EQ(IpAddress::from_bytes(icmp.subspan(16, 4)).text(), "10.0.0.2");
  EXPECT_EQ(notices, std::vector<std::string>{STATUS_UDP_REFUSED});

  router.stop();  // a new run tells it again
  route(datagram(program, endpoint("203.0.113.5", 443)));
  EXPECT_EQ(notices.size(), 2u);
}

// Through a SOCKS5 proxy that grants UDP: the program socket is listed with where it sends and
// its bytes each way (payloads only), the totals count them, and the list empties at stop.
TEST_F(UdpRouterTest, ACarriedProgramSocketIsListedAndItsBytesCounted) {
  testing::FakeSocks5UdpServer proxy;
  relays.current = RelayGeneration::of(
      {RelaySlot{nullptr, 0, Json{{"type", "socks5"}, {"host", "127.0.0.1"}, {"port", proxy.port()}}}});
  const IpEndpoint program = endpoint("10.0.0.2", CHOSEN_PORT);
  const IpEndpoint remote = endpoint("203.0.113.5", 443);
  EXPECT_EQ(route(datagram(program, remote, std::vector<std::uint8_t>(100, 7))).dropped, 1) << "carried, not sent";
  const auto arrived = proxy.next_datagram(std::chrono::seconds(10));
  ASSERT_TRUE(arrived.has_value());
  proxy.send_to(arrived->first, frame_socks_udp(remote, std::vector<std::uint8_t>(300, 9)));
  ASSERT_TRUE(diverter.wait_for_injected(1, std::chrono::seconds(10)));

  const std::vector<UdpFlowInfo> flows = router.flows();
  ASSERT_EQ(flows.size(), 1u);
  EXPECT_EQ(flows[0].program, program);
  EXPECT_EQ(flows[0].destination, remote);
  EXPECT_EQ(flows[0].proxy_host, "127.0.0.1");
  EXPECT_EQ(flows[0].proxy_port, proxy.port());
  EXPECT_EQ(flows[0].bytes_up, 100u);
  EXPECT_EQ(flows[0].bytes_down, 300u);
  EXPECT_EQ(router.traffic(), (std::pair<std::uint64_t, std::uint64_t>{100, 300}));
  router.stop();
  EXPECT_TRUE(router.flows().empty());
  EXPECT_EQ(router.traffic(), (std::pair<std::uint64_t, std::uint64_t>{100, 300})) << "totals outlive the flows";
}

TEST_F(UdpRouterTest, ADnsQueryIsAskedThroughTheProxyAndAFailedTunnelAnswersFromTheResolver) {
  const IpEndpoint program = endpoint("10.0.0.2", CHOSEN_PORT);
  const IpEndpoint resolver = endpoint("203.0.113.53", 53);
  const Outcome got = route(datagram(program, resolver, DNS_QUERY));
  EXPECT_EQ(got.sent, 0);
  EXPECT_EQ(got.dropped, 1);
  EXPECT_TRUE(notices.empty()) << "names keep resolving: nothing is refused";

  ASSERT_TRUE(diverter.wait_for_injected(1, std::chrono::seconds(20)));
  const std::vector<Packet> injected = diverter.injected();
  const std::optional<UdpDatagramView> answer = read_udp_datagram(injected[0].bytes());
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->source, resolver);
  EXPECT_EQ(answer->destination, program);
  EXPECT_EQ(dns_message_id(answer->payload), 0x1234);
  EXPECT_EQ(answer->payload[3] & 0x0F, 2) << "SERVFAIL";
  std::lock_guard guard(*asked_lock);
  ASSERT_FALSE(asked->empty());
  EXPECT_EQ(asked->front().destination, "203.0.113.53");
  EXPECT_EQ(asked->front().port, 53);
  EXPECT_EQ(asked->front().proxy, PROXY);
  EXPECT_EQ(asked->front().proxy_port, 8080);
}

TEST_F(UdpRouterTest, ASocketTheListingsMissedIsJudgedAgainOnItsNextDatagram) {
  const IpEndpoint late = endpoint("10.0.0.2", UNKNOWN_PORT);
  const IpEndpoint remote = endpoint("203.0.113.5", 443);
  EXPECT_EQ(route(datagram(late, remote)).dropped, 1) << "held back while nobody is known to own it";
  queries->set_udp_sockets({udp_socket(UNKNOWN_PORT, 30)});
  EXPECT_EQ(route(datagram(late, remote)).sent, 1) << "another program's, once a listing names it";
}

TEST_F(UdpRouterTest, GlobalModeCarriesEveryProgramsDatagrams) {
  watch.build_filter_expression({});
  const Outcome got = route(datagram(endpoint("10.0.0.2", OTHER_PORT), endpoint("203.0.113.5", 443)));
  EXPECT_EQ(got.sent, 0);
  EXPECT_EQ(got.injected, 1u);
}

TEST(UdpRouterStopTest, StopEndsHandshakesWithASilentProxyAtOnce) {
  auto queries = std::make_shared<FakeProcessQueries>();
  queries->add_process(10, "chrome.exe");
  queries->set_udp_sockets({udp_socket(CHOSEN_PORT, 10)});
  ProcWatch watch{queries};
  watch.build_filter_expression({"chrome"});
  FakeDiverter diverter;
  diverter.open("udp");
  // Takes the connection and never says a word: both the start-up probe and the association a
  // datagram asks for wait in their handshakes.
  testing::LoopbackServer silent(testing::never_answer());
  const Json proxy_list = Json::array({Json{{"type", "socks5"}, {"host", "127.0.0.1"}, {"port", silent.port()}}});
  RelayView relays;
  relays.current = RelayGeneration::of({RelaySlot{nullptr, 0, proxy_list[0]}});
  const auto exempt = engine_settings::Exemptions::build({API}, {}, proxy_list);

  UdpRouter router{watch, nullptr, nullptr};
  router.prepare(relays);
  Packet packet = datagram(endpoint("10.0.0.2", CHOSEN_PORT), endpoint("203.0.113.5", 443));
  router.handle(packet, diverter, exempt, relays, 0);
  EXPECT_EQ(diverter.dropped(), 1) << "held for its association, never let out";
  ASSERT_TRUE(testing::eventually([&] { return silent.accepted() >= 2; }));

  const auto begun = std::chrono::steady_clock::now();
  router.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(500));
  EXPECT_TRUE(diverter.sent().empty());
}

TEST_F(UdpRouterTest, AProgramSocketKeepsTheProxyItWasGivenWhileThatProxyIsUp) {
  const Json proxy_list = Json::array({Json{{"type", "http"}, {"host", PROXY}, {"port", 8080}},
                                       Json{{"type", "http"}, {"host", "198.51.100.8"}, {"port", 8081}}});
  relays.current = RelayGeneration::of({RelaySlot{nullptr, 0, proxy_list[0]}, RelaySlot{nullptr, 0, proxy_list[1]}});
  struct Asked {
    std::uint32_t program;
    std::uint16_t port;
  };
  std::vector<Asked> choices;
  std::size_t next = 1;
  bool second_up = true;
  UdpRouter chosen_router{
      watch, [this](const std::string&) { return std::make_unique<RefusingHandler>(asked, asked_lock); }, nullptr,
      UdpProxyChoice{[&](std::uint32_t program, std::uint16_t port) {
                       choices.push_back({program, port});
                       return std::optional<std::size_t>(next);
                     },
                     [&](std::size_t index) { return index != 1 || second_up; }}};
  const IpEndpoint program = endpoint("10.0.0.2", CHOSEN_PORT);
  const IpEndpoint resolver = endpoint("203.0.113.53", 53);
  auto ask = [&] {
    const std::size_t before = diverter.injected().size();
    Packet packet = datagram(program, resolver, DNS_QUERY);
    chosen_router.handle(packet, diverter, exempt, relays, 0);
    ASSERT_TRUE(diverter.wait_for_injected(before + 1, std::chrono::seconds(20)));
  };
  auto last_proxy = [&] {
    std::lock_guard guard(*asked_lock);
    return asked->empty() ? std::string() : asked->back().proxy;
  };

  ask();
  ASSERT_EQ(choices.size(), 1u);
  EXPECT_EQ(choices[0].program, 10u) << "the socket's owner, as its TCP connections are chosen for";
  EXPECT_EQ(choices[0].port, CHOSEN_PORT);
  EXPECT_EQ(last_proxy(), "198.51.100.8");

  next = 0;
  ask();
  EXPECT_EQ(choices.size(), 1u) << "kept while it is up";
  EXPECT_EQ(last_proxy(), "198.51.100.8");

  second_up = false;
  ask();
  EXPECT_EQ(choices.size(), 2u) << "chosen again once its proxy is down";
  EXPECT_EQ(last_proxy(), PROXY);

  next = 7;  // outside the list: the first proxy
  relays.current = RelayGeneration::of({RelaySlot{nullptr, 0, proxy_list[1]}});
  ask();
  EXPECT_EQ(choices.size(), 3u) << "a new list is chosen from afresh";
  EXPECT_EQ(last_proxy(), "198.51.100.8");
  chosen_router.stop();
}

}  // namespace
}  // namespace tovix
