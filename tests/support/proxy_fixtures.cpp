#include "tests/support/proxy_fixtures.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/socket.h"

namespace tovix::testing {
namespace {

const std::string MICROSOCKS = "/usr/bin/microsocks";
const std::string TINYPROXY = "/usr/bin/tinyproxy";

constexpr std::chrono::seconds START_TIMEOUT{20};
constexpr int START_ATTEMPTS = 5;  // another process may take the free port first

}  // namespace

std::optional<std::string> proxy_loopback_name() {
  std::ifstream hosts("/etc/hosts");
  std::string line;
  while (std::getline(hosts, line)) {
    std::istringstream fields(line.substr(0, line.find('#')));
    std::string address, name;
    fields >> address;
    while (fields >> name) {
      if (name == "localhost" && address.find(':') != std::string::npos) return std::nullopt;
    }
  }
  return "localhost";
}

int free_loopback_port() {
  auto probe = Socket::create_tcp();
  probe->bind("127.0.0.1", 0);
  return probe->local_address().second;
}

void wait_until_accepting(int port, ChildProcess& child, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto backoff = std::chrono::milliseconds(5);
  for (;;) {
    try {
      connect_tcp("127.0.0.1", port, std::chrono::seconds(1));
      return;
    } catch (const SocketError&) {
    }
    if (!child.running()) throw std::runtime_error("proxy exited before accepting on port " + std::to_string(port));
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("proxy never accepted");
    // Polling for readiness: the child gives no other sign that it listens.
    std::this_thread::sleep_for(backoff);
    backoff = std::min(backoff * 2, std::chrono::milliseconds(100));
  }
}

void UpstreamProxy::_start(const std::vector<std::string>& argv) {
  _process = std::make_unique<ChildProcess>(argv);
  wait_until_accepting(_port, *_process, START_TIMEOUT);
}

MicrosocksProxy::MicrosocksProxy(const std::string& user, const std::string& password) {
  for (int attempt = 1;; ++attempt) {
    _port = free_loopback_port();
    try {
      std::vector<std::string> argv{MICROSOCKS, "-i", "127.0.0.1", "-p", std::to_string(_port)};
      if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
      _start(argv);
      return;
    } catch (const std::runtime_error&) {
      if (attempt == START_ATTEMPTS) throw;
    }
  }
}

TinyproxyProxy::TinyproxyProxy(const std::string& user, const std::string& password)
    : _config(host_temp_file("tovix-tinyproxy-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
                             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".conf")) {
  for (int attempt = 1;; ++attempt) {
    _port = free_loopback_port();
    write_text(_config.for_test, "Listen 127.0.0.1\nPort " + std::to_string(_port) + "\nBasicAuth " + user + " " + password +
                           "\nAllow 127.0.0.1\nTimeout 600\nMaxClients 1000\nLogLevel Critical\n");
    try {
      _start({TINYPROXY, "-d", "-c", _config.for_child});
      return;
    } catch (const std::runtime_error&) {
      if (attempt == START_ATTEMPTS) throw;
    }
  }
}

TinyproxyProxy::~TinyproxyProxy() {
  _process.reset();
  std::error_code ignored;
  std::filesystem::remove(_config.for_test, ignored);
}

}  // namespace tovix::testing
