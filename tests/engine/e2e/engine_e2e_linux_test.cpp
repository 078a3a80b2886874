// The whole data path on this machine with real programs: the engine (engine_driver) and its
// netfilter rules in a client namespace; microsocks, tinyproxy and a destination that records
// its peers in a remote namespace. The client reaches the destination directly too, so the
// peer address the destination records tells whether a connection went through a proxy.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/socket.h"
#include "tests/support/divert_site_linux.h"
#include "tests/support/http_destination.h"
#include "tests/support/loopback_server.h"
#include "tests/support/netns_fixture.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix {
namespace {

using testing::NetnsPair;
using testing::NetnsProcess;
using testing::NetnsScope;
namespace fs = std::filesystem;

constexpr std::size_t kBulk = 64u << 20;
const std::string STARTED = "status: 代理已启";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class EngineEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (NetnsPair::unavailable_reason().empty()) _remote = new testing::DivertSite(kBulk);
  }
  static void TearDownTestSuite() {
    delete _remote;
    _remote = nullptr;
  }
  void SetUp() override {
    if (const std::string reason = NetnsPair::unavailable_reason(); !reason.empty()) GTEST_SKIP() << reason;
    ASSERT_NE(_remote, nullptr);
  }
  void TearDown() override {
    if (_engine) stop_engine();
  }

  const std::string& client() const { return _remote->client(); }
  std::string url(const std::string& path) const { return _remote->url(path); }
  nlohmann::ordered_json settings(const std::string& type, std::vector<std::string> processes = {}) const {
    return _remote->settings(type, std::move(processes));
  }

  // Starts the engine in the client namespace and waits for its started status.
  void start_engine(const nlohmann::ordered_json& record, std::vector<std::string> extra = {}) {
    const fs::path file = _remote->dir() / "settings.json";
    testing::write_text(file, record.dump(4));
    std::vector<std::string> argv{ENGINE_DRIVER, file.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    _engine =
        std::make_unique<NetnsProcess>(client(), argv, _remote->dir() / ("engine-" + std::to_string(++_runs) + ".log"));
    ASSERT_TRUE(_engine->wait_for_output(STARTED, std::chrono::seconds(30))) << _engine->output();
  }
  void stop_engine() {
    EXPECT_EQ(_engine->stop(SIGTERM), 0) << _engine->output();
    _engine.reset();
  }

  // A program in the client namespace; its exit code and output.
  CommandResult run_client(const std::vector<std::string>& argv) {
    return NetnsPair::run(client(), argv, std::chrono::seconds(120));
  }
  CommandResult curl(const fs::path& program, const std::vector<std::string>& options) {
    std::vector<std::string> argv{program.string(), "-sS", "--max-time", "60"};
    argv.insert(argv.end(), options.begin(), options.end());
    return run_client(argv);
  }
  std::string last_peer() const {
    const auto peers = _remote->destination().peers();
    return peers.empty() ? "" : peers.back();
  }
  std::string rules() const {
    return NetnsPair::run_ok(client(), {"iptables-save", "-t", "raw"}) +
           NetnsPair::run_ok(client(), {"ip6tables-save", "-t", "raw"}) +
           NetnsPair::run_ok(client(), {"ipset", "list", "-n"});
  }

  // tcpdump on the client's outside interface, for everything to or from the destination
  // unless another filter is given.
  std::unique_ptr<NetnsProcess> capture(const std::string& name, std::string filter = {}) {
    if (filter.empty()) filter = "tcp port " + std::to_string(_remote->destination().port());
    auto process = std::make_unique<NetnsProcess>(
        client(),
        std::vector<std::string>{"tcpdump", "-Z", "root", "--immediate-mode", "-i", _remote->pair().client_interface(),
                                 "-U", "-n", "-w", (_remote->dir() / (name + ".pcap")).string(), filter},
        _remote->dir() / (name + ".log"));
    EXPECT_TRUE(process->wait_for_output("listening on", std::chrono::seconds(30))) << process->output();
    return process;
  }
  // Packets the capture has written so far that match `filter`.
  long packets(const std::string& name, const std::string& filter = {}) {
    std::vector<std::string> argv{"tcpdump", "-Z", "root", "-n", "-r", (_remote->dir() / (name + ".pcap")).string()};
    if (!filter.empty()) argv.push_back(filter);
    const CommandResult read = run_client(argv);
    return static_cast<long>(std::count(read.standard_output.begin(), read.standard_output.end(), '\n'));
  }

  // What the client's own address sent to the destination port (not through a proxy).
  std::string from_client_to(int port) const {
    return "src host " + std::string(NetnsPair::CLIENT_IP) + " and dst port " + std::to_string(port);
  }
  // What the socket receives until its peer closes or `wait` passes.
  static std::string answer_within(Socket& socket, std::chrono::seconds wait) {
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    try {
      for (std::string more = " "; !more.empty(); answer += more) {
        wait_readable_until(socket, deadline);
        more = testing::receive_some(socket);
      }
    } catch (const SocketError&) {
    }
    return answer;
  }
  // Reads (and discards) what the socket has within `wait`: "reset" when the connection was
  // reset, "end" at end-of-stream, "silent" when nothing came.
  static std::string outcome(Socket& socket, std::chrono::seconds wait) {
    char buffer[65536];
    const auto deadline = std::chrono::steady_clock::now() + wait;
    try {
      for (;;) {
        wait_readable_until(socket, deadline);
        if (socket.receive(buffer, sizeof buffer) == 0) return "end";
      }
    } catch (const SocketTimeout&) {
      return "silent";
    } catch (const SocketError&) {
      return "reset";
    }
  }

  static testing::DivertSite* _remote;
  std::unique_ptr<NetnsProcess> _engine;
  int _runs = 0;
};

