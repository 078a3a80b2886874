// DNS over TCP against a scripted resolver on loopback that answers when the test says so.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>

#include "engine/udp/dns_message.h"
#include "engine/udp/dns_over_tcp.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Reads framed queries on every connection it accepts; answers a query (the same message with
// the response bit set) only when released, or at once in automatic mode.
class ScriptedResolver {
 public:
  explicit ScriptedResolver(bool automatic) : _automatic(automatic), _listener(Socket::create_tcp()) {
    _listener->bind("127.0.0.1", 0);
    _listener->listen(8);
    _thread = std::thread([this] { _serve(); });
  }
  ~ScriptedResolver() {
    _stop = true;
    _thread.join();
  }
  IpEndpoint endpoint() const {
    return {*IpAddress::parse("127.0.0.1"), static_cast<std::uint16_t>(_listener->local_address().second)};
  }
  template <typename Predicate>
  bool wait(Predicate done) {
    std::unique_lock guard(_lock);
    return _changed.wait_for(guard, 10s, [&] { return done(*this); });
  }
  std::size_t received() const { return _received; }
  std::size_t connections() const { return _connections.size(); }
  std::size_t closed_by_client() const { return _closed_by_client; }
  void release_one() {
    std::lock_guard guard(_lock);
    ++_released;
  }
  // Closes the current connections without answering what they carry.
  void drop_connections() { _drop = true; }

 private:
  struct Connection {
    std::shared_ptr<Socket> socket;
    DnsStreamReader reader;
    bool open = true;
  };

  void _serve() {
    std::deque<std::pair<Connection*, Bytes>> unanswered;
    while (!_stop) {
      // Taken once per round: a drop asked for while the round runs is done whole in the next.
      const bool drop = _drop.exchange(false);
      std::vector<Socket*> sockets{_listener.get()};
      std::vector<Connection*> watched;
      for (auto& connection : _connections) {
        if (!connection->open) continue;
        if (drop) {
          connection->socket->close();
          connection->open = false;
          continue;
        }
        sockets.push_back(connection->socket.get());
        watched.push_back(connection.get());
      }
      if (drop) unanswered.clear();
      // Short waits so that releases and the stop are seen.
      const auto ready = wait_readable(sockets, 10ms);
      std::lock_guard guard(_lock);
      if (ready[0].readable) {
        SocketAddress peer;
        _connections.push_back(std::make_unique<Connection>(Connection{_listener->accept(peer), {}, true}));
      }
      for (std::size_t i = 0; i < watched.size(); ++i) {
        if (!ready[i + 1].readable) continue;
        std::uint8_t buffer[4096];
        std::size_t got = 0;
        try {
          got = watched[i]->socket->receive(buffer, sizeof buffer);
        } catch (const SocketError&) {
        }
        std::vector<Bytes> messages;
        if (got == 0 || !watched[i]->reader.feed(std::span(buffer, got), messages)) {
          watched[i]->open = false;
          ++_closed_by_client;
          continue;
        }
        for (auto& message : messages) unanswered.emplace_back(watched[i], std::move(message));
        _received += messages.size();
      }
      while (!unanswered.empty() && (_automatic || _released > 0)) {
        auto [connection, message] = std::move(unanswered.back());  // newest first: out of order
        unanswered.pop_back();
        if (!_automatic) --_released;
        message[2] |= 0x80;
        const Bytes framed = frame_dns_message(message);
        if (connection->open) connection->socket->send_all(framed.data(), framed.size());
      }
      _changed.notify_all();
    }
  }

  const bool _automatic;
  std::shared_ptr<Socket> _listener;
  std::mutex _lock;
  std::condition_variable _changed;
  std::vector<std::unique_ptr<Connection>> _connections;
  std::size_t _received = 0, _released = 0, _closed_by_client = 0;
  std::atomic<bool> _drop{false};
  std::atomic<bool> _stop{false};
  std::thread _thread;
};

Bytes query(std::uint16_t id, std::uint8_t marker) {
  return {static_cast<std::uint8_t>(id >> 8),
          static_cast<std::uint8_t>(id),
          0x01,
          0,
          0,
          1,
          0,
          0,
          0,
          0,
          0,
          0,
          1,
          marker,
          0,
          0,
          1,
          0,
          1};
}

class DnsOverTcpTest : public ::testing::Test {
 protected:
  std::unique_ptr<DnsOverTcp> client_for(const ScriptedResolver& resolver, DnsOverTcp::Options options = {}) {
    const DnsTunnelOpener direct = [&](const IpEndpoint& endpoint) {
      EXPECT_EQ(endpoint, resolver.endpoint());
      return connect_tcp(endpoint.address.text(), endpoint.port, 5s);
    };
    return std::make_unique<DnsOverTcp>(
        direct,
        [this](DnsAnswer answer) {
          std::lock_guard guard(lock);
          answers.push_back(std::move(answer));
          changed.notify_all();
        },
        options);
  }
  bool wait_for_answers(std::size_t count) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, 10s, [&] { return answers.size() >= count; });
  }
  IpEndpoint program(std::uint16_t port) { return {*IpAddress::parse("10.0.0.5"), port}; }

  std::mutex lock;
  std::condition_variable changed;
  std::vector<DnsAnswer> answers;
};

