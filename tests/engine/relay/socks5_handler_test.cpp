#include <gtest/gtest.h>

#include <vector>

#include "engine/relay/socks5_handler.h"
#include "tests/support/failure_text.h"
#include "tests/support/loopback_server.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackServer;
using testing::MicrosocksProxy;

const std::string GREETING = "HELLO-FROM-DESTINATION\r\n";

void expect_echo(Socket& tunnel, const std::string& text) {
  tunnel.send_all(text.data(), text.size());
  EXPECT_EQ(testing::receive_up_to(tunnel, text.size()), text);
}

std::string failure_of(const std::function<void()>& action) { return testing::failure_text<ProxyError>(action); }

// A SOCKS5 proxy that answers the greeting with no-authentication, reads the CONNECT request
// and then sends `reply` verbatim.
LoopbackServer::Handler scripted_socks5(std::string reply) {
  return [reply](Socket& connection) {
    testing::receive_up_to(connection, 3);
    connection.send_all("\x05\x00", 2);
    testing::receive_up_to(connection, 10);
    connection.send_all(reply.data(), reply.size());
    testing::receive_some(connection);
  };
}

class Socks5HandlerTest : public ::testing::Test {
 protected:
  MicrosocksProxy proxy;
  LoopbackServer destination{testing::greet_then_echo(GREETING)};
};

TEST_F(Socks5HandlerTest, AuthenticatesAndDeliversTheBytesADestinationSendsFirst) {
  Socks5Handler handler;
  auto tunnel = handler.handle_connection("127.0.0.1", destination.port(), "127.0.0.1", proxy.port(),
                                          testing::PROXY_USER, testing::PROXY_PASSWORD);
  EXPECT_EQ(testing::receive_up_to(*tunnel, GREETING.size()), GREETING);
  expect_echo(*tunnel, "ping through socks5");
}

TEST_F(Socks5HandlerTest, ProxyHostMayBeANameAndNoAuthenticationIsOfferedWithoutUser) {
  MicrosocksProxy open_proxy("", "");
  auto tunnel = Socks5Handler().handle_connection("127.0.0.1", destination.port(), "localhost", open_proxy.port(), "", "");
  EXPECT_EQ(testing::receive_up_to(*tunnel, GREETING.size()), GREETING);
}

TEST_F(Socks5HandlerTest, RefusalsAreReadableAndNeverShowThePassword) {
  const std::string wrong = failure_of([&] {
    Socks5Handler().handle_connection("127.0.0.1", destination.port(), "127.0.0.1", proxy.port(), testing::PROXY_USER,
                                      "not-the-password");
  });
  EXPECT_NE(wrong.find("rejected"), std::string::npos) << wrong;
  EXPECT_EQ(wrong.find("not-the-password"), std::string::npos) << wrong;

  const std::string anonymous = failure_of([&] {
    Socks5Handler().handle_connection("127.0.0.1", destination.port(), "127.0.0.1", proxy.port(), "", "");
  });
  EXPECT_NE(anonymous.find("requires authentication"), std::string::npos) << anonymous;

  const int closed_port = testing::free_loopback_port();
  const std::string unreachable = failure_of([&] {
    Socks5Handler().handle_connection("127.0.0.1", closed_port, "127.0.0.1", proxy.port(), testing::PROXY_USER,
                                      testing::PROXY_PASSWORD);
  });
  EXPECT_NE(unreachable.find("CONNECT to 127.0.0.1:" + std::to_string(closed_port) + " failed"), std::string::npos)
      << unreachable;
}

// The proxy is asked for the name and resolves it itself; a name it cannot resolve is a
// failure that says so, which one by address never is.
TEST_F(Socks5HandlerTest, DestinationByNameIsResolvedAtTheProxy) {
  const auto name = testing::proxy_loopback_name();
  if (!name) GTEST_SKIP() << "localhost also has an IPv6 address on this machine";
  auto tunnel = Socks5Handler().handle_connection(*name, destination.port(), "127.0.0.1", proxy.port(),
                                                  testing::PROXY_USER, testing::PROXY_PASSWORD);
  EXPECT_EQ(testing::receive_up_to(*tunnel, GREETING.size()), GREETING);
  expect_echo(*tunnel, "ping by name");

  const auto unknown = testing::thrown<ProxyError>([&] {
    Socks5Handler().handle_connection("no-such-host.invalid", 443, "127.0.0.1", proxy.port(), testing::PROXY_USER,
                                      testing::PROXY_PASSWORD);
  });
  ASSERT_TRUE(unknown);
  EXPECT_TRUE(unknown->name_not_resolved()) << unknown->what();
  EXPECT_NE(std::string(unknown->what()).find("CONNECT to no-such-host.invalid:443 failed"), std::string::npos);

  const auto refused = testing::thrown<ProxyError>([&] {
    Socks5Handler().handle_connection("127.0.0.1", testing::free_loopback_port(), "127.0.0.1", proxy.port(),
                                      testing::PROXY_USER, testing::PROXY_PASSWORD);
  });
  ASSERT_TRUE(refused);
  EXPECT_FALSE(refused->name_not_resolved());
}