testing::DivertSite* EngineEndToEndTest::_remote = nullptr;

class ThroughEachProxyTest : public EngineEndToEndTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ThroughEachProxyTest, CurlReachesTheDestinationThroughTheProxy) {
  start_engine(settings(GetParam()));
  const CommandResult result = curl("/usr/bin/curl", {url("/hello")});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error << _engine->output();
  EXPECT_EQ(result.standard_output, "ok");
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP) << "the destination saw the client itself";
  const std::string log = read_file(_remote->dir() / (GetParam() == "socks5" ? "microsocks.log" : "tinyproxy.log"));
  EXPECT_NE(log.find(NetnsPair::CLIENT_IP), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Proxies, ThroughEachProxyTest, ::testing::Values("socks5", "http"));

TEST_F(EngineEndToEndTest, BulkDownloadAndUploadArriveIntact) {
  start_engine(settings("socks5"));
  const fs::path downloaded = _remote->dir() / "downloaded";
  CommandResult result = curl("/usr/bin/curl", {"-o", downloaded.string(), url("/data")});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error;
  EXPECT_TRUE(read_file(downloaded) == _remote->body()) << "download differs";
  result = curl("/usr/bin/curl", {"--data-binary", "@" + downloaded.string(), url("/upload")});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error;
  EXPECT_EQ(result.standard_output, std::to_string(kBulk));
  EXPECT_TRUE(_remote->destination().last_upload() == _remote->body()) << "upload differs";
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP);
}

TEST_F(EngineEndToEndTest, AResponseEndedByTheServerClosingArrivesComplete) {
  start_engine(settings("http"));
  const fs::path downloaded = _remote->dir() / "closed";
  const CommandResult result = curl("/usr/bin/curl", {"-o", downloaded.string(), url("/data?close")});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error;
  EXPECT_EQ(fs::file_size(downloaded), kBulk);
  EXPECT_TRUE(read_file(downloaded) == _remote->body());
}