TEST_F(DnsOverTcpTest, QueriesShareOneConnectionAndEachAnswerFindsItsProgram) {
  ScriptedResolver resolver(true);
  auto client = client_for(resolver);
  // Two programs happen to use the same ID.
  for (std::uint8_t i = 0; i < 6; ++i) {
    ASSERT_TRUE(client->submit({program(static_cast<std::uint16_t>(50000 + i)), resolver.endpoint(), query(7, i)}));
  }
  ASSERT_TRUE(wait_for_answers(6));
  std::lock_guard guard(lock);
  for (const DnsAnswer& answer : answers) {
    ASSERT_TRUE(answer.from_resolver);
    EXPECT_EQ(dns_message_id(answer.message), 7) << "the program's own ID again";
    EXPECT_EQ(answer.program.port, 50000 + answer.message[13]) << "the answer to its own question";
    EXPECT_EQ(answer.resolver, resolver.endpoint());
  }
  EXPECT_EQ(resolver.connections(), 1u);
  EXPECT_FALSE(client->submit({program(1), resolver.endpoint(), Bytes(11, 0)})) << "no DNS message";
}

TEST_F(DnsOverTcpTest, AtMostTheBoundWaitsForAnswersAtOnce) {
  ScriptedResolver resolver(false);
  DnsOverTcp::Options options;
  options.max_in_flight = 4;
  options.query_timeout = 30s;
  auto client = client_for(resolver, options);
  for (std::uint8_t i = 0; i < 10; ++i) ASSERT_TRUE(client->submit({program(50000), resolver.endpoint(), query(i, i)}));
  ASSERT_TRUE(resolver.wait([](ScriptedResolver& r) { return r.received() >= 4; }));
  EXPECT_EQ(resolver.received(), 4u);
  resolver.release_one();
  ASSERT_TRUE(wait_for_answers(1));
  ASSERT_TRUE(resolver.wait([](ScriptedResolver& r) { return r.received() >= 5; }));
  EXPECT_EQ(resolver.received(), 5u);
  for (int i = 0; i < 9; ++i) resolver.release_one();
  ASSERT_TRUE(wait_for_answers(10));
}

TEST_F(DnsOverTcpTest, AConnectionThatEndsHasItsQueriesAskedAgainOnANewOne) {
  ScriptedResolver resolver(false);
  auto client = client_for(resolver);
  for (std::uint8_t i = 0; i < 3; ++i) ASSERT_TRUE(client->submit({program(50000), resolver.endpoint(), query(i, i)}));
  ASSERT_TRUE(resolver.wait([](ScriptedResolver& r) { return r.received() == 3; }));
  resolver.drop_connections();
  ASSERT_TRUE(resolver.wait([](ScriptedResolver& r) { return r.received() == 6; }));
  EXPECT_EQ(resolver.connections(), 2u);
  for (int i = 0; i < 3; ++i) resolver.release_one();
  ASSERT_TRUE(wait_for_answers(3));
  std::lock_guard guard(lock);
  for (const DnsAnswer& answer : answers) EXPECT_TRUE(answer.from_resolver);
}

TEST_F(DnsOverTcpTest, UnansweredOrUnaskableQueriesGetServerFailureAndIdleConnectionsClose) {
  ScriptedResolver silent(false);
  DnsOverTcp::Options options;
  options.query_timeout = 200ms;
  options.idle_close = 100ms;
  auto client = client_for(silent, options);
  ASSERT_TRUE(client->submit({program(50000), silent.endpoint(), query(0x1234, 1)}));
  ASSERT_TRUE(wait_for_answers(1));
  {
    std::lock_guard guard(lock);
    EXPECT_FALSE(answers[0].from_resolver);
    EXPECT_EQ(dns_message_id(answers[0].message), 0x1234);
    EXPECT_EQ(answers[0].message[3] & 0x0F, 2);
    const auto datagram = answers[0].datagram();
    EXPECT_EQ(datagram.size(), 20u + 8 + answers[0].message.size()) << "a UDP datagram from the resolver";
  }
  ASSERT_TRUE(silent.wait([](ScriptedResolver& r) { return r.closed_by_client() == 1; })) << "closed when idle";

  DnsOverTcp unaskable(
      [](const IpEndpoint&) -> std::shared_ptr<Socket> { throw SocketError("proxy refused the tunnel"); },
      [this](DnsAnswer answer) {
        std::lock_guard guard(lock);
        answers.push_back(std::move(answer));
        changed.notify_all();
      });
  ASSERT_TRUE(unaskable.submit({program(50001), silent.endpoint(), query(0x5678, 2)}));
  ASSERT_TRUE(wait_for_answers(2));
  std::lock_guard guard(lock);
  EXPECT_FALSE(answers[1].from_resolver);
  EXPECT_EQ(dns_message_id(answers[1].message), 0x5678);
}

}  // namespace
}  // namespace tovix
