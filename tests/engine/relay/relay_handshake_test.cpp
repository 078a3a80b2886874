// The relay opens tunnels on its own event loop: proxies that answer in pieces, that stall, that
// cannot resolve a name, or that are given by host name, and many handshakes at once.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "tests/engine/relay/relay_test_fixture.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;
using spdlog::level::debug;
using testing::LoopbackServer;

const std::string TUNNEL_GREETING = "HELLO";

// Sends `bytes` a few at a time, each write its own segment, the way a slow proxy's answer
// arrives; the reader must take each answer whole, and not one byte of the tunnel with it.
void send_in_pieces(Socket& socket, const std::string& bytes, std::size_t piece) {
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    socket.send_all(bytes.data() + at, std::min(piece, bytes.size() - at));
    std::this_thread::sleep_for(1ms);  // the shape of the traffic, not a synchronisation
  }
}

// A proxy stand-in that speaks SOCKS5 (with sign-in) or HTTP CONNECT, answers in small pieces,
// resolves only "known.example" among names, and is itself the destination: once the tunnel
// stands it greets (in the same write as the end of its answer) and echoes.
class PiecewiseProxy {
 public:
  explicit PiecewiseProxy(std::string type) : _type(std::move(type)) {}

  int port() const { return _server.port(); }
  std::vector<std::string> asked() {
    std::lock_guard guard(_lock);
    return _asked;
  }

 private:
  static bool resolvable(const std::string& destination) {
    return !is_host_name_destination(destination) || destination == "known.example";
  }

  void _serve(Socket& connection) {
    const bool opened = _type == "http" ? _http(connection) : _socks5(connection);
    if (!opened) return;
    for (std::string bytes; !(bytes = testing::receive_some(connection)).empty();) {
      connection.send_all(bytes.data(), bytes.size());
    }
  }

  void _record(const std::string& destination) {
    std::lock_guard guard(_lock);
    _asked.push_back(destination);
  }

  bool _socks5(Socket& connection) {
    const std::string greeting = testing::receive_up_to(connection, 4);  // two methods offered
    if (greeting.size() != 4) return false;
    send_in_pieces(connection, std::string("\x05\x02", 2), 1);
    const std::string head = testing::receive_up_to(connection, 2);
    if (head.size() != 2) return false;
    testing::receive_up_to(connection, static_cast<unsigned char>(head[1]));
    const std::string password_length = testing::receive_up_to(connection, 1);
    if (password_length.size() != 1) return false;
    testing::receive_up_to(connection, static_cast<unsigned char>(password_length[0]));
    send_in_pieces(connection, std::string("\x01\x00", 2), 1);
    const std::string request = testing::receive_up_to(connection, 5);
    if (request.size() != 5) return false;
    std::string destination = "127.0.0.1";
    if (request[3] == 0x03) {
      destination = testing::receive_up_to(connection, static_cast<unsigned char>(request[4]));
      testing::receive_up_to(connection, 2);
    } else {
      testing::receive_up_to(connection, 5);
    }
    _record(destination);
    if (!resolvable(destination)) {
      send_in_pieces(connection, std::string("\x05\x04\x00\x01\x00\x00\x00\x00\x00\x00", 10), 3);
      return false;
    }
    send_in_pieces(connection, std::string("\x05\x00\x00\x03\x04host\x1f\x90", 11) + TUNNEL_GREETING, 1);
    return true;
  }

  bool _http(Socket& connection) {
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
      const std::string more = testing::receive_some(connection, 1);
      if (more.empty()) return false;
      head += more;
    }
    const std::size_t from = head.find(' ') + 1;
    const std::string destination = head.substr(from, head.find(':', from) - from);
    _record(destination);
    if (!resolvable(destination)) {
      send_in_pieces(connection, "HTTP/1.1 502 Bad Gateway\r\n\r\n", 4);
      return false;
    }
    send_in_pieces(connection, "HTTP/1.1 200 Connection established\r\n\r\n" + TUNNEL_GREETING, 3);
    return true;
  }

  const std::string _type;
  std::mutex _lock;
  std::vector<std::string> _asked;
  LoopbackServer _server{[this](Socket& connection) { _serve(connection); }};
};

class RelayHandshakeTest : public RelayHubTest {
 protected:
  // A relay whose proxy is `config`, with the real handlers given `timeouts`, reading host names.
  void start(Json config, HandshakeTimeouts timeouts = {}) {
    RelayOptions options;
    options.read_host_names = true;
    hub = std::make_unique<RelayHub>(
        nat, std::move(config),
        [timeouts](const std::string& type) { return make_upstream_handler_with(type, timeouts); },
        [this](const UpstreamOutcome& outcome) {
          std::lock_guard guard(lock);
          outcomes.push_back(outcome);
        },
        options);
    relay_port = hub->start().second;
  }
  std::vector<UpstreamOutcome> outcomes_so_far() {
    std::lock_guard guard(lock);
    return outcomes;
  }

