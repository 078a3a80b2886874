// The NFQUEUE backend against the real kernel, inside network namespaces made for each test: a
// reader that passes every IPv4 packet unchanged and drops the rest, as the engine does with
// packets it does not divert.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "common/socket.h"
#include "engine/divert/nfqueue_diverter_linux.h"
#include "engine/relay/original_destination.h"
#include "engine/relay/upstream_handler.h"
#include "tests/support/http_destination.h"
#include "tests/support/netns_fixture.h"

namespace tovix {
namespace {

using testing::NetnsPair;
using testing::NetnsScope;

constexpr const char* FILTER = NfqueueDiverter::SUPPORTED_FILTER;

// Passes every IPv4 packet unchanged and drops the rest; with a relay port, hands every new
// connection's SYN to the kernel path towards it instead. Hands every packet back as the engine
// does, and counts those that arrived in the storage of one handed back before.
class PassingReader {
 public:
  explicit PassingReader(PacketDiverter& diverter, int relay_port = 0)
      : _diverter(diverter), _relay_port(relay_port), _thread([this] { _loop(); }) {}
  ~PassingReader() {
    _diverter.shutdown();
    _thread.join();
  }
  int ipv4() const { return _ipv4.load(); }
  int others() const { return _others.load(); }
  int carried() const { return _carried.load(); }
  int in_reused_storage() const { return _in_reused_storage.load(); }

 private:
  void _loop() {
    while (auto packet = _diverter.recv()) {
      if (!packet->ipv4()) {
        ++_others;
        _recycle(std::move(*packet));
        continue;
      }
      ++_ipv4;
      const auto tcp = packet->tcp();
      if (_relay_port != 0 && tcp && tcp->syn() && !tcp->ack() && _diverter.carry_to_relay(*packet, _relay_port)) {
        ++_carried;
        continue;
      }
      _diverter.recalculate_checksums(*packet);
      _diverter.send(*packet);
      _recycle(std::move(*packet));
    }
  }
  // The storage's last byte, past any message, marks it as handed back: the kernel writes
  // messages from the start, and a new buffer starts zeroed.
  void _recycle(Packet&& packet) {
    static constexpr std::uint8_t kHandedBack = 0xA5;
    std::vector<std::uint8_t> storage = std::move(packet).take_storage();
    if (storage.empty()) return;
    if (storage.back() == kHandedBack) ++_in_reused_storage;
    storage.back() = kHandedBack;
    _diverter.recycle(Packet(std::move(storage), 0, 0));
  }
  PacketDiverter& _diverter;
  const int _relay_port;
  std::atomic<int> _ipv4{0}, _others{0}, _carried{0}, _in_reused_storage{0};
  std::thread _thread;
};

class NfqueueDiverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = NetnsPair::unavailable_reason(); !reason.empty()) GTEST_SKIP() << reason;
    _pair = std::make_unique<NetnsPair>();
    NetnsScope remote(_pair->remote());
    _destination =
        std::make_unique<testing::HttpDestination>("0.0.0.0", std::make_shared<const std::string>(1 << 20, 'x'));
  }

  // curl in the client namespace; its exit code.
  int curl(const std::vector<std::string>& options, const std::string& url) {
    std::vector<std::string> argv{"curl", "-s", "-o", "/dev/null", "--max-time", "5"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(url);
    return NetnsPair::run(_pair->client(), argv).exit_code;
  }
  std::string data_url() const {
    return "http://" + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(_destination->port()) + "/data";
  }
  std::string rules() const {
    return NetnsPair::run_ok(_pair->client(), {"iptables-save", "-t", "raw"}) +
           NetnsPair::run_ok(_pair->client(), {"ip6tables-save", "-t", "raw"}) +
           NetnsPair::run_ok(_pair->client(), {"ipset", "list", "-n"});
  }

  std::unique_ptr<NetnsPair> _pair;
  std::unique_ptr<testing::HttpDestination> _destination;
};

TEST_F(NfqueueDiverterTest, RulesExistOnlyWhileTheHandleIsOpen) {
  NetnsScope client(_pair->client());
  NfqueueDiverter diverter;
  diverter.open(FILTER);
  const std::string installed = rules();
  EXPECT_NE(installed.find("-A OUTPUT -j TOVIX_DIVERT"), std::string::npos) << installed;
  EXPECT_NE(installed.find("tovix_divert_ports"), std::string::npos) << installed;
  EXPECT_EQ(installed.find("queue-bypass"), std::string::npos) << "no reader must mean no traffic, not a leak";
  diverter.close();
  const std::string left = rules();
  EXPECT_EQ(left.find("TOVIX"), std::string::npos) << left;
  EXPECT_EQ(left.find("tovix"), std::string::npos) << left;
}