TEST_F(EngineEndToEndTest, AClientThatShutsDownItsSendingSideStillGetsTheWholeAnswer) {
  start_engine(settings("http"));
  NetnsScope inside(client());
  auto connection = connect_tcp(NetnsPair::REMOTE_IP, _remote->destination().port(), std::chrono::seconds(30));
  const std::string request = "GET /data HTTP/1.1\r\nHost: destination\r\n\r\n";
  connection->send_all(request.data(), request.size());
  ASSERT_EQ(::shutdown(static_cast<int>(connection->native_handle()), SHUT_WR), 0);
  // The whole answer is its header and a body of known length; the wait is bounded.
  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::size_t body_at = std::string::npos;
  while (body_at == std::string::npos || answer.size() < body_at + 4 + kBulk) {
    try {
      wait_readable_until(*connection, deadline);
    } catch (const SocketError&) {
      break;
    }
    const std::string more = testing::receive_some(*connection);
    if (more.empty()) break;
    answer += more;
    if (body_at == std::string::npos) body_at = answer.find("\r\n\r\n");
  }
  ASSERT_NE(body_at, std::string::npos) << answer.size() << " bytes\n" << _engine->output();
  EXPECT_EQ(answer.size() - body_at - 4, kBulk);
  EXPECT_TRUE(answer.compare(body_at + 4, std::string::npos, _remote->body()) == 0);
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP);
}

TEST_F(EngineEndToEndTest, OnlyTheChosenProgramIsDiverted) {
  NetnsProcess placeholder(client(), {_remote->chosen_placeholder().string(), "600"},
                           _remote->dir() / "placeholder.log");
  start_engine(settings("socks5", {"chosen"}));
  CommandResult result = curl(_remote->chosen_curl(), {url("/chosen")});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error << _engine->output();
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP) << "the chosen program went direct";
  result = curl(_remote->other_curl(), {url("/other")});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error;
  EXPECT_EQ(last_peer(), NetnsPair::CLIENT_IP) << "a program that was not chosen went through the proxy";
}

TEST_F(EngineEndToEndTest, AConnectionIdleLongerThanTheCleanUpPeriodStillWorks) {
  start_engine(settings("socks5"), {"--cleanup-seconds", "1"});
  NetnsScope inside(client());
  auto connection = connect_tcp(NetnsPair::REMOTE_IP, _remote->destination().port(), std::chrono::seconds(30));
  // The idle time is what is tested: three clean-up periods without a byte.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const std::string request = "GET /idle HTTP/1.1\r\nHost: destination\r\n\r\n";
  connection->send_all(request.data(), request.size());
  const std::string answer = testing::receive_up_to(*connection, 4096);
  EXPECT_NE(answer.find("\r\n\r\nok"), std::string::npos) << answer;
}

TEST_F(EngineEndToEndTest, NotOnePacketOfADivertedConnectionReachesTheWireTowardsTheDestination) {
  auto diverted = capture("diverted");
  start_engine(settings("socks5"));
  const CommandResult result = curl("/usr/bin/curl", {"-o", "/dev/null", url("/data")});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error;
  stop_engine();
  // What a diverted connection could still send after the stop (a retransmission, a late
  // acknowledgement) would show within a second.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  diverted->stop(SIGINT);
  EXPECT_EQ(packets("diverted"), 0);

  // The same capture does see a direct connection, so an empty one means something.
  auto direct = capture("direct");
  ASSERT_EQ(curl("/usr/bin/curl", {url("/direct")}).exit_code, 0);
  EXPECT_EQ(last_peer(), NetnsPair::CLIENT_IP);
  direct->stop(SIGINT);
  EXPECT_GT(packets("direct"), 0)
      << read_file(_remote->dir() / "direct.log")
      << run_client({"tcpdump", "-Z", "root", "-n", "-r", (_remote->dir() / "direct.pcap").string()}).standard_error;
}

