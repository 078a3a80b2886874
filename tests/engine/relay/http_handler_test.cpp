#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "engine/relay/http_handler.h"
#include "tests/support/failure_text.h"
#include "tests/support/loopback_server.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackServer;
using testing::TinyproxyProxy;

const std::string GREETING = "HELLO-FROM-DESTINATION\r\n";

std::string failure_of(const std::function<void()>& action) { return testing::failure_text<ProxyError>(action); }

// Reads one request header and answers with `answer` (sent in pieces of `piece` bytes).
LoopbackServer::Handler scripted_http(std::string answer, std::size_t piece = 1 << 20) {
  return [answer, piece](Socket& connection) {
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos) {
      std::string more = testing::receive_some(connection);
      if (more.empty()) return;
      request += more;
    }
    for (std::size_t at = 0; at < answer.size(); at += piece) {
      connection.send_all(answer.data() + at, std::min(piece, answer.size() - at));
    }
    testing::receive_up_to(connection, 1 << 20);
  };
}

TEST(Base64Test, MatchesTheStandardAlphabetAndPadding) {
  EXPECT_EQ(base64_encode(""), "");
  EXPECT_EQ(base64_encode("f"), "Zg==");
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
  EXPECT_EQ(base64_encode("foo"), "Zm9v");
  EXPECT_EQ(base64_encode("user:pa:ss"), "dXNlcjpwYTpzcw==");
  EXPECT_EQ(base64_encode("\xff\xfe\xfd"), "//79");
}

class HttpHandlerTest : public ::testing::Test {
 protected:
  TinyproxyProxy proxy;
  LoopbackServer destination{testing::greet_then_echo(GREETING)};
};

TEST_F(HttpHandlerTest, AuthenticatesAndDeliversTheBytesADestinationSendsFirst) {
  auto tunnel = HttpHandler().handle_connection("127.0.0.1", destination.port(), "localhost", proxy.port(),
                                                testing::PROXY_USER, testing::PROXY_PASSWORD);
  EXPECT_EQ(testing::receive_up_to(*tunnel, GREETING.size()), GREETING);
  const std::string text = "ping through http";
  tunnel->send_all(text.data(), text.size());
  EXPECT_EQ(testing::receive_up_to(*tunnel, text.size()), text);
}

TEST_F(HttpHandlerTest, MissingOrWrongCredentialsAreReportedWithoutThePassword) {
  const std::string anonymous = failure_of([&] {
    HttpHandler().handle_connection("127.0.0.1", destination.port(), "127.0.0.1", proxy.port(), "", "");
  });
  EXPECT_NE(anonymous.find("requires authentication (407"), std::string::npos) << anonymous;
  const std::string wrong = failure_of([&] {
    HttpHandler().handle_connection("127.0.0.1", destination.port(), "127.0.0.1", proxy.port(), testing::PROXY_USER,
                                    "not-the-password");
  });
  EXPECT_NE(wrong.find("user name or password rejected (40"), std::string::npos) << wrong;
  EXPECT_EQ(wrong.find("not-the-password"), std::string::npos);
}

TEST_F(HttpHandlerTest, UnreachableDestinationIsAFailureStatus) {
  const int closed_port = testing::free_loopback_port();
  const std::string text = failure_of([&] {
    HttpHandler().handle_connection("127.0.0.1", closed_port, "127.0.0.1", proxy.port(), testing::PROXY_USER,
                                    testing::PROXY_PASSWORD);
  });
  EXPECT_NE(text.find("CONNECT to 127.0.0.1:" + std::to_string(closed_port) + " refused: 5"), std::string::npos) << text;
}

// tinyproxy resolves the name itself (its log shows "CONNECT localhost:port"); a name it cannot
// resolve comes back as a server error, which for a name may mean just that.
TEST_F(HttpHandlerTest, DestinationByNameIsResolvedAtTheProxy) {
  const auto name = testing::proxy_loopback_name();
  if (!name) GTEST_SKIP() << "localhost also has an IPv6 address on this machine";
  auto tunnel = HttpHandler().handle_connection(*name, destination.port(), "127.0.0.1", proxy.port(),
                                                testing::PROXY_USER, testing::PROXY_PASSWORD);
  EXPECT_EQ(testing::receive_up_to(*tunnel, GREETING.size()), GREETING);

  const auto unknown = testing::thrown<ProxyError>([&] {
    HttpHandler().handle_connection("no-such-host.invalid", 443, "127.0.0.1", proxy.port(), testing::PROXY_USER,
                                    testing::PROXY_PASSWORD);
  });
  ASSERT_TRUE(unknown);
  EXPECT_TRUE(unknown->name_not_resolved()) << unknown->what();
  EXPECT_TRUE(unknown->at_destination());

  const auto refused = testing::thrown<ProxyError>([&] {
    HttpHandler().handle_connection("127.0.0.1", testing::free_loopback_port(), "127.0.0.1", proxy.port(),
                                    testing::PROXY_USER, testing::PROXY_PASSWORD);
  });
  ASSERT_TRUE(refused);
  EXPECT_FALSE(refused->name_not_resolved());
}

