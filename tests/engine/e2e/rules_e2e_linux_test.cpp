// Routing rules and names asked of the proxy, with the real engine (engine_driver) in a client
// namespace and real proxies in a remote one. The destination records its peers, so the address
// it saw tells which way a connection left: the client's own, the first proxy's or the second's.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/socket.h"
#include "engine/rules/rule_json.h"
#include "tests/support/divert_site_linux.h"
#include "tests/support/loopback_server.h"
#include "tests/support/netns_fixture.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix {
namespace {

using testing::NetnsPair;
using testing::NetnsProcess;
using testing::NetnsScope;
using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string STARTED = "status: 代理已启";
// Known only to the remote namespace's host file, where it is the destination's address.
constexpr const char* FAR_NAME = "far-side.rules-e2e.test";
// On the client's link, but no host has it: a connection the proxy is asked to make to this
// address goes nowhere.
constexpr const char* NOWHERE_IP = "198.18.0.99";
// The remote namespace's second address; the second proxy listens and leaves from it.
constexpr const char* SECOND_PROXY_IP = "198.18.0.4";
// A private network (a home LAN) between the two namespaces.
constexpr const char* CLIENT_LAN_IP = "192.168.213.1";
constexpr const char* REMOTE_LAN_IP = "192.168.213.2";
// A port whose server speaks first.
constexpr int MAIL_PORT = 25;

// A server that speaks first: its greeting names the peer it sees, then it waits for the client
// to go.
void greet_with_peer(Socket& connection) {
  const std::string greeting = "220 " + connection.peer_address().first + "\r\n";
  connection.send_all(greeting.data(), greeting.size());
  testing::sees_end_of_stream(connection, std::chrono::seconds(30));
}

class RulesEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!NetnsPair::unavailable_reason().empty()) return;
    _site = new testing::DivertSite(1024, std::string(NetnsPair::REMOTE_IP) + " " + FAR_NAME + "\n");
    const std::string remote = _site->remote();
    NetnsPair::run_ok(remote, {"ip", "addr", "add", std::string(SECOND_PROXY_IP) + "/24", "dev", "inside"});
    NetnsPair::run_ok(remote, {"ip", "addr", "add", std::string(REMOTE_LAN_IP) + "/24", "dev", "inside"});
    NetnsPair::run_ok(_site->client(), {"ip", "addr", "add", std::string(CLIENT_LAN_IP) + "/24", "dev",
                                        _site->pair().client_interface()});
    _second_proxy_port = testing::free_port_in(remote);
    _second_proxy = new NetnsProcess(remote,
                                     {"microsocks", "-i", SECOND_PROXY_IP, "-p", std::to_string(_second_proxy_port),
                                      "-b", SECOND_PROXY_IP, "-u", testing::PROXY_USER, "-P", testing::PROXY_PASSWORD},
                                     _site->dir() / "second-microsocks.log");
    testing::wait_until_accepting_in(remote, SECOND_PROXY_IP, _second_proxy_port);
    NetnsScope inside(remote);
    _mail = new testing::LoopbackServer(greet_with_peer, NetnsPair::REMOTE_IP, MAIL_PORT);
    _greeter = new testing::LoopbackServer(greet_with_peer, NetnsPair::REMOTE_IP);
  }
  static void TearDownTestSuite() {
    delete _greeter;
    delete _mail;
    delete _second_proxy;
    delete _site;
    _greeter = _mail = nullptr;
    _second_proxy = nullptr;
    _site = nullptr;
  }
  void SetUp() override {
    if (const std::string reason = NetnsPair::unavailable_reason(); !reason.empty()) GTEST_SKIP() << reason;
    ASSERT_NE(_site, nullptr);
  }
  void TearDown() override { stop_engine(); }

  // One proxy of `type` on the remote's first address, the rules a new settings file has, the
  // user's `rules` before them.
  static Json record(const std::string& type, const std::vector<Json>& rules = {}) {
    Json settings = _site->settings(type);
    Json all = Json::array();
    for (const Json& rule : rules) all.push_back(rule);
    for (const Json& rule : rules_to_json(default_route_rules())) all.push_back(rule);
    settings[ROUTE_RULES_KEY] = all;
    return settings;
  }
  static Json second_proxy() {
    return {{"type", "socks5"},
            {"host", SECOND_PROXY_IP},
            {"port", _second_proxy_port},
            {"username", testing::PROXY_USER},
            {"password", testing::PROXY_PASSWORD}};
  }

  void start_engine(const Json& settings) {
    const fs::path file = _site->dir() / "rules-settings.json";
    testing::write_text(file, settings.dump(2));
    _engine = std::make_unique<NetnsProcess>(_site->client(), std::vector<std::string>{ENGINE_DRIVER, file.string()},
                                             _site->dir() / ("rules-engine-" + std::to_string(++_runs) + ".log"));
    ASSERT_TRUE(_engine->wait_for_output(STARTED, std::chrono::seconds(30))) << _engine->output();
  }
  void stop_engine() {
    if (!_engine) return;
    EXPECT_EQ(_engine->stop(SIGTERM), 0) << _engine->output();
    _engine.reset();
  }

  CommandResult curl(const fs::path& program, const std::vector<std::string>& options) {
    std::vector<std::string> argv{program.string(), "-sS", "--max-time", "30"};
    argv.insert(argv.end(), options.begin(), options.end());
    return NetnsPair::run(_site->client(), argv, std::chrono::seconds(60));
  }
  // "http://<address>:<destination port><path>"
  static std::string url_at(const std::string& address, const std::string& path) {
    return "http://" + address + ":" + std::to_string(_site->destination().port()) + path;
  }
  // curl's option that makes the client's own look-up of FAR_NAME give `address`.
  static std::string far_name_at(const std::string& address, int port) {
    return std::string(FAR_NAME) + ":" + std::to_string(port) + ":" + address;
  }
  static std::string last_peer() {
    const auto peers = _site->destination().peers();
    return peers.empty() ? "" : peers.back();
  }
  std::string engine_output() const { return _engine ? _engine->output() : ""; }

  // Milliseconds from the client's connect until the server's greeting arrived, which must name
  // the proxy as its peer.
  long time_to_greeting(int port) const {
    NetnsScope inside(_site->client());
    const std::string expected = "220 " + std::string(NetnsPair::REMOTE_IP) + "\r\n";
    const auto start = Clock::now();
    auto connection = connect_tcp(NetnsPair::REMOTE_IP, port, std::chrono::seconds(10));
    const std::string greeting = testing::receive_up_to(*connection, expected.size());
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(greeting, expected) << "port " << port;
    return elapsed;
  }

  static testing::DivertSite* _site;
  static NetnsProcess* _second_proxy;
  static int _second_proxy_port;
  static testing::LoopbackServer* _mail;     // greets first, on MAIL_PORT
  static testing::LoopbackServer* _greeter;  // greets first, on an ordinary port
  std::unique_ptr<NetnsProcess> _engine;
  int _runs = 0;
};