TEST_F(NfqueueDiverterTest, RulesLeftByAKilledRunAreReplacedByOneSet) {
  for (const auto& argv : std::vector<std::vector<std::string>>{
           {"ipset", "create", "tovix_divert_ports", "bitmap:port", "range", "0-65535"},
           {"iptables", "-t", "raw", "-N", "TOVIX_DIVERT"},
           {"iptables", "-t", "raw", "-A", "TOVIX_DIVERT", "-p", "tcp", "-j", "NFQUEUE", "--queue-num", "7100"},
           {"iptables", "-t", "raw", "-A", "OUTPUT", "-j", "TOVIX_DIVERT"},
           {"iptables", "-t", "raw", "-A", "OUTPUT", "-j", "TOVIX_DIVERT"}}) {
    NetnsPair::run_ok(_pair->client(), argv);
  }
  NetnsScope client(_pair->client());
  NfqueueDiverter diverter;
  diverter.open(FILTER);
  const std::string installed = NetnsPair::run_ok(_pair->client(), {"iptables-save", "-t", "raw"});
  std::size_t jumps = 0;
  for (std::size_t at = installed.find("-j TOVIX_DIVERT"); at != std::string::npos;
       at = installed.find("-j TOVIX_DIVERT", at + 1)) {
    ++jumps;
  }
  EXPECT_EQ(jumps, 1u) << installed;
  EXPECT_NE(installed.find("--match-set tovix_divert_ports src"), std::string::npos) << installed;
}

TEST_F(NfqueueDiverterTest, OnlyTheSynOfAConnectionThatIsPassedLeavesTheKernel) {
  NetnsScope client(_pair->client());
  NfqueueDiverter diverter;
  diverter.open(FILTER);
  PassingReader reader(diverter);
  ASSERT_EQ(curl({}, data_url()), 0);
  // A 1 MiB download is hundreds of segments each way; only the client's SYN was queued.
  EXPECT_GE(reader.ipv4(), 1);
  EXPECT_LE(reader.ipv4(), 3);
  EXPECT_EQ(_destination->peers(), std::vector<std::string>{NetnsPair::CLIENT_IP});
}

TEST_F(NfqueueDiverterTest, PacketsArriveInTheBuffersOfPacketsHandedBack) {
  NetnsScope client(_pair->client());
  NfqueueDiverter diverter(NfqueueDiverter::DEFAULT_QUEUE_NUMBER, NfqueueDiverter::DataPath::user_space);
  diverter.open(FILTER);
  PassingReader reader(diverter);
  constexpr int kConnections = 12;
  for (int i = 0; i < kConnections; ++i) ASSERT_EQ(curl({}, data_url()), 0);
  // One SYN per connection, one at a time: after the first receive's buffers, none is new.
  EXPECT_GE(reader.ipv4(), kConnections);
  EXPECT_GE(reader.in_reused_storage(), reader.ipv4() + reader.others() - 1);
}

// The kernel path: after its SYN the connection goes to the local listener by itself, which
// reads where it was going; nothing reaches the destination, and releasing the relay or closing
// takes the redirect away.
TEST_F(NfqueueDiverterTest, ACarriedSynTakesItsWholeConnectionToTheRelayWithItsDestination) {
  NetnsScope client(_pair->client());
  auto relay = Socket::create_tcp();
  relay->bind("127.0.0.1", 0);
  relay->listen(8);
  const int relay_port = relay->local_address().second;
  NfqueueDiverter diverter;
  diverter.open(FILTER);
  const std::string redirect = "--to-ports " + std::to_string(relay_port);
  const auto nat_rules = [&] { return NetnsPair::run_ok(_pair->client(), {"iptables-save", "-t", "nat"}); };
  {
    PassingReader reader(diverter, relay_port);
    auto download = std::async(std::launch::async, [&] { return curl({}, data_url()); });
    SocketAddress peer;
    const auto accepted = relay->accept(peer);
    EXPECT_EQ(peer.first, NetnsPair::CLIENT_IP);
    EXPECT_EQ(redirected_from(*accepted), (SocketAddress{NetnsPair::REMOTE_IP, _destination->port()}));
    char request[4096];
    EXPECT_GT(accepted->receive(request, sizeof request), 0u);
    const std::string answer(512 * 1024, 'y');
    const std::string response = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(answer.size()) + "\r\n\r\n";
    accepted->send_all(response.data(), response.size());
    accepted->send_all(answer.data(), answer.size());
    accepted->close();
    EXPECT_EQ(download.get(), 0);
    EXPECT_EQ(reader.carried(), 1);
    EXPECT_LE(reader.ipv4(), 2) << "only the SYN (and at most a retransmission) is queued";
    EXPECT_NE(nat_rules().find(redirect), std::string::npos) << nat_rules();

    // A relay that is gone takes its redirect with it; a later connection to a relay on that
    // port gets it anew rather than leaving with its mark alone.
    diverter.release_relay(relay_port);
    EXPECT_EQ(nat_rules().find(redirect), std::string::npos) << nat_rules();
    auto again = std::async(std::launch::async, [&] { return curl({"--max-time", "10"}, data_url()); });
    // Had the SYN left unredirected, curl would fetch from the destination and nobody call here.
    const bool called = wait_readable({relay.get()}, std::chrono::seconds(10)).front().readable;
    EXPECT_TRUE(called) << "the second connection did not reach the relay";
    if (called) relay->accept(peer)->close();
    again.get();
    EXPECT_EQ(reader.carried(), 2);
  }
  EXPECT_TRUE(_destination->peers().empty());
  diverter.close();
  const std::string left = NetnsPair::run_ok(_pair->client(), {"iptables-save", "-t", "nat"});
  EXPECT_EQ(left.find("TOVIX"), std::string::npos) << left;
}

