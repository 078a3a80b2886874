// How bytes and ends move through a relay: each direction on its own, half closes passed on,
// and the two ways a relay ends its connections.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "engine/relay/direct_handler.h"
#include "tests/engine/relay/relay_test_fixture.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackServer;

// A client that writes a whole body before it reads while the destination streams its answer at
// the same time (bidirectional streams, rsync over ssh, gRPC). With socket buffers of the size
// Windows uses, the client finishes writing only if its bytes keep moving while nobody reads the
// answer yet. The relay's upstream is the destination itself (the direct way out) or a proxy that
// moves each direction on its own (tinyproxy); microsocks does not: it blocks writing one way
// while the other waits, so through it the exchange stands still or not by chance.
class BothWaysAtOnceTest : public RelayHubTest, public ::testing::WithParamInterface<std::string> {
 protected:
  static constexpr std::uint64_t kSize = 16ull << 20;
  static constexpr int kBuffer = 64 * 1024;

  void SetUp() override {
    if (GetParam() == "http") proxy = start_proxy("http");
  }

  // Each side's digest of what it received; false when the exchange stood still.
  bool exchange(Socket& client, std::uint64_t& client_digest) {
    auto done = std::async(std::launch::async, [&] {
      testing::send_pattern(client, 1, kSize);
      return testing::receive_digest(client, kSize);
    });
    if (done.wait_for(120s) != std::future_status::ready) {
      client.shutdown();  // wakes the blocked send
      done.wait();
      return false;
    }
    try {
      client_digest = done.get();
      return true;
    } catch (const std::exception& error) {
      ADD_FAILURE() << error.what();
      return false;
    }
  }

  std::promise<std::uint64_t> destination_digest;
  // Reads and writes the whole size at once.
  LoopbackServer destination{[this](Socket& connection) {
    std::thread sender([&] {
      try {
        testing::send_pattern(connection, 2, kSize);
      } catch (const SocketError&) {
      }
    });
    try {
      destination_digest.set_value(testing::receive_digest(connection, kSize));
    } catch (const std::exception&) {
      destination_digest.set_value(0);
    }
    sender.join();
    testing::receive_up_to(connection, 1);
  }};
  std::unique_ptr<testing::UpstreamProxy> proxy;
};

TEST_P(BothWaysAtOnceTest, WorksWithoutTheRelay) {
  std::shared_ptr<Socket> client = Socket::create_tcp();
  client->set_buffer_sizes(kBuffer);
  if (proxy) {
    client = make_upstream_handler("http")->handle_connection(
        "127.0.0.1", destination.port(), "127.0.0.1", proxy->port(), testing::PROXY_USER, testing::PROXY_PASSWORD);
    client->set_buffer_sizes(kBuffer);
  } else {
    client->connect("127.0.0.1", destination.port(), 10s);
  }
  std::uint64_t digest = 0;
  ASSERT_TRUE(exchange(*client, digest)) << "the baseline itself stood still";
  EXPECT_EQ(digest, testing::pattern_digest(2, kSize));
  EXPECT_EQ(destination_digest.get_future().get(), testing::pattern_digest(1, kSize));
}

TEST_P(BothWaysAtOnceTest, WorksThroughTheRelay) {
  HandlerFactory upstream = make_upstream_handler;
  if (!proxy) upstream = [](const std::string&) { return std::make_unique<DirectHandler>(); };
  start_hub(proxy_entry("http", proxy ? proxy->port() : 0), upstream, RelayOptions{{}, kBuffer});
  Client client;
  client.socket->set_buffer_sizes(kBuffer);
  client.record(*nat, destination.port());
  client.connect(relay_port);
  std::uint64_t digest = 0;
  ASSERT_TRUE(exchange(*client.socket, digest)) << "a direction waited for the other one's reader";
  EXPECT_EQ(digest, testing::pattern_digest(2, kSize));
  EXPECT_EQ(destination_digest.get_future().get(), testing::pattern_digest(1, kSize));
  client.socket->close();
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  EXPECT_EQ(hub->get_traffic(), std::make_pair(kSize, kSize));
}

INSTANTIATE_TEST_SUITE_P(Upstreams, BothWaysAtOnceTest, ::testing::Values("destination", "http"));

// Common proxies end both directions as soon as their client ends one; the relay holds the
// client's end back while the destination still answers.
class HalfCloseTest : public RelayHubTest, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    proxy = start_proxy(GetParam());
    start_hub(proxy_entry(GetParam(), proxy->port()));
  }
  std::unique_ptr<testing::UpstreamProxy> proxy;
};

TEST_P(HalfCloseTest, ClientThatEndsItsSideStillGetsTheAnswer) {
  std::promise<bool> saw_end;
  LoopbackServer destination([&](Socket& connection) {
    EXPECT_EQ(testing::receive_up_to(connection, 4), "ping");
    connection.send_all("pong", 4);
    saw_end.set_value(testing::sees_end_of_stream(connection, END_TIMEOUT));
  });
  auto client = relayed_client(destination.port());
  client->send("ping");
  client->socket->shutdown_send();
  EXPECT_EQ(client->receive(4), "pong");
  EXPECT_TRUE(saw_end.get_future().get()) << "the client's end reaches the destination once it is quiet";
  EXPECT_TRUE(client->sees_end());
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  EXPECT_FALSE(nat->contains(client->port));
}