testing::DivertSite* RulesEndToEndTest::_site = nullptr;
NetnsProcess* RulesEndToEndTest::_second_proxy = nullptr;
int RulesEndToEndTest::_second_proxy_port = 0;
testing::LoopbackServer* RulesEndToEndTest::_mail = nullptr;
testing::LoopbackServer* RulesEndToEndTest::_greeter = nullptr;

// The program's own resolver gives FAR_NAME an address where nothing answers; only the proxy's
// namespace knows where it is. The request arrives, from the proxy, only if the relay read the
// name from the request and asked the proxy for it.
class NameAtTheProxyTest : public RulesEndToEndTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(NameAtTheProxyTest, AProgramReachesANameOnlyTheProxyCanResolve) {
  start_engine(record(GetParam()));
  const int port = _site->destination().port();
  const CommandResult result =
      curl("/usr/bin/curl", {"--resolve", far_name_at(NOWHERE_IP, port),
                             "http://" + std::string(FAR_NAME) + ":" + std::to_string(port) + "/by-name"});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error << engine_output();
  EXPECT_EQ(result.standard_output, "ok");
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP);
  if (GetParam() == "http") {
    const std::string log = testing::read_text(_site->dir() / "tinyproxy.log");
    EXPECT_NE(log.find("CONNECT " + std::string(FAR_NAME) + ":" + std::to_string(port)), std::string::npos) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Proxies, NameAtTheProxyTest, ::testing::Values("socks5", "http"));

// The name of a TLS connection comes from its ClientHello. The destination speaks no TLS, so
// the program never finishes its handshake; that its hello arrived, from the proxy, is enough.
TEST_F(RulesEndToEndTest, ATlsServerNameTakesTheConnectionToTheNameAtTheProxy) {
  start_engine(record("socks5"));
  const int port = _site->destination().port();
  const std::size_t before = _site->destination().peers().size();
  NetnsProcess client(_site->client(),
                      {"/usr/bin/curl", "-sSk", "--max-time", "30", "--resolve", far_name_at(NOWHERE_IP, port),
                       "https://" + std::string(FAR_NAME) + ":" + std::to_string(port) + "/"},
                      _site->dir() / "tls-client.log");
  EXPECT_TRUE(testing::eventually([&] { return _site->destination().peers().size() > before; }))
      << client.output() << engine_output();
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP);
}

// Switched off, the proxy is asked for the address the program's resolver gave, as before names
// were read.
TEST_F(RulesEndToEndTest, WithNamesAtTheProxySwitchedOffTheProxyIsAskedForTheAddress) {
  Json settings = record("http");
  settings[RESOLVE_NAMES_AT_PROXY_KEY] = false;
  start_engine(settings);
  const int port = _site->destination().port();
  const CommandResult result =
      curl("/usr/bin/curl", {"--resolve", far_name_at(NetnsPair::REMOTE_IP, port),
                             "http://" + std::string(FAR_NAME) + ":" + std::to_string(port) + "/by-address"});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error << engine_output();
  const std::string log = testing::read_text(_site->dir() / "tinyproxy.log");
  const std::string by_address = "CONNECT " + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(port);
  EXPECT_NE(log.find(by_address), std::string::npos) << log;
}