TEST_F(EngineEndToEndTest, AConnectionLeftOpenAcrossTheStopCannotSendTowardsTheDestination) {
  auto wire = capture("open-across-stop");
  start_engine(settings("socks5"));
  NetnsScope inside(client());
  const std::size_t peers_before = _remote->destination().peers().size();
  auto open = connect_tcp(NetnsPair::REMOTE_IP, _remote->destination().port(), std::chrono::seconds(30));
  const int open_port = open->local_address().second;
  // The tunnel is up once the destination has the proxy as a peer.
  ASSERT_TRUE(testing::eventually([&] { return _remote->destination().peers().size() > peers_before; }));
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP);
  stop_engine();

  // The application still holds its socket and now sends its request on it.
  const std::string request = "GET /late HTTP/1.1\r\nHost: destination\r\n\r\n";
  EXPECT_THROW(open->send_all(request.data(), request.size()), SocketError)
      << "the diverted socket outlived the engine's stop";
  // A direct connection after the stop marks the end of what the capture must have seen:
  // anything the open connection sent went out before it.
  {
    auto marker = connect_tcp(NetnsPair::REMOTE_IP, _remote->destination().port(), std::chrono::seconds(30));
    const int marker_port = marker->local_address().second;
    EXPECT_TRUE(testing::eventually(
        [&] { return packets("open-across-stop", "tcp port " + std::to_string(marker_port)) > 0; }));
  }
  wire->stop(SIGINT);
  EXPECT_EQ(packets("open-across-stop", "tcp port " + std::to_string(open_port)), 0);
}

// A chosen program's IPv6 connection is refused at once (so it would fall back to IPv4 at
// once), while a program that was not chosen keeps using IPv6.
TEST_F(EngineEndToEndTest, Ipv6OfAChosenProgramIsRefusedAtOnceAndOtherProgramsKeepIt) {
  testing::Ipv6Responder responder(_remote->pair().remote());
  const std::string v6_url =
      "http://[" + std::string(NetnsPair::REMOTE_IP6) + "]:" + std::to_string(responder.port()) + "/";
  NetnsProcess placeholder(client(), {_remote->chosen_placeholder().string(), "600"},
                           _remote->dir() / "placeholder6.log");
  start_engine(settings("socks5", {"chosen"}));
  const CommandResult refused = curl(_remote->chosen_curl(), {"-g", "--max-time", "3", v6_url});
  EXPECT_EQ(refused.exit_code, 7) << "refused (7), not timed out (28): " << refused.standard_error;
  const CommandResult other = curl(_remote->other_curl(), {"-g", v6_url});
  EXPECT_EQ(other.exit_code, 0) << other.standard_error;
  EXPECT_EQ(other.standard_output, "ok");
  stop_engine();
  const CommandResult after = curl(_remote->chosen_curl(), {"-g", v6_url});
  EXPECT_EQ(after.exit_code, 0) << after.standard_error;
  EXPECT_EQ(after.standard_output, "ok");
}

// Two connections forced onto one local port towards two destinations: both are carried
// through the proxy, and not one of their packets leaves with the client's own address.
TEST_F(EngineEndToEndTest, TwoConnectionsOnOneLocalPortAreBothCarriedThroughTheProxy) {
  std::unique_ptr<testing::HttpDestination> second;
  {
    NetnsScope remote(_remote->remote());
    second = std::make_unique<testing::HttpDestination>("0.0.0.0", std::make_shared<const std::string>("x"));
  }
  const int first_port = _remote->destination().port();
  auto wire = capture("shared-port", from_client_to(first_port) + " or " + from_client_to(second->port()));
  start_engine(settings("socks5"));
  NetnsScope inside(client());
  std::vector<std::shared_ptr<Socket>> sockets;
  int local_port = 0;
  for (const int port : {first_port, second->port()}) {
    auto socket = Socket::create_tcp();
    socket->set_reuse_address();
    socket->bind(NetnsPair::CLIENT_IP, local_port);
    local_port = socket->local_address().second;
    socket->connect(NetnsPair::REMOTE_IP, port, std::chrono::seconds(30));
    sockets.push_back(socket);
  }
  ASSERT_EQ(sockets[0]->local_address(), sockets[1]->local_address());
  for (const auto& socket : sockets) {
    const std::string request = "GET /shared HTTP/1.1\r\nHost: d\r\n\r\n";
    socket->send_all(request.data(), request.size());
  }
  for (const auto& socket : sockets) {
    const std::string answer = answer_within(*socket, std::chrono::seconds(30));
    EXPECT_NE(answer.find("\r\n\r\nok"), std::string::npos) << answer << _engine->output();
  }
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP);
  EXPECT_EQ(second->peers(), std::vector<std::string>{NetnsPair::REMOTE_IP});
  sockets.clear();
  stop_engine();
  wire->stop(SIGINT);
  EXPECT_EQ(packets("shared-port"), 0);
}