TEST(HttpHandlerScriptedTest, ServerErrorsForANameMayMeanItDidNotResolve) {
  const std::vector<std::tuple<const char*, const char*, bool>> cases{
      {"HTTP/1.1 502 Bad Gateway\r\n\r\n", "www.example.com", true},
      {"HTTP/1.1 503 Service Unavailable\r\n\r\n", "www.example.com", true},
      {"HTTP/1.1 502 Bad Gateway\r\n\r\n", "192.0.2.1", false},
      {"HTTP/1.1 403 Forbidden\r\n\r\n", "www.example.com", false},
  };
  for (const auto& [answer, destination, expected] : cases) {
    LoopbackServer proxy(scripted_http(answer));
    const auto error = testing::thrown<ProxyError>(
        [&] { HttpHandler().handle_connection(destination, 443, "127.0.0.1", proxy.port(), "", ""); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->name_not_resolved(), expected) << answer << destination;
  }
}

TEST(HttpHandlerScriptedTest, OnlyA2xxStatusOpensTheTunnel) {
  LoopbackServer bad_gateway(scripted_http("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n"));
  EXPECT_NE(failure_of([&] { HttpHandler().handle_connection("10.0.0.1", 443, "127.0.0.1", bad_gateway.port(), "", ""); })
                .find("refused: 502 Bad Gateway"),
            std::string::npos);
  LoopbackServer redirect(scripted_http("HTTP/1.1 302 Found\r\n\r\n"));
  EXPECT_NE(failure_of([&] { HttpHandler().handle_connection("10.0.0.1", 443, "127.0.0.1", redirect.port(), "", ""); })
                .find("302"),
            std::string::npos);
  LoopbackServer garbage(scripted_http("SSH-2.0-OpenSSH\r\n\r\n"));
  EXPECT_NE(failure_of([&] { HttpHandler().handle_connection("10.0.0.1", 443, "127.0.0.1", garbage.port(), "", ""); })
                .find("not an HTTP response"),
            std::string::npos);
}

// Header and first tunnelled bytes in one segment, or the header in tiny pieces with the blank
// line split across them: not one tunnelled byte may be swallowed.
TEST(HttpHandlerScriptedTest, HeaderIsReadExactlyUpToItsEnd) {
  const std::string answer = "HTTP/1.1 200 Connection established\r\nProxy-Agent: test\r\n\r\n";
  for (std::size_t piece : {std::size_t{1 << 20}, std::size_t{1}, std::size_t{3}}) {
    LoopbackServer proxy(scripted_http(answer + GREETING, piece));
    auto tunnel = HttpHandler().handle_connection("10.0.0.1", 443, "127.0.0.1", proxy.port(), "", "");
    EXPECT_EQ(testing::receive_up_to(*tunnel, GREETING.size()), GREETING) << "piece " << piece;
  }
}

TEST(HttpHandlerScriptedTest, ProxyClosingOrStallingMidHandshake) {
  LoopbackServer closing(scripted_http("HTTP/1.1 200 OK\r\n"));
  // The scripted peer waits for our close, so make it close by itself: answer, then end.
  LoopbackServer half([](Socket& connection) {
    testing::receive_some(connection);
    connection.send_all("HTTP/1.1 200", 12);
  });
  EXPECT_NE(failure_of([&] { HttpHandler().handle_connection("10.0.0.1", 443, "127.0.0.1", half.port(), "", ""); })
                .find("inside the response header"),
            std::string::npos);

  HttpHandler impatient(HandshakeTimeouts{1s, 200ms});
  EXPECT_NE(failure_of([&] { impatient.handle_connection("10.0.0.1", 443, "127.0.0.1", closing.port(), "", ""); })
                .find("timed out"),
            std::string::npos);

  const int port = testing::free_loopback_port();
  EXPECT_NE(failure_of([&] { HttpHandler().handle_connection("10.0.0.1", 443, "127.0.0.1", port, "", ""); })
                .find("HTTP proxy 127.0.0.1:" + std::to_string(port)),
            std::string::npos);
}

}  // namespace
}  // namespace tovix
