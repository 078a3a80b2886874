#pragma once
// What the relay tests share: clients that connect the way the engine's diverted connections
// arrive, and a fixture with a NAT table, an echo destination and a relay.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/logging.h"
#include "engine/relay/relay_hub.h"
#include "tests/support/log_capture.h"
#include "tests/support/loopback_server.h"
#include "tests/support/os_knobs.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix {

inline constexpr auto END_TIMEOUT = std::chrono::seconds(30);

inline nlohmann::ordered_json proxy_entry(const std::string& type, int port,
                                          const std::string& password = testing::PROXY_PASSWORD) {
  return {
      {"type", type}, {"host", "127.0.0.1"}, {"port", port}, {"username", testing::PROXY_USER}, {"password", password}};
}

inline std::unique_ptr<testing::UpstreamProxy> start_proxy(const std::string& type) {
  if (type == "http") return std::make_unique<testing::TinyproxyProxy>();
  return std::make_unique<testing::MicrosocksProxy>();
}

// A client of the relay whose source port is known before it connects, the way the packet handler
// records a connection before the relay accepts it. It comes from the engine's fake source unless
// told otherwise.
struct Client {
  std::shared_ptr<Socket> socket = Socket::create_tcp();
  int port = 0;

  explicit Client(const std::string& source_ip = RelayHub::DIVERTED_SOURCE_IP, int source_port = 0,
                  bool shared_port = false) {
    if (shared_port) testing::share_local_port(*socket);
    socket->bind(source_ip, source_port);
    port = socket->local_address().second;
  }
  void connect(int relay_port) { socket->connect("127.0.0.1", relay_port, std::chrono::seconds(10)); }
  void record(NatTable& nat, int dst_port) {
    nat.set(port, NatEntry{"192.168.7.7", "127.0.0.1", dst_port, nat_clock_now(), 0});
  }
  void send(const std::string& text) { socket->send_all(text.data(), text.size()); }
  // At most `size` bytes; fewer when nothing more comes within END_TIMEOUT, so a relay that
  // loses bytes fails the test instead of hanging it.
  std::string receive(std::size_t size) {
    std::string data;
    while (data.size() < size && wait_readable({socket.get()}, END_TIMEOUT)[0].readable) {
      const std::string more = testing::receive_some(*socket, size - data.size());
      if (more.empty()) break;
      data += more;
    }
    return data;
  }
  bool sees_end() { return testing::sees_end_of_stream(*socket, END_TIMEOUT); }
  // Connects and expects the relay to end the connection; a reset may already fail the connect.
  bool refused_by(int relay_port) {
    try {
      connect(relay_port);
    } catch (const SocketError&) {
      return true;
    }
    return sees_end();
  }
};

class RelayHubTest : public ::testing::Test {
 protected:
  void start_hub(nlohmann::ordered_json config, HandlerFactory factory = make_upstream_handler,
                 RelayOptions options = {}) {
    hub =
        std::make_unique<RelayHub>(nat, std::move(config), std::move(factory), UpstreamObserver{}, std::move(options));
    relay_port = hub->start().second;
  }
  // A client whose NAT entry points at `dst_port`, recorded and connected.
  std::unique_ptr<Client> relayed_client(int dst_port, int to_relay_port = 0) {
    auto client = std::make_unique<Client>();
    client->record(*nat, dst_port);
    client->connect(to_relay_port != 0 ? to_relay_port : relay_port);
    return client;
  }
  void TearDown() override {
    if (hub) {
      hub->stop();
      EXPECT_TRUE(hub->wait_until_idle(END_TIMEOUT));
    }
  }

  testing::LogCapture log{LOGGER_ENGINE};
  std::shared_ptr<NatTable> nat = std::make_shared<NatTable>();
  testing::LoopbackServer echo{testing::greet_then_echo()};
  std::unique_ptr<RelayHub> hub;
  int relay_port = 0;
};

}  // namespace tovix