// The proxy refuses the relay (wrong password): the relay gives the connection up. What the
// application sends on it later is answered with a reset at once, never let out.
TEST_F(EngineEndToEndTest, AConnectionThatTheProxyRefusedIsResetInsteadOfLeaving) {
  const int port = _remote->destination().port();
  auto wire = capture("refused", from_client_to(port));
  nlohmann::ordered_json record = settings("socks5");
  record["proxy_list"][0]["password"] = "wrong";
  start_engine(record);
  NetnsScope inside(client());
  auto connection = connect_tcp(NetnsPair::REMOTE_IP, port, std::chrono::seconds(30));
  EXPECT_EQ(outcome(*connection, std::chrono::seconds(30)), "end") << "the relay gives up on it";
  const std::string request = "GET /late HTTP/1.1\r\nHost: d\r\n\r\n";
  connection->send_all(request.data(), request.size());
  // After the end of stream a read says nothing more; the socket's own state tells the reset.
  EXPECT_TRUE(testing::eventually(
      [&] {
        tcp_info info{};
        socklen_t length = sizeof info;
        return getsockopt(static_cast<int>(connection->native_handle()), IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
               info.tcpi_state == TCP_CLOSE;
      },
      std::chrono::seconds(10)))
      << "the application still waits for an answer";
  stop_engine();
  wire->stop(SIGINT);
  EXPECT_EQ(packets("refused"), 0);
}

// Deleting the last proxy while the engine runs keeps the relays: the chosen program goes on
// through the proxy, and nothing of it leaves directly.
TEST_F(EngineEndToEndTest, AHotUpdateToAnEmptyListKeepsTheChosenProgramOffTheWire) {
  NetnsProcess placeholder(client(), {_remote->chosen_placeholder().string(), "600"},
                           _remote->dir() / "placeholder-empty.log");
  auto wire = capture("empty-update", from_client_to(_remote->destination().port()));
  start_engine(settings("socks5", {"chosen"}));
  ASSERT_EQ(kill(_engine->pid(), SIGUSR1), 0);
  EXPECT_TRUE(_engine->wait_for_output("error: 新代理列表为空", std::chrono::seconds(30))) << _engine->output();
  for (int i = 0; i < 3; ++i) {
    const CommandResult result = curl(_remote->chosen_curl(), {url("/after-empty-update")});
    ASSERT_EQ(result.exit_code, 0) << result.standard_error << _engine->output();
    EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP);
  }
  stop_engine();
  wire->stop(SIGINT);
  EXPECT_EQ(packets("empty-update"), 0);
}

