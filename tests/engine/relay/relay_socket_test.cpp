// The socket layer the relay stands on: closing from any thread, waking a blocked owner,
// time-outs and name resolution.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/socket.h"
#include "tests/support/failure_text.h"
#include "tests/support/loopback_server.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;

TEST(RelaySocketTest, CloseIsIdempotentFromManyThreadsAndLaterUseFailsCleanly) {
  testing::LoopbackServer echo(testing::greet_then_echo());
  auto socket = connect_tcp("127.0.0.1", echo.port(), 10s);
  std::vector<std::thread> closers;
  for (int i = 0; i < 8; ++i) closers.emplace_back([&] { socket->close(); socket->shutdown(); });
  for (auto& t : closers) t.join();
  EXPECT_TRUE(socket->is_closed());
  EXPECT_THROW(socket->send_all("x", 1), SocketError);
  EXPECT_THROW(wait_readable({socket.get()}, 10ms), SocketError);
}

TEST(RelaySocketTest, ShutdownFromAnotherThreadWakesTheOwnersWaitAndReceive) {
  testing::LoopbackServer silent([](Socket& connection) { testing::receive_up_to(connection, 1 << 20); });
  auto socket = connect_tcp("127.0.0.1", silent.port(), 10s);
  std::thread waker([&] {
    EXPECT_TRUE(testing::eventually([&] { return silent.accepted() == 1; }));
    socket->shutdown();
  });
  // Without the shutdown this would wait for a minute; the owner sees end-of-stream instead.
  EXPECT_TRUE(wait_readable({socket.get()}, 60s)[0].readable || socket->is_shut_down());
  char byte;
  EXPECT_EQ(socket->receive(&byte, 1), 0u);
  waker.join();
  EXPECT_FALSE(socket->is_closed()) << "the owner closes, not the waker";
}

TEST(RelaySocketTest, ReceiveExactHonoursItsDeadlineAndEndOfStream) {
  testing::LoopbackServer two_bytes_then_close([](Socket& connection) { connection.send_all("ab", 2); });
  auto socket = connect_tcp("127.0.0.1", two_bytes_then_close.port(), 10s);
  char buffer[4];
  EXPECT_NE(testing::failure_text<SocketError>([&] {
              receive_exact(*socket, buffer, 4, std::chrono::steady_clock::now() + 30s);
            }).find("closed by peer"),
            std::string::npos);

  testing::LoopbackServer silent([](Socket& connection) { testing::receive_up_to(connection, 1 << 20); });
  auto quiet = connect_tcp("127.0.0.1", silent.port(), 10s);
  EXPECT_THROW(receive_exact(*quiet, buffer, 1, std::chrono::steady_clock::now() + 100ms), SocketTimeout);
}

TEST(RelaySocketTest, ResolvesIpv4AndReportsFailures) {
  EXPECT_EQ(resolve_ipv4("127.0.0.1"), std::vector<std::string>{"127.0.0.1"});
  const auto local = resolve_ipv4("localhost");
  EXPECT_NE(std::find(local.begin(), local.end(), "127.0.0.1"), local.end());
  EXPECT_THROW(resolve_ipv4("no-such-host.invalid"), SocketError);
  const int closed = testing::free_loopback_port();
  EXPECT_THROW(connect_tcp("127.0.0.1", closed, 10s), SocketError);
}

}  // namespace
}  // namespace tovix
