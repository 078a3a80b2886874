#pragma once
// The engine end to end in network namespaces: the suite's shared remote site (proxies,
// destinations) and what each test does with the engine (start, stop, capture, run a client).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/socket.h"
#include "tests/support/divert_site_linux.h"
#include "tests/support/http_destination.h"
#include "tests/support/loopback_server.h"
#include "tests/support/netns_fixture.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix::e2e {

using testing::NetnsPair;
using testing::NetnsProcess;
using testing::NetnsScope;
namespace fs = std::filesystem;

constexpr std::size_t kBulk = 64u << 20;
inline const std::string STARTED = "status: 代理已启";

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class EngineEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (NetnsPair::unavailable_reason().empty()) _remote = new testing::DivertSite(kBulk);
  }
  static void TearDownTestSuite() {
    delete _remote;
    _remote = nullptr;
  }
  void SetUp() override {
    if (const std::string reason = NetnsPair::unavailable_reason(); !reason.empty()) GTEST_SKIP() << reason;
    ASSERT_NE(_remote, nullptr);
  }
  void TearDown() override {
    if (_engine) stop_engine();
  }

  const std::string& client() const { return _remote->client(); }
  std::string url(const std::string& path) const { return _remote->url(path); }
  nlohmann::ordered_json settings(const std::string& type, std::vector<std::string> processes = {}) const {
    return _remote->settings(type, std::move(processes));
  }

  // Starts the engine in the client namespace and waits for its started status.
  void start_engine(const nlohmann::ordered_json& record, std::vector<std::string> extra = {}) {
    const fs::path file = _remote->dir() / "settings.json";
    testing::write_text(file, record.dump(4));
    std::vector<std::string> argv{ENGINE_DRIVER, file.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    // The suite runs a second time on the user-space path (see CMakeLists.txt).
    if (const char* path = std::getenv("TOVIX_E2E_DATA_PATH"); path != nullptr && *path != '\0')
      argv.insert(argv.end(), {"--data-path", path});
    _engine =
        std::make_unique<NetnsProcess>(client(), argv, _remote->dir() / ("engine-" + std::to_string(++_runs) + ".log"));
    ASSERT_TRUE(_engine->wait_for_output(STARTED, std::chrono::seconds(30))) << _engine->output();
  }
  void stop_engine() {
    EXPECT_EQ(_engine->stop(SIGTERM), 0) << _engine->output();
    _engine.reset();
  }

  // A program in the client namespace; its exit code and output.
  CommandResult run_client(const std::vector<std::string>& argv) {
    return NetnsPair::run(client(), argv, std::chrono::seconds(120));
  }
  CommandResult curl(const fs::path& program, const std::vector<std::string>& options) {
    std::vector<std::string> argv{program.string(), "-sS", "--max-time", "60"};
    argv.insert(argv.end(), options.begin(), options.end());
    return run_client(argv);
  }
  std::string last_peer() const {
    const auto peers = _remote->destination().peers();
    return peers.empty() ? "" : peers.back();
  }
  std::string rules() const {
    return NetnsPair::run_ok(client(), {"iptables-save", "-t", "raw"}) +
           NetnsPair::run_ok(client(), {"iptables-save", "-t", "nat"}) +
           NetnsPair::run_ok(client(), {"ip6tables-save", "-t", "raw"}) +
           NetnsPair::run_ok(client(), {"ipset", "list", "-n"});
  }

  // tcpdump on the client's outside interface, for everything to or from the destination
  // unless another filter is given.
  std::unique_ptr<NetnsProcess> capture(const std::string& name, std::string filter = {}) {
    if (filter.empty()) filter = "tcp port " + std::to_string(_remote->destination().port());
    auto process = std::make_unique<NetnsProcess>(
        client(),
        std::vector<std::string>{"tcpdump", "-Z", "root", "--immediate-mode", "-i", _remote->pair().client_interface(),
                                 "-U", "-n", "-w", (_remote->dir() / (name + ".pcap")).string(), filter},
        _remote->dir() / (name + ".log"));
    EXPECT_TRUE(process->wait_for_output("listening on", std::chrono::seconds(30))) << process->output();
    return process;
  }
  // Packets the capture has written so far that match `filter`.
  long packets(const std::string& name, const std::string& filter = {}) {
    std::vector<std::string> argv{"tcpdump", "-Z", "root", "-n", "-r", (_remote->dir() / (name + ".pcap")).string()};
    if (!filter.empty()) argv.push_back(filter);
    const CommandResult read = run_client(argv);
    return static_cast<long>(std::count(read.standard_output.begin(), read.standard_output.end(), '\n'));
  }

  // What the client's own address sent to the destination port (not through a proxy).
  std::string from_client_to(int port) const {
    return "src host " + std::string(NetnsPair::CLIENT_IP) + " and dst port " + std::to_string(port);
  }
  // What the socket receives until its peer closes or `wait` passes.
  static std::string answer_within(Socket& socket, std::chrono::seconds wait) {
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    try {
      for (std::string more = " "; !more.empty(); answer += more) {
        wait_readable_until(socket, deadline);
        more = testing::receive_some(socket);
      }
    } catch (const SocketError&) {
    }
    return answer;
  }
  // Reads (and discards) what the socket has within `wait`: "reset" when the connection was
  // reset, "end" at end-of-stream, "silent" when nothing came.
  static std::string outcome(Socket& socket, std::chrono::seconds wait) {
    char buffer[65536];
    const auto deadline = std::chrono::steady_clock::now() + wait;
    try {
      for (;;) {
        wait_readable_until(socket, deadline);
        if (socket.receive(buffer, sizeof buffer) == 0) return "end";
      }
    } catch (const SocketTimeout&) {
      return "silent";
    } catch (const SocketError&) {
      return "reset";
    }
  }

  inline static testing::DivertSite* _remote = nullptr;
  std::unique_ptr<NetnsProcess> _engine;
  int _runs = 0;
};

}  // namespace tovix::e2e