// A client with a small receive buffer stops reading a large answer: at the stop, the relay's
// reset does not fit its closed window. Once it reads and sends again, not one packet reaches
// the destination directly; its connection is reset instead.
TEST_F(EngineEndToEndTest, AClientThatStoppedReadingCannotReachTheDestinationAfterTheStop) {
  const int port = _remote->destination().port();
  auto wire = capture("full-window", from_client_to(port));
  start_engine(settings("socks5"));
  std::shared_ptr<Socket> connection;
  {
    NetnsScope inside(client());
    connection = Socket::create_tcp();
    const int small = 4096;
    ASSERT_EQ(setsockopt(static_cast<int>(connection->native_handle()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small),
              0);
    connection->connect(NetnsPair::REMOTE_IP, port, std::chrono::seconds(30));
    const std::string request = "GET /data HTTP/1.1\r\nHost: d\r\n\r\n";
    connection->send_all(request.data(), request.size());
  }
  // The answer fills the receive buffer; the client reads nothing of it.
  ASSERT_TRUE(testing::eventually([&] {
    int queued = 0;
    return ioctl(static_cast<int>(connection->native_handle()), FIONREAD, &queued) == 0 && queued >= 2048;
  }));
  stop_engine();
  EXPECT_EQ(outcome(*connection, std::chrono::seconds(10)), "reset");
  wire->stop(SIGINT);
  EXPECT_EQ(packets("full-window"), 0);
}

TEST_F(EngineEndToEndTest, StoppingRestoresDirectTrafficAndAKilledEngineRestartsWithOneSetOfRules) {
  start_engine(settings("socks5"));
  ASSERT_EQ(curl("/usr/bin/curl", {url("/before-kill")}).exit_code, 0);
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP);
  _engine->stop(SIGKILL);
  _engine.reset();
  EXPECT_NE(rules().find("TOVIX_DIVERT"), std::string::npos) << "a killed engine cannot remove its rules";
  EXPECT_NE(curl("/usr/bin/curl", {"--max-time", "2", url("/while-dead")}).exit_code, 0)
      << "with the reader gone, new connections must wait, not leave directly";

  start_engine(settings("socks5"));
  const std::string restarted = NetnsPair::run_ok(client(), {"iptables-save", "-t", "raw"});
  std::size_t jumps = 0;
  for (std::size_t at = restarted.find("-j TOVIX_DIVERT"); at != std::string::npos;
       at = restarted.find("-j TOVIX_DIVERT", at + 1))
    ++jumps;
  EXPECT_EQ(jumps, 1u) << restarted;
  ASSERT_EQ(curl("/usr/bin/curl", {url("/after-restart")}).exit_code, 0);
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP);

  stop_engine();
  const std::string left = rules();
  EXPECT_EQ(left.find("TOVIX"), std::string::npos) << left;
  EXPECT_EQ(left.find("tovix"), std::string::npos) << left;
  ASSERT_EQ(curl("/usr/bin/curl", {url("/after-stop")}).exit_code, 0);
  EXPECT_EQ(last_peer(), NetnsPair::CLIENT_IP);
}

// Programs' UDP: a UDP echo and a resolver (dnsmasq, port 53) in the remote namespace, on an
// address of their own (UDP to a proxy's address is never diverted), and a small UDP program
// copied under the chosen name and another.
class UdpEndToEndTest : public EngineEndToEndTest, public ::testing::WithParamInterface<std::string> {
 protected:
  static constexpr const char* NAME = "udp-e2e.test";
  static constexpr const char* NAME_ADDRESS = "198.18.0.77";
  static constexpr const char* SERVICE_IP = "198.18.0.3";

  void SetUp() override {
    EngineEndToEndTest::SetUp();
    if (IsSkipped()) return;
    const fs::path dir = _remote->dir().path();
    for (const auto& [program, folder, name] :
         {std::tuple{&_chosen, "udp-chosen", "chosen.exe"}, std::tuple{&_other, "udp-other", "udp_other.exe"}}) {
      fs::create_directories(dir / folder);
      *program = dir / folder / name;
      if (!fs::exists(*program)) fs::copy_file(UDP_PROBE, *program);
    }
    // Already there from an earlier test of the suite when this fails.
    NetnsPair::run(_remote->remote(), {"ip", "addr", "add", std::string(SERVICE_IP) + "/24", "dev", "inside"});
    _echo_port = testing::free_port_in(_remote->remote());
    _echo = std::make_unique<NetnsProcess>(
        _remote->remote(), std::vector<std::string>{UDP_PROBE, "echo", SERVICE_IP, std::to_string(_echo_port)},
        dir / "udp-echo.log");
    ASSERT_TRUE(_echo->wait_for_output("listening", std::chrono::seconds(20))) << _echo->output();
  }
  void TearDown() override {
    EngineEndToEndTest::TearDown();
    if (!_resolv_dir.empty()) fs::remove_all(_resolv_dir);
  }

