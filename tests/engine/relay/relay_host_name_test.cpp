// The relay reads the host name from a client's first bytes, asks the proxy for it, and passes
// those bytes on unchanged; clients of servers that speak first see no wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/sniff/host_sniffer.h"
#include "tests/engine/relay/relay_test_fixture.h"
#include "tests/engine/sniff/hello_builder.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackServer;

// A proxy stand-in: records what it is asked for and connects every tunnel to one loopback
// server. It resolves only the names it was given and answers others as a proxy does that
// cannot resolve them.
struct ScriptedProxy {
  int server_port = 0;
  std::vector<std::string> resolvable;
  std::mutex lock;
  std::vector<std::string> asked;

  std::vector<std::string> asked_so_far() {
    std::lock_guard guard(lock);
    return asked;
  }

  HandlerFactory factory() {
    return [this](const std::string&) { return std::make_unique<Handler>(*this); };
  }

  struct Handler : UpstreamHandler {
    explicit Handler(ScriptedProxy& proxy) : proxy(proxy) {}
    std::shared_ptr<Socket> handle_connection(const std::string& destination, int, const std::string&, int,
                                              const std::string&, const std::string&) override {
      {
        std::lock_guard guard(proxy.lock);
        proxy.asked.push_back(destination);
      }
      if (is_host_name_destination(destination) &&
          std::find(proxy.resolvable.begin(), proxy.resolvable.end(), destination) == proxy.resolvable.end()) {
        throw ProxyError("scripted proxy: host unreachable", true, true);
      }
      auto socket = Socket::create_tcp();
      socket->connect("127.0.0.1", proxy.server_port, 10s);
      return socket;
    }
    ScriptedProxy& proxy;
  };
};

class RelayHostNameTest : public RelayHubTest {
 protected:
  void start(UpstreamChooser chooser = {}) {
    proxy.server_port = echo.port();
    proxy.resolvable = {"known.example"};
    RelayOptions options;
    options.read_host_names = true;
    options.chooser = std::move(chooser);
    start_hub(proxy_entry("socks5", 1080), proxy.factory(), options);
  }

  ScriptedProxy proxy;
};

std::string tls_hello(const std::string& host) { return testing::client_hello({testing::server_name_extension(host)}); }

// Sends `bytes` in `pieces` separate writes, each its own segment on the way to the relay.
void send_in_pieces(Client& client, const std::string& bytes, std::size_t pieces) {
  const std::size_t step = (bytes.size() + pieces - 1) / pieces;
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    client.send(bytes.substr(at, step));
    std::this_thread::sleep_for(5ms);  // lets each piece leave as a segment of its own
  }
}

TEST_F(RelayHostNameTest, TheProxyIsAskedForTheNameAndTheFirstBytesArriveUnchanged) {
  start();
  struct Case {
    const char* what;
    std::string first_bytes;
    std::size_t pieces;
    std::vector<std::string> asked;
    std::string shown_name;
  };
  const std::string address = "127.0.0.1";
  const std::vector<Case> cases{
      {"a ClientHello in one segment", tls_hello("known.example"), 1, {"known.example"}, "known.example"},
      {"a ClientHello split over segments", tls_hello("known.example"), 7, {"known.example"}, "known.example"},
      {"a ClientHello split into records",
       testing::in_records(testing::handshake_of(tls_hello("Known.Example")), 20),
       3,
       {"known.example"},
       "known.example"},
      {"an HTTP request", "GET / HTTP/1.1\r\nHost: known.example:8080\r\n\r\n", 2, {"known.example"}, "known.example"},
      {"a name the proxy cannot resolve",
       tls_hello("unknown.example"),
       2,
       {"unknown.example", address},
       "unknown.example"},
      {"no name in a binary protocol",
       std::string("\x00\x05\xff\x10"
                   "binary",
                   10),
       1,
       {address},
       ""},
      {"a hostile ClientHello length", "\x16\x03\x01\xff\xff\x01\xff\xff\xff", 1, {address}, ""},
  };
  for (const Case& one : cases) {
    SCOPED_TRACE(one.what);
    const std::size_t before = proxy.asked_so_far().size();
    auto client = relayed_client(443);
    send_in_pieces(*client, one.first_bytes, one.pieces);
    EXPECT_EQ(client->receive(one.first_bytes.size()), one.first_bytes) << "passed on once, unchanged";
    client->send("after");
    EXPECT_EQ(client->receive(5), "after");
    const auto traffic = hub->connection_traffic();
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].host_name, one.shown_name);
    const auto asked = proxy.asked_so_far();
    EXPECT_EQ(std::vector<std::string>(asked.begin() + static_cast<std::ptrdiff_t>(before), asked.end()), one.asked);
    client->socket->close();
    ASSERT_TRUE(testing::eventually([&] { return hub->client_count() == 0; }));
  }
}

TEST_F(RelayHostNameTest, ChooserSeesTheNameAndMayKeepItFromTheProxy) {
  std::mutex lock;
  std::vector<std::optional<std::string>> seen;
  start([&](const ConnectionRequest& request) {
    std::lock_guard guard(lock);
    seen.push_back(request.host_name);
    UpstreamChoice choice = UpstreamChoice::relay_proxy();
    choice.name_to_proxy = false;
    choice.reason = "rule 2";
    return choice;
  });
  auto client = relayed_client(443);
  const std::string hello = tls_hello("known.example");
  client->send(hello);
  EXPECT_EQ(client->receive(hello.size()), hello);
  EXPECT_EQ(proxy.asked_so_far(), std::vector<std::string>{"127.0.0.1"});
  const auto traffic = hub->connection_traffic();
  ASSERT_EQ(traffic.size(), 1u);
  EXPECT_EQ(traffic[0].reason, "rule 2");
  EXPECT_EQ(traffic[0].host_name, "known.example");
  std::lock_guard guard(lock);
  // Asked once before the name was read (a rule may settle the way at once) and once with it.
  EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{std::nullopt, std::string("known.example")}));
}

TEST_F(RelayHostNameTest, AServerThatSpeaksFirstIsNotKeptWaiting) {
  LoopbackServer greeter{testing::greet_then_echo("hello")};
  start();
  proxy.server_port = greeter.port();
  for (int port : SERVER_FIRST_PORTS) {
    SCOPED_TRACE(port);
    const auto started = std::chrono::steady_clock::now();
    auto client = relayed_client(port);
    EXPECT_EQ(client->receive(5), "hello");
    EXPECT_LT(std::chrono::steady_clock::now() - started, SNIFF_WAIT) << "no wait for first bytes";
  }
  // Elsewhere a silent client is waited for, then goes by address.
  const auto started = std::chrono::steady_clock::now();
  auto silent = relayed_client(443);
  EXPECT_EQ(silent->receive(5), "hello");
  EXPECT_GE(std::chrono::steady_clock::now() - started, SNIFF_WAIT);
  EXPECT_EQ(proxy.asked_so_far().back(), "127.0.0.1");
}

TEST_F(RelayHostNameTest, AClientThatEndsWhileTheNameIsReadStillGetsItsBytesThrough) {
  start();
  auto client = relayed_client(443);
  const std::string part = tls_hello("known.example").substr(0, 40);
  client->send(part);
  client->socket->shutdown_send();
  EXPECT_EQ(client->receive(part.size() + 1), part) << "the partial hello went on, then the end";
  EXPECT_EQ(proxy.asked_so_far(), std::vector<std::string>{"127.0.0.1"});
}

}  // namespace
}  // namespace tovix
