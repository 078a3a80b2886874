#pragma once
// Real upstream proxies for tests: microsocks (SOCKS5) and tinyproxy (HTTP CONNECT), each on a
// free loopback port with a user name and password, ready to accept when constructed and
// stopped when destroyed.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tovix::testing {

inline constexpr const char* PROXY_USER = "relay-user";
inline constexpr const char* PROXY_PASSWORD = "s3cret.Pw-1";

// A name the proxies resolve to 127.0.0.1 first: "localhost", unless this machine's host file
// also gives it an IPv6 address (microsocks tries only the first answer, which is then ::1).
std::optional<std::string> proxy_loopback_name();

// A loopback port that nothing listens on right now.
int free_loopback_port();

// Connects to 127.0.0.1:port until it accepts; throws when `child` exits or `timeout` passes.
void wait_until_accepting(int port, ChildProcess& child, std::chrono::milliseconds timeout);

class UpstreamProxy {
 public:
  virtual ~UpstreamProxy() = default;
  int port() const { return _port; }
  // "socks5" or "http", as a ProxyEntry names it.
  virtual std::string type() const = 0;

 protected:
  void _start(const std::vector<std::string>& argv);
  int _port = 0;
  std::unique_ptr<ChildProcess> _process;
};

class MicrosocksProxy : public UpstreamProxy {
 public:
  // An empty user name starts it without authentication.
  MicrosocksProxy(const std::string& user = PROXY_USER, const std::string& password = PROXY_PASSWORD);
  std::string type() const override { return "socks5"; }
};

class TinyproxyProxy : public UpstreamProxy {
 public:
  TinyproxyProxy(const std::string& user = PROXY_USER, const std::string& password = PROXY_PASSWORD);
  ~TinyproxyProxy() override;
  std::string type() const override { return "http"; }

 private:
  HostFile _config;
};

}  // namespace tovix::testing