  // dnsmasq on the remote address, port 53, answering NAME; the client namespace's resolver
  // configuration names it.
  std::unique_ptr<NetnsProcess> start_resolver() {
    const fs::path dir = _remote->dir().path();
    testing::write_text(dir / "udp-hosts", std::string(NAME_ADDRESS) + " " + NAME + "\n");
    fs::remove(dir / "dnsmasq-queries.log");
    auto process = std::make_unique<NetnsProcess>(
        _remote->remote(),
        std::vector<std::string>{"dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
                                 "--no-hosts", "--addn-hosts=" + (dir / "udp-hosts").string(),
                                 std::string("--listen-address=") + SERVICE_IP, "--bind-interfaces", "--port=53",
                                 "--log-queries", "--log-facility=" + (dir / "dnsmasq-queries.log").string(),
                                 "--pid-file=" + (dir / "dnsmasq.pid").string(), "--user=root", "--group=root"},
        dir / "dnsmasq.log");
    testing::wait_until_accepting_in(client(), SERVICE_IP, 53);
    _resolv_dir = fs::path("/etc/netns") / client();
    fs::create_directories(_resolv_dir);
    testing::write_text(_resolv_dir / "resolv.conf",
                        std::string("nameserver ") + SERVICE_IP + "\noptions timeout:2 attempts:2\n");
    return process;
  }