  std::mutex lock;
  std::vector<UpstreamOutcome> outcomes;
};

// The first bytes name the host; the proxy is asked for it, and for the address when it cannot
// resolve it. Each tunnel is reported once, as it finally turned out.
TEST_F(RelayHandshakeTest, PiecewiseAnswersNameFallbackAndFirstBytesUnchanged) {
  struct Case {
    const char* type;
    const char* host;
    std::vector<std::string> asked;
  };
  const std::vector<Case> cases{
      {"socks5", "known.example", {"known.example"}},
      {"socks5", "unknown.example", {"unknown.example", "127.0.0.1"}},
      {"http", "known.example", {"known.example"}},
      {"http", "unknown.example", {"unknown.example", "127.0.0.1"}},
  };
  for (const Case& one : cases) {
    SCOPED_TRACE(std::string(one.type) + " " + one.host);
    PiecewiseProxy proxy(one.type);
    start(proxy_entry(one.type, proxy.port()));
    auto client = relayed_client(8080);
    const std::string request = std::string("GET / HTTP/1.1\r\nHost: ") + one.host + "\r\n\r\n";
    client->send(request);
    EXPECT_EQ(client->receive(TUNNEL_GREETING.size() + request.size()), TUNNEL_GREETING + request)
        << "the bytes after the proxy's answer and the client's first bytes, each once";
    client->send("after");
    EXPECT_EQ(client->receive(5), "after");
    EXPECT_EQ(proxy.asked(), one.asked);
    EXPECT_EQ(log.contains_fragment(debug, std::string("代理未能解析 ") + one.host), one.asked.size() > 1);
    const auto heard = outcomes_so_far();
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_TRUE(heard[0].succeeded) << heard[0].error;
    client->socket->close();
    hub->stop();
    ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
    hub.reset();
    outcomes.clear();
  }
}

// A proxy that takes the connection and never answers: the handshake's time-out ends it, as a
// failure of the proxy; a stop ends such handshakes at once, whatever their time-out.
TEST_F(RelayHandshakeTest, StalledProxyTimesOutAndStopDoesNotWaitForIt) {
  LoopbackServer silent(testing::never_answer());
  start(proxy_entry("socks5", silent.port()), HandshakeTimeouts{2s, 300ms});
  auto timed_out = relayed_client(echo.port());
  EXPECT_TRUE(timed_out->sees_end());
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  EXPECT_TRUE(log.contains_fragment(debug, "handshake timed out"));
  const auto heard = outcomes_so_far();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_FALSE(heard[0].succeeded);
  EXPECT_TRUE(heard[0].at_proxy);
  hub.reset();

  // Time-outs far beyond the wait below.
  start(proxy_entry("socks5", silent.port()), HandshakeTimeouts{10min, 10min});
  std::vector<std::unique_ptr<Client>> stalled;
  for (int i = 0; i < 20; ++i) stalled.push_back(relayed_client(echo.port()));
  ASSERT_TRUE(testing::eventually([&] { return silent.accepted() == 21; }));
  hub->stop();
  EXPECT_TRUE(hub->wait_until_idle(END_TIMEOUT)) << "handshakes still held after the stop";
  for (auto& client : stalled) EXPECT_TRUE(client->sees_end());
  EXPECT_EQ(outcomes_so_far().size(), 1u) << "a stopped handshake says nothing about the proxy";
}

// The proxy's host name is looked up for each connection, off the loop.
TEST_F(RelayHandshakeTest, ProxyGivenByHostName) {
  testing::MicrosocksProxy microsocks;
  Json by_name = proxy_entry("socks5", microsocks.port());
  by_name["host"] = "localhost";
  start(by_name);
  auto client = relayed_client(echo.port());
  client->send("by name");
  EXPECT_EQ(client->receive(7), "by name");
  client->socket->close();
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  hub.reset();

  by_name["host"] = "no-such-proxy.invalid";
  start(by_name);
  auto failed = relayed_client(echo.port());
  EXPECT_TRUE(failed->sees_end());
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  const auto heard = outcomes_so_far();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_TRUE(heard[0].succeeded);
  EXPECT_FALSE(heard[1].succeeded);
  EXPECT_TRUE(heard[1].at_proxy);
  EXPECT_NE(heard[1].error.find("no-such-proxy.invalid"), std::string::npos) << heard[1].error;
  EXPECT_FALSE(nat->contains(failed->port));
}

}  // namespace
}  // namespace tovix