// In global mode (every program chosen) a destination on the user's own network goes out
// directly, while one outside it still goes through the proxy. Without rules, the LAN goes
// through the proxy too: the rules a new settings file starts with are what keep it direct.
TEST_F(RulesEndToEndTest, TheDefaultRulesKeepTheLanDirectInGlobalMode) {
  start_engine(record("socks5"));
  CommandResult result = curl("/usr/bin/curl", {url_at(REMOTE_LAN_IP, "/lan")});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error << engine_output();
  EXPECT_EQ(last_peer(), CLIENT_LAN_IP) << "the LAN destination did not see the client's own address";
  result = curl("/usr/bin/curl", {url_at(NetnsPair::REMOTE_IP, "/outside")});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error;
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP) << "a destination outside the LAN went direct";
  stop_engine();

  Json without_rules = _site->settings("socks5");
  without_rules[ROUTE_RULES_KEY] = Json::array();
  start_engine(without_rules);
  result = curl("/usr/bin/curl", {url_at(REMOTE_LAN_IP, "/lan-without-rules")});
  ASSERT_EQ(result.exit_code, 0) << result.standard_error << engine_output();
  EXPECT_EQ(last_peer(), REMOTE_LAN_IP) << "without rules the LAN goes through the proxy";
}

// A blocked connection is reset as soon as the relay has it: it neither waits for the program's
// first bytes nor reaches the destination. The fastest of a few tries is what the relay costs;
// a slow one only says the machine was busy.
TEST_F(RulesEndToEndTest, ABlockRuleResetsTheConnectionAtOnce) {
  const int port = _site->destination().port();
  Json block = {
      {"networks", Json::array({NetnsPair::REMOTE_IP})}, {"ports", std::to_string(port)}, {"action", "block"}};
  start_engine(record("socks5", {block}));
  const std::size_t peers_before = _site->destination().peers().size();
  long fastest = 1'000'000;
  NetnsScope inside(_site->client());
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto start = Clock::now();
    std::string outcome = "answer";
    try {
      auto connection = connect_tcp(NetnsPair::REMOTE_IP, port, std::chrono::seconds(10));
      wait_readable_until(*connection, start + std::chrono::seconds(10));
      char byte = 0;
      if (connection->receive(&byte, 1) == 0) outcome = "end";
    } catch (const SocketTimeout&) {
      outcome = "silent";
    } catch (const SocketError&) {
      outcome = "reset";
    }
    ASSERT_EQ(outcome, "reset") << engine_output();
    fastest =
        std::min<long>(fastest, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  }
  EXPECT_LT(fastest, 100) << "milliseconds until the reset";
  EXPECT_EQ(_site->destination().peers().size(), peers_before) << "a blocked connection reached the destination";
}

// Each program is pinned by a rule to one proxy of two; every request leaves from its proxy's
// address (several, as a choice taken in turn would show up within them).
TEST_F(RulesEndToEndTest, AProgramPinnedToAProxyAlwaysLeavesFromThatProxy) {
  const auto pin_rule = [](const char* program, int proxy) {
    return Json{{"programs", Json::array({program})}, {"action", "proxy"}, {"proxy", proxy}};
  };
  Json settings = record("socks5", {pin_rule(testing::DivertSite::CHOSEN_NAME, 1), pin_rule("other", 0)});
  settings["proxy_list"].push_back(second_proxy());
  start_engine(settings);
  const struct {
    fs::path program;
    const char* exit_address;
  } pins[] = {{_site->chosen_curl(), SECOND_PROXY_IP}, {_site->other_curl(), NetnsPair::REMOTE_IP}};
  for (const auto& pin : pins) {
    for (int request = 0; request < 3; ++request) {
      const CommandResult result = curl(pin.program, {url_at(NetnsPair::REMOTE_IP, "/pinned")});
      ASSERT_EQ(result.exit_code, 0) << pin.program << ": " << result.standard_error << engine_output();
      EXPECT_EQ(last_peer(), pin.exit_address) << pin.program << ", request " << request;
    }
  }
}

// A server that speaks first gets its client at once: the relay does not wait for a first
// message the client will not send. The same server on an ordinary port shows the wait the
// relay would otherwise add, so the measurement can see it.
TEST_F(RulesEndToEndTest, AServerThatSpeaksFirstIsNotKeptWaitingForTheClient) {
  start_engine(record("socks5"));
  const auto fastest_of_three = [&](int port) {
    long fastest = 1'000'000;
    for (int attempt = 0; attempt < 3; ++attempt) fastest = std::min(fastest, time_to_greeting(port));
    return fastest;
  };
  EXPECT_LT(fastest_of_three(MAIL_PORT), 150) << "milliseconds until the greeting" << engine_output();
  EXPECT_GE(fastest_of_three(_greeter->port()), 290) << "milliseconds until the greeting on an ordinary port";
}

}  // namespace
}  // namespace tovix