  // The probe's one line of output.
  std::string probe(const fs::path& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out = run_client(argv).standard_output;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  std::string send_to_echo(const fs::path& program) {
    return probe(program, {"send", SERVICE_IP, std::to_string(_echo_port)});
  }
  // UDP the client's own address sent out.
  static std::string udp_from_client() {
    return std::string("udp and (src host ") + NetnsPair::CLIENT_IP + " or src host " + NetnsPair::CLIENT_IP6 + ")";
  }

  fs::path _chosen, _other, _resolv_dir;
  int _echo_port = 0;
  std::unique_ptr<NetnsProcess> _echo;
};

// Through proxies that carry no UDP (microsocks, tinyproxy): a chosen program's datagram is
// refused at once, its look-ups go over TCP through the proxy, and none of its UDP leaves.
TEST_P(UdpEndToEndTest, AChosenProgramsUdpIsRefusedAtOnceAndItsNamesResolveThroughTheProxy) {
  NetnsProcess placeholder(client(), {_remote->chosen_placeholder().string(), "600"},
                           _remote->dir() / "udp-placeholder.log");
  const auto resolver = start_resolver();
  start_engine(settings(GetParam(), {"chosen"}));
  auto capture_process = capture("udp-" + GetParam(), udp_from_client());
  // The proxy and the resolver share the remote namespace: their TCP goes over its loopback.
  const fs::path resolver_tcp = _remote->dir() / ("dns-tcp-" + GetParam() + ".pcap");
  NetnsProcess resolver_capture(_remote->remote(),
                                {"tcpdump", "-Z", "root", "--immediate-mode", "-i", "lo", "-U", "-n", "-w",
                                 resolver_tcp.string(), "tcp dst port 53 and tcp[tcpflags] & tcp-syn != 0"},
                                _remote->dir() / ("dns-tcp-" + GetParam() + ".log"));
  ASSERT_TRUE(resolver_capture.wait_for_output("listening on", std::chrono::seconds(30)));

  const std::string sent = send_to_echo(_chosen);
  ASSERT_EQ(sent.rfind("refused ", 0), 0u) << sent << _engine->output();
  EXPECT_LT(std::stod(sent.substr(8)), 100.0) << "milliseconds until the refusal";
  const std::string sent6 = probe(_chosen, {"send", NetnsPair::REMOTE_IP6, std::to_string(_echo_port)});
  ASSERT_EQ(sent6.rfind("refused ", 0), 0u) << "IPv6: " << sent6;
  EXPECT_LT(std::stod(sent6.substr(8)), 100.0) << "milliseconds until the IPv6 refusal";

  EXPECT_EQ(probe(_chosen, {"resolve", NAME}), NAME_ADDRESS) << _engine->output();
  const std::string queries = read_file(_remote->dir() / "dnsmasq-queries.log");
  EXPECT_NE(queries.find(std::string(NAME) + " from " + NetnsPair::REMOTE_IP), std::string::npos)
      << "asked from the proxy's address: " << queries;
  EXPECT_EQ(queries.find(std::string("from ") + NetnsPair::CLIENT_IP), std::string::npos) << queries;
  resolver_capture.stop(SIGTERM);
  const std::string opened =
      NetnsPair::run(_remote->remote(), {"tcpdump", "-Z", "root", "-n", "-r", resolver_tcp.string()}).standard_output;
  EXPECT_NE(opened.find(std::string(NetnsPair::REMOTE_IP) + "."), std::string::npos)
      << "the query came over TCP from the proxy: " << opened;

  capture_process->stop(SIGTERM);
  EXPECT_EQ(packets("udp-" + GetParam()), 0) << "UDP left with the client's own address";
}
INSTANTIATE_TEST_SUITE_P(Proxies, UdpEndToEndTest, ::testing::Values("socks5", "http"));

TEST_F(UdpEndToEndTest, AProgramNotChosenKeepsItsDirectUdp) {
  NetnsProcess placeholder(client(), {_remote->chosen_placeholder().string(), "600"},
                           _remote->dir() / "udp-placeholder.log");
  start_engine(settings("socks5", {"chosen"}));
  EXPECT_EQ(send_to_echo(_other), std::string("answer echo ") + NetnsPair::CLIENT_IP) << _engine->output();
  EXPECT_EQ(send_to_echo(_other), std::string("answer echo ") + NetnsPair::CLIENT_IP) << "a later datagram too";
}

// Through a SOCKS5 proxy that grants UDP ASSOCIATE (dante): the chosen program's datagrams
// reach the echo from the proxy's address, the answers come back to the program, and none of
// its UDP leaves with the client's address.
TEST_F(UdpEndToEndTest, ThroughAProxyThatCarriesUdpTheEchoSeesTheProxyAndAnswersComeBack) {
  NetnsProcess placeholder(client(), {_remote->chosen_placeholder().string(), "600"},
                           _remote->dir() / "udp-placeholder.log");
  const fs::path dir = _remote->dir().path();
  const int port = testing::free_port_in(_remote->remote());
  testing::write_text(dir / "dante-e2e.conf",
                      "logoutput: " + (dir / "dante-e2e.log").string() + "\ninternal: " + NetnsPair::REMOTE_IP +
                          " port = " + std::to_string(port) + "\nexternal: " + NetnsPair::REMOTE_IP +
                          "\nsocksmethod: none\nclientmethod: none\nuser.privileged: root\n"
                          "user.unprivileged: nobody\nclient pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n"
                          "socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 command: connect udpassociate udpreply\n"
                          "  log: error }\n");
  NetnsProcess dante(
      _remote->remote(),
      {"danted", "-f", (dir / "dante-e2e.conf").string(), "-p", (dir / "dante-e2e.pid").string(), "-N", "1"},
      dir / "dante-e2e.out");
  testing::wait_until_accepting_in(client(), NetnsPair::REMOTE_IP, port);
  nlohmann::ordered_json record = settings("socks5", {"chosen"});
  record["proxy_list"][0] = {{"type", "socks5"}, {"host", NetnsPair::REMOTE_IP}, {"port", port}};
  start_engine(record);
  // The framed datagrams to the proxy's relay leave from the client's address; nothing else may.
  auto capture_process = capture("udp-dante", udp_from_client() + " and not (dst host " + NetnsPair::REMOTE_IP + ")");

  const std::string through = std::string("answer echo ") + NetnsPair::REMOTE_IP;
  EXPECT_EQ(send_to_echo(_chosen), through) << _engine->output() << dante.output();
  EXPECT_EQ(send_to_echo(_chosen), through) << "a second socket of the program";
  capture_process->stop(SIGTERM);
  EXPECT_EQ(packets("udp-dante"), 0) << "UDP left with the client's own address";
}

}  // namespace
}  // namespace tovix