// A connection made to the relay's own address was redirected by nobody.
TEST_F(NfqueueDiverterTest, AConnectionMadeToTheRelayItselfIsNotRedirected) {
  NetnsScope client(_pair->client());
  auto relay = Socket::create_tcp();
  relay->bind("127.0.0.1", 0);
  relay->listen(8);
  auto direct = Socket::create_tcp();
  direct->connect("127.0.0.1", relay->local_address().second, std::chrono::seconds(5));
  SocketAddress peer;
  EXPECT_EQ(redirected_from(*relay->accept(peer)), std::nullopt);
}

TEST_F(NfqueueDiverterTest, WithoutAReaderNewConnectionsWaitInsteadOfLeaving) {
  NetnsScope client(_pair->client());
  NfqueueDiverter diverter;
  diverter.open(FILTER);
  EXPECT_NE(curl({"--max-time", "2"}, data_url()), 0);
  EXPECT_TRUE(_destination->peers().empty()) << "a SYN went out while nobody read the queue";
  diverter.close();
  EXPECT_EQ(curl({}, data_url()), 0) << "closing restores direct traffic";
}

TEST_F(NfqueueDiverterTest, Ipv6IsHeldBackWhileOpenAndFlowsAfterClose) {
  testing::Ipv6Responder responder(_pair->remote());
  const std::string url =
      "http://[" + std::string(NetnsPair::REMOTE_IP6) + "]:" + std::to_string(responder.port()) + "/";
  NetnsScope client(_pair->client());
  ASSERT_EQ(curl({"-g"}, url), 0) << "IPv6 works before the diverter opens";
  {
    NfqueueDiverter diverter;
    diverter.open(FILTER);
    PassingReader reader(diverter);
    EXPECT_NE(curl({"-g", "--max-time", "2"}, url), 0);
    EXPECT_GE(reader.others(), 1);
  }
  EXPECT_EQ(curl({"-g"}, url), 0);
}

// The relays' own connections to their proxies carry the engine's mark and never reach the
// queue, whatever their address: with nobody reading the queue they still connect.
TEST_F(NfqueueDiverterTest, TheEnginesOwnMarkedConnectionsAreNeverQueued) {
  NetnsScope client(_pair->client());
  NfqueueDiverter diverter;
  diverter.open(FILTER);
  HandshakeTimeouts timeouts;
  timeouts.connect = std::chrono::seconds(10);
  EXPECT_NO_THROW(open_proxy_connection("socks5", NetnsPair::REMOTE_IP, _destination->port(), timeouts));
  EXPECT_THROW(connect_tcp(NetnsPair::REMOTE_IP, _destination->port(), std::chrono::seconds(2)), SocketError)
      << "an unmarked connection waits for the reader";
}

