// The clients people run, as they are installed on this machine: their ClientHello, read the
// way the relay reads it (segment by segment as it arrives), names the host they were given.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "engine/sniff/host_sniffer.h"
#include "tests/engine/sniff/sniff_printing.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_server.h"

namespace tovix::testing {
namespace {

using namespace std::chrono_literals;

// Accepts one connection, reads until the sniffer decides, and hands over the decision.
class SniffingServer {
 public:
  SniffingServer()
      : _server([this](Socket& connection) {
          std::string bytes;
          SniffResult result;
          while (result.outcome == SniffOutcome::need_more) {
            const std::string more = receive_some(connection);
            if (more.empty()) break;
            bytes += more;
            result = sniff_host_name(bytes);
          }
          if (!_answered.exchange(true)) _decided.set_value(result);
        }) {}

  int port() const { return _server.port(); }
  SniffResult decision() {
    auto future = _decided.get_future();
    if (future.wait_for(30s) != std::future_status::ready) ADD_FAILURE() << "the client sent nothing decisive";
    return future.get();
  }

 private:
  std::promise<SniffResult> _decided;
  std::atomic<bool> _answered{false};
  LoopbackServer _server;
};

TEST(LiveClients, OpensslAndCurlNameTheirHost) {
  {
    SniffingServer server;
    ChildProcess client({"/usr/bin/openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(server.port()),
                         "-servername", "live.example.org"});
    EXPECT_EQ(server.decision(), SniffResult::found("live.example.org"));
  }
  {
    SniffingServer server;
    const std::string port = std::to_string(server.port());
    ChildProcess client({"/usr/bin/curl", "-sk", "--max-time", "20", "--resolve",
                         "curl.example.test:" + port + ":127.0.0.1", "https://curl.example.test:" + port + "/"});
    EXPECT_EQ(server.decision(), SniffResult::found("curl.example.test"));
  }
  {
    SniffingServer server;
    const std::string port = std::to_string(server.port());
    ChildProcess client({"/usr/bin/curl", "-s", "--max-time", "20", "--resolve",
                         "plain.example.test:" + port + ":127.0.0.1", "http://plain.example.test:" + port + "/page"});
    EXPECT_EQ(server.decision(), SniffResult::found("plain.example.test"));
  }
}

}  // namespace
}  // namespace tovix::testing
