// Programs' UDP end to end: the engine diverting a chosen program's datagrams in the client
// namespace, through a proxy that carries UDP (dante) and proxies that do not (microsocks,
// tinyproxy), with a UDP echo and a resolver in the remote namespace.
#include <tuple>

#include "tests/engine/e2e/engine_e2e_fixture_linux.h"
#include "tests/support/udp_fixtures.h"

namespace tovix {
namespace {

using namespace e2e;

// Programs' UDP: a UDP echo, a resolver (dnsmasq, port 53) and a QUIC server in the remote
// namespace, on an address of their own (UDP to a proxy's address is never diverted); a small UDP
// program copied under the chosen name and another, and the QUIC client under the chosen name.
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
    fs::create_directories(dir / "quic-chosen");
    _chosen_quic = dir / "quic-chosen" / "chosen.exe";
    if (!fs::exists(_chosen_quic)) fs::copy_file(testing::quic_client_program(), _chosen_quic);
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

  // dante in the remote namespace, granting UDP ASSOCIATE; a settings record with it as the
  // only proxy and the chosen program.
  struct Dante {
    std::unique_ptr<NetnsProcess> process;
    nlohmann::ordered_json settings;
  };
  Dante start_dante() {
    const int port = testing::free_port_in(_remote->remote());
    Dante dante{testing::start_dante_in(_remote->remote(), NetnsPair::REMOTE_IP, port, _remote->dir().path(), client()),
                settings("socks5", {"chosen"})};
    dante.settings["proxy_list"][0] = {{"type", "socks5"}, {"host", NetnsPair::REMOTE_IP}, {"port", port}};
    return dante;
  }

  // The chosen QUIC client's request to `server`; the page it downloaded, or empty. What the
  // client said goes to _quic_output.
  std::string quic_request(const testing::QuicServer& server, std::chrono::milliseconds handshake_timeout) {
    const fs::path download = _remote->dir() / ("quic-download-" + std::to_string(++_downloads));
    fs::create_directories(download);  // the client writes into it but does not make it
    const CommandResult result = run_client(testing::quic_client_command(_chosen_quic.string(), server.address(),
                                                                         server.port(), download, handshake_timeout));
    _quic_output = result.standard_output + result.standard_error;
    return testing::quic_page(download);
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
  // Milliseconds until the refusal, the fastest of up to three sockets: a loaded machine may
  // stall one try, but a refusal that waits on something is slow on every try. -1: not refused.
  double fastest_refusal(const fs::path& program, const std::string& ip) {
    double fastest = -1;
    for (int attempt = 0; attempt < 3 && (fastest < 0 || fastest >= 100.0); ++attempt) {
      const std::string sent = probe(program, {"send", ip, std::to_string(_echo_port)});
      if (sent.rfind("refused ", 0) != 0) {
        ADD_FAILURE() << "not refused (" << ip << "): " << sent << _engine->output();
        return -1;
      }
      const double ms = std::stod(sent.substr(8));
      if (fastest < 0 || ms < fastest) fastest = ms;
    }
    return fastest;
  }
  // UDP the client's own address sent out.
  static std::string udp_from_client() {
    return std::string("udp and (src host ") + NetnsPair::CLIENT_IP + " or src host " + NetnsPair::CLIENT_IP6 + ")";
  }

  fs::path _chosen, _other, _chosen_quic, _resolv_dir;
  std::string _quic_output;
  int _echo_port = 0, _downloads = 0;
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

  const double refused = fastest_refusal(_chosen, SERVICE_IP);
  ASSERT_GE(refused, 0);
  EXPECT_LT(refused, 100.0) << "milliseconds until the refusal";
  const double refused6 = fastest_refusal(_chosen, NetnsPair::REMOTE_IP6);
  ASSERT_GE(refused6, 0);
  EXPECT_LT(refused6, 100.0) << "milliseconds until the IPv6 refusal";

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

// A QUIC handshake of the chosen program through a proxy that cannot carry UDP: the client gets
// no answer (it ignores the refusal and waits out its handshake time-out) and nothing leaves.
TEST_P(UdpEndToEndTest, AChosenProgramsQuicSendsNothingDirectly) {
  NetnsProcess placeholder(client(), {_remote->chosen_placeholder().string(), "600"},
                           _remote->dir() / "quic-placeholder.log");
  const testing::QuicServer server(SERVICE_IP, _remote->remote());
  start_engine(settings(GetParam(), {"chosen"}));
  auto capture_process = capture("quic-" + GetParam(), udp_from_client());

  EXPECT_EQ(quic_request(server, std::chrono::seconds(1)), "") << "the page came without a proxy carrying UDP";
  capture_process->stop(SIGTERM);
  EXPECT_EQ(packets("quic-" + GetParam()), 0) << "UDP left with the client's own address";
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
  const Dante dante = start_dante();
  start_engine(dante.settings);
  // The framed datagrams to the proxy's relay leave from the client's address; nothing else may.
  auto capture_process = capture("udp-dante", udp_from_client() + " and not (dst host " + NetnsPair::REMOTE_IP + ")");

  const std::string through = std::string("answer echo ") + NetnsPair::REMOTE_IP;
  EXPECT_EQ(send_to_echo(_chosen), through) << _engine->output() << dante.process->output();
  EXPECT_EQ(send_to_echo(_chosen), through) << "a second socket of the program";
  capture_process->stop(SIGTERM);
  EXPECT_EQ(packets("udp-dante"), 0) << "UDP left with the client's own address";
}

TEST_F(UdpEndToEndTest, AChosenProgramsQuicRequestCompletesThroughAProxyThatCarriesUdp) {
  NetnsProcess placeholder(client(), {_remote->chosen_placeholder().string(), "600"},
                           _remote->dir() / "quic-placeholder.log");
  const testing::QuicServer server(SERVICE_IP, _remote->remote());
  const Dante dante = start_dante();
  start_engine(dante.settings);
  auto capture_process = capture("quic-dante", udp_from_client() + " and not (dst host " + NetnsPair::REMOTE_IP + ")");

  EXPECT_EQ(quic_request(server, std::chrono::seconds(10)), std::string(testing::QUIC_INDEX_TEXT) + "\n")
      << _quic_output << _engine->output() << dante.process->output();
  capture_process->stop(SIGTERM);
  EXPECT_EQ(packets("quic-dante"), 0) << "UDP left with the client's own address";
}
}  // namespace
}  // namespace tovix