// Only new IPv6 connections are queued: one that was open before the start goes on untouched,
// even with nobody reading the queue.
TEST_F(NfqueueDiverterTest, Ipv6ConnectionsOpenBeforeTheStartAreNeverQueued) {
  testing::Ipv6Responder responder(_pair->remote());
  NetnsScope client(_pair->client());
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(static_cast<std::uint16_t>(responder.port()));
  ASSERT_EQ(inet_pton(AF_INET6, NetnsPair::REMOTE_IP6, &address.sin6_addr), 1);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  const timeval wait{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  NfqueueDiverter diverter;
  diverter.open(FILTER);
  const char request[] = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_EQ(send(fd, request, sizeof request - 1, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof request - 1));
  char answer[256];
  const ssize_t got = recv(fd, answer, sizeof answer, 0);
  close(fd);
  ASSERT_GT(got, 0) << std::strerror(errno);
  EXPECT_NE(std::string(answer, static_cast<std::size_t>(got)).find("200 OK"), std::string::npos);
}

// A connection held at close is answered with a reset the moment its application sends, and
// released once its socket is gone; a held chain of a process that has ended is removed by the
// next open.
TEST_F(NfqueueDiverterTest, HeldConnectionsAreResetAfterCloseUntilReleased) {
  NetnsScope client(_pair->client());
  auto open = connect_tcp(NetnsPair::REMOTE_IP, _destination->port(), std::chrono::seconds(10));
  const TcpTuple tuple{parse_ipv4(open->local_address().first),
                       static_cast<std::uint16_t>(open->local_address().second), parse_ipv4(NetnsPair::REMOTE_IP),
                       static_cast<std::uint16_t>(_destination->port())};
  std::unique_ptr<HeldConnections> held;
  {
    NfqueueDiverter diverter;
    diverter.open(FILTER);
    held = diverter.hold_after_close({tuple});
  }
  const std::string request = "GET /data HTTP/1.1\r\nHost: d\r\n\r\n";
  open->send_all(request.data(), request.size());
  char buffer[64];
  EXPECT_THROW(
      {
        wait_readable_until(*open, std::chrono::steady_clock::now() + std::chrono::seconds(10));
        open->receive(buffer, sizeof buffer);
      },
      SocketError)
      << "the held connection's request reached the destination";
  EXPECT_EQ(held->held(), std::vector<TcpTuple>{tuple});
  held->release({tuple});
  EXPECT_TRUE(held->held().empty());
  EXPECT_EQ(NetnsPair::run_ok(_pair->client(), {"iptables-save", "-t", "filter"}).find("TOVIX_HELD"),
            std::string::npos);

  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  const std::string stale = "TOVIX_HELD_" + std::to_string(ended) + "_0";
  NetnsPair::run_ok(_pair->client(), {"iptables", "-t", "filter", "-N", stale});
  NetnsPair::run_ok(_pair->client(), {"iptables", "-t", "filter", "-I", "OUTPUT", "-j", stale});
  NfqueueDiverter next;
  next.open(FILTER);
  EXPECT_EQ(NetnsPair::run_ok(_pair->client(), {"iptables-save", "-t", "filter"}).find("TOVIX_HELD"),
            std::string::npos);
}

TEST_F(NfqueueDiverterTest, ShutdownWakesABlockedReceive) {
  NetnsScope client(_pair->client());
  NfqueueDiverter diverter;
  diverter.open(FILTER);
  auto received = std::async(std::launch::async, [&] { return diverter.recv().has_value(); });
  EXPECT_EQ(received.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  diverter.shutdown();
  ASSERT_EQ(received.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_FALSE(received.get());
  EXPECT_FALSE(diverter.recv().has_value()) << "a receive after shutdown returns at once";
}

TEST_F(NfqueueDiverterTest, AnOtherFilterIsRefusedWithoutInstallingAnything) {
  NetnsScope client(_pair->client());
  NfqueueDiverter diverter;
  EXPECT_THROW(diverter.open("udp"), DivertOsError);
  EXPECT_FALSE(diverter.is_open());
  EXPECT_EQ(rules().find("TOVIX"), std::string::npos);
}

TEST(NfqueueDiverterPermissionTest, WithoutRootOpeningReportsAccessDenied) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    std::string text = "opened";
    if (setgid(65534) != 0 || setuid(65534) != 0) {
      text = "setuid failed";
    } else {
      try {
        NfqueueDiverter diverter;
        diverter.open(FILTER);
      } catch (const DivertOsError& error) {
        text = std::to_string(error.code()) + " " + error.what();
      }
    }
    (void)!write(pipe_fds[1], text.data(), text.size());
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string text;
  char buffer[1024];
  for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(got));
  close(pipe_fds[0]);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(text.starts_with(std::to_string(DIVERT_ERROR_ACCESS_DENIED) + " ")) << text;
  EXPECT_NE(text.find("access"), std::string::npos) << text;
}

}  // namespace
}  // namespace tovix
