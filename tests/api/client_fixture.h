#pragma once
// Shared by the web client's tests: a fake console per test and clients pointed at it.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "api/tovixproxy_client.h"
#include "tests/support/console_fake.h"
#include "tests/support/loopback_server.h"

namespace tovix::testing {

inline constexpr const char* kToken = "eyJ.token.sig";

// Timeouts short enough that a stalled server costs a test about a second.
inline ClientTimeouts short_timeouts() { return {std::chrono::milliseconds(5000), std::chrono::milliseconds(500)}; }

// A loopback port that nothing listens on: a listener's port, released again.
inline int refused_port() {
  auto listener = std::make_unique<LoopbackServer>(close_at_once());
  const int port = listener->port();
  listener.reset();
  return port;
}

inline std::string loopback_url(const std::string& scheme, int port) {
  return scheme + "://127.0.0.1:" + std::to_string(port);
}

class ClientTest : public ::testing::Test {
 protected:
  ConsoleFake console;
  ToVixProxyClient anonymous{console.base_url()};
  ToVixProxyClient member{console.base_url(), std::string(kToken)};
};

}  // namespace tovix::testing