// A client that ended its side and then reads slowly holds the relay back from reading the
// upstream; the upstream is then held back, not quiet, and the client's end must wait for it.
TEST_P(HalfCloseTest, ClientThatEndsItsSideAndReadsLateStillGetsTheWholeAnswer) {
  // More than every buffer between the destination and the client holds.
  constexpr std::uint64_t kSize = 48ull << 20;
  LoopbackServer destination([&](Socket& connection) {
    EXPECT_EQ(testing::receive_up_to(connection, 4), "ping");
    try {
      testing::send_pattern(connection, 3, kSize);
    } catch (const SocketError&) {
    }
    testing::sees_end_of_stream(connection, END_TIMEOUT);
  });
  auto client = relayed_client(destination.port());
  client->send("ping");
  client->socket->shutdown_send();
  std::this_thread::sleep_for(RelayHub::HALF_CLOSE_HOLD * 2);  // a reader busy elsewhere
  EXPECT_EQ(testing::receive_digest(*client->socket, kSize), testing::pattern_digest(3, kSize));
  EXPECT_TRUE(client->sees_end());
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
}

#ifndef _WIN32
// A client that closed its socket for good waits for nothing: its end goes on at once, so the
// proxy's connection is not kept for the hold. One that only ended its side is still held, even
// for an answer that comes late. (Windows does not tell whether a program still holds a socket,
// so there the hold stays for every client.)
TEST_P(HalfCloseTest, ClientThatClosesForGoodIsNotHeldOneThatEndsItsSideIs) {
  using std::chrono::steady_clock;
  std::promise<steady_clock::duration> ended_after;
  LoopbackServer prompt([&](Socket& connection) {
    EXPECT_EQ(testing::receive_up_to(connection, 4), "ping");
    connection.send_all("pong", 4);
    const auto answered = steady_clock::now();
    EXPECT_TRUE(testing::sees_end_of_stream(connection, END_TIMEOUT));
    ended_after.set_value(steady_clock::now() - answered);
  });
  auto closing = relayed_client(prompt.port());
  closing->send("ping");
  EXPECT_EQ(closing->receive(4), "pong");
  closing->socket->close();
  EXPECT_LT(ended_after.get_future().get(), RelayHub::HALF_CLOSE_HOLD / 2);

  LoopbackServer late([&](Socket& connection) {
    EXPECT_EQ(testing::receive_up_to(connection, 4), "ping");
    std::this_thread::sleep_for(300ms);  // an answer that takes its time, not a synchronisation
    connection.send_all("pong", 4);
    EXPECT_TRUE(testing::sees_end_of_stream(connection, END_TIMEOUT));
  });
  auto ending = relayed_client(late.port());
  ending->send("ping");
  ending->socket->shutdown_send();
  EXPECT_EQ(ending->receive(4), "pong") << "the answer of a client that only ended its side";
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
}
#endif

TEST_P(HalfCloseTest, DestinationThatEndsFirstLeavesTheClientsSideOpenUntilItEnds) {
  LoopbackServer destination([](Socket& connection) {
    connection.send_all("bye", 3);
    connection.shutdown_send();
    testing::receive_up_to(connection, 1 << 20);
  });
  auto client = relayed_client(destination.port());
  EXPECT_EQ(client->receive(3), "bye");
  EXPECT_TRUE(client->sees_end());
  EXPECT_EQ(hub->client_count(), 1u) << "the client has not ended its side yet";
  client->socket->shutdown_send();
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  EXPECT_FALSE(nat->contains(client->port));
}

INSTANTIATE_TEST_SUITE_P(Proxies, HalfCloseTest, ::testing::Values("socks5", "http"));

// stop() ends each client's connection in order; abort() resets it, so the application's socket
// is gone at once and cannot send on.
TEST_F(RelayHubTest, StopEndsAndAbortResetsEveryClient) {
  testing::MicrosocksProxy proxy;
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "abort" : "stop");
    start_hub(proxy_entry("socks5", proxy.port()));
    auto relayed = relayed_client(echo.port());
    relayed->send("x");
    EXPECT_EQ(relayed->receive(1), "x");
    Client waiting;  // no NAT entry yet
    waiting.connect(relay_port);
    ASSERT_TRUE(testing::eventually([&] { return hub->client_count() == 2; }));
    reset ? hub->abort() : hub->stop();
    for (Client* client : {relayed.get(), &waiting}) {
      ASSERT_TRUE(wait_readable({client->socket.get()}, END_TIMEOUT)[0].readable);
      char byte;
      if (reset && testing::closes_with_linger_zero_in_order()) {
        EXPECT_EQ(client->socket->receive(&byte, 1), 0u);
      } else if (reset) {
        EXPECT_THROW(client->socket->receive(&byte, 1), SocketError);
      } else {
        EXPECT_EQ(client->socket->receive(&byte, 1), 0u);
      }
    }
    ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
    EXPECT_EQ(nat->size(), 0u);
    EXPECT_EQ(hub->client_count(), 0u);
  }
}

}  // namespace
}  // namespace tovix