TEST(Socks5HandlerFailureTest, ProxyNotListening) {
  const int port = testing::free_loopback_port();
  const std::string text = failure_of([&] { Socks5Handler().handle_connection("127.0.0.1", 80, "127.0.0.1", port, "", ""); });
  EXPECT_NE(text.find("SOCKS5 proxy 127.0.0.1:" + std::to_string(port)), std::string::npos) << text;
}

TEST(Socks5HandlerFailureTest, ProxyClosingMidHandshake) {
  LoopbackServer proxy([](Socket& connection) { testing::receive_up_to(connection, 3); });
  const std::string text = failure_of([&] { Socks5Handler().handle_connection("127.0.0.1", 80, "127.0.0.1", proxy.port(), "", ""); });
  EXPECT_NE(text.find("handshake failed"), std::string::npos) << text;
}

TEST(Socks5HandlerFailureTest, SilentProxyTimesOut) {
  LoopbackServer proxy([](Socket& connection) { testing::receive_up_to(connection, 1 << 20); });
  Socks5Handler handler(HandshakeTimeouts{1s, 200ms});
  const std::string text = failure_of([&] { handler.handle_connection("127.0.0.1", 80, "127.0.0.1", proxy.port(), "", ""); });
  EXPECT_NE(text.find("timed out"), std::string::npos) << text;
}

TEST(Socks5HandlerFailureTest, EveryReplyCodeBecomesText) {
  const std::vector<std::pair<char, std::string>> codes{
      {1, "general SOCKS server failure"}, {2, "not allowed by ruleset"}, {3, "network unreachable"},
      {4, "host unreachable"},             {5, "connection refused"},     {6, "TTL expired"},
      {7, "command not supported"},        {8, "address type not supported"}, {9, "unknown reply code 9"}};
  for (const auto& [code, text] : codes) {
    LoopbackServer proxy(scripted_socks5(std::string("\x05", 1) + code + std::string("\x00\x01\x00\x00\x00\x00\x00\x00", 8)));
    const std::string error = failure_of([&] { Socks5Handler().handle_connection("10.0.0.1", 443, "127.0.0.1", proxy.port(), "", ""); });
    EXPECT_NE(error.find(text), std::string::npos) << int(code) << ": " << error;
  }
}

// Which refusals may mean an unresolved name: only for a destination given by name, and only
// the answers proxies give to a failed look-up or to names they do not take.
TEST(Socks5HandlerFailureTest, RefusalsOfANameThatMayNotHaveResolved) {
  const std::string maybe_unresolved = "\x01\x03\x04\x08";
  for (char code = 1; code <= 8; ++code) {
    LoopbackServer proxy(
        scripted_socks5(std::string("\x05", 1) + code + std::string("\x00\x01\x00\x00\x00\x00\x00\x00", 8)));
    for (const std::string destination : {"www.example.com", "192.0.2.1"}) {
      const auto error = testing::thrown<ProxyError>(
          [&] { Socks5Handler().handle_connection(destination, 443, "127.0.0.1", proxy.port(), "", ""); });
      ASSERT_TRUE(error);
      const bool expected = destination != "192.0.2.1" && maybe_unresolved.find(code) != std::string::npos;
      EXPECT_EQ(error->name_not_resolved(), expected) << int(code) << " " << destination;
      EXPECT_EQ(error->at_destination(), code >= 3 && code <= 6) << int(code) << " " << destination;
    }
  }
}

// The bound address comes in three forms; the data right behind it belongs to the tunnel.
TEST(Socks5HandlerFailureTest, BoundAddressIsConsumedExactlyInEachForm) {
  const std::vector<std::string> replies{
      std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90", 10),
      std::string("\x05\x00\x00\x03\x09localhost\x1f\x90", 16),
      std::string("\x05\x00\x00\x04", 4) + std::string(16, '\x01') + std::string("\x1f\x90", 2)};
  for (const std::string& reply : replies) {
    LoopbackServer proxy(scripted_socks5(reply + "DATA"));
    auto tunnel = Socks5Handler().handle_connection("10.0.0.1", 443, "127.0.0.1", proxy.port(), "", "");
    EXPECT_EQ(testing::receive_up_to(*tunnel, 4), "DATA");
  }
}

}  // namespace
}  // namespace tovix
