// The whole data path on this machine with real programs: the engine (engine_driver) and its
// netfilter rules in a client namespace; microsocks, tinyproxy and a destination that records
// its peers in a remote namespace. The client reaches the destination directly too, so the
// peer address the destination records tells whether a connection went through a proxy.
#include "tests/engine/e2e/engine_e2e_fixture_linux.h"

namespace tovix {
namespace {

using namespace e2e;

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

}  // namespace
}  // namespace tovix
