// The relay's kernel pipe between two TCP sockets, on loopback: bytes arrive whole and in order
// through a sink that takes them slower than the source gives them, the source's end shows, and
// a sink whose peer has gone is an error, not the end of the process. Where the system has no
// such pipe there is nothing to test.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/socket.h"
#include "engine/relay/socket_pipe.h"

namespace tovix {
namespace {

struct Pair {
  std::shared_ptr<Socket> near, far;
};

// A connected loopback pair; `near` non-blocking, as the relay's sockets are.
Pair connected_pair() {
  auto listener = Socket::create_tcp();
  listener->bind("127.0.0.1", 0);
  listener->listen(1);
  Pair pair;
  pair.far = Socket::create_tcp();
  pair.far->connect("127.0.0.1", listener->local_address().second, std::chrono::seconds(5));
  SocketAddress peer;
  pair.near = listener->accept(peer);
  pair.near->set_non_blocking(true);
  return pair;
}

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  return text;
}

TEST(SocketPipeTest, BytesArriveWholeAndInOrderAndTheSourcesEndShows) {
  auto pipe = SocketPipe::open();
  if (!pipe) GTEST_SKIP() << "no pipe between sockets on this system";
  Pair source = connected_pair();
  Pair sink = connected_pair();
  const std::string sent = pattern(6 * pipe->capacity() + 12345);
  std::thread writer([&] {
    source.far->send_all(sent.data(), sent.size());
    source.far->shutdown_send();
  });
  std::string received;
  std::thread reader([&] {
    sink.far->set_non_blocking(false);
    char buffer[65536];
    for (std::size_t got; (got = sink.far->receive(buffer, sizeof buffer)) > 0;) received.append(buffer, got);
  });
  std::size_t moved = 0;
  bool ended = false;
  while (!ended || pipe->held() > 0) {
    if (pipe->held() > 0) {
      moved += pipe->drain(*sink.near);
    } else if (const auto got = pipe->fill(*source.near); got && *got == 0) {
      ended = true;
    }
    if (pipe->held() > 0 || !ended) std::this_thread::yield();
  }
  sink.near->shutdown_send();
  writer.join();
  reader.join();
  EXPECT_EQ(moved, sent.size());
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent) << "the bytes changed on the way";
}

TEST(SocketPipeTest, ASinkWhosePeerHasGoneIsAnErrorNotTheEndOfTheProcess) {
  auto pipe = SocketPipe::open();
  if (!pipe) GTEST_SKIP() << "no pipe between sockets on this system";
  Pair source = connected_pair();
  Pair sink = connected_pair();
  sink.far->reset();
  const std::string sent = pattern(4096);
  source.far->send_all(sent.data(), sent.size());
  std::optional<std::size_t> got;
  while (!(got = pipe->fill(*source.near))) std::this_thread::yield();
  ASSERT_GT(*got, 0u);
  // The first send may still be taken; the next meets the reset.
  EXPECT_THROW(
      {
        for (int i = 0; i < 100; ++i) {
          pipe->drain(*sink.near);
          if (pipe->held() == 0) {
            source.far->send_all(sent.data(), sent.size());
            while (!pipe->fill(*source.near)) std::this_thread::yield();
          }
        }
      },
      SocketError);
}

}  // namespace
}  // namespace tovix
