#pragma once
// Real UDP-side components for tests, Linux programs started on free loopback ports and
// stopped when the object goes: dante (a SOCKS5 proxy that grants UDP ASSOCIATE), dnsmasq (a
// resolver on UDP and TCP with its own hosts file and a query log), and ngtcp2's example QUIC
// server with a self-signed certificate made for it, plus its client.
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "common/run_command.h"
#include "tests/support/netns_fixture.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix::testing {

// The address dante sends from: a loopback address of its own, so a destination can tell a
// datagram that came through the proxy from one sent directly (from 127.0.0.1).
inline constexpr const char* DANTE_EXTERNAL = "127.0.0.3";

// Why the real UDP components cannot run here (not installed, not root), or empty.
std::string udp_components_unavailable();

class DanteProxy : public UpstreamProxy {
 public:
  // With a password the proxy signs clients in as the system user PROXY_USER, created (with
  // PROXY_PASSWORD, no login shell) when missing; needs root.
  explicit DanteProxy(bool with_password = false);
  ~DanteProxy() override;
  std::string type() const override { return "socks5"; }
  std::string log() const;

 private:
  std::filesystem::path _dir;
};

// dante inside the network namespace `ns`: listening on address:port, sending from `address`,
// no sign-in, granting UDP ASSOCIATE; its configuration, log and output go to `dir`. Ready (it
// accepts connections from `client_ns`) when returned.
std::unique_ptr<NetnsProcess> start_dante_in(const std::string& ns, const std::string& address, int port,
                                             const std::filesystem::path& dir, const std::string& client_ns);

class DnsmasqResolver {
 public:
  // Answers the names of `hosts` (name -> IPv4 address) on 127.0.0.1, UDP and TCP, and nothing
  // else; every query it gets goes to its log.
  explicit DnsmasqResolver(const std::map<std::string, std::string>& hosts);
  ~DnsmasqResolver();
  int port() const { return _port; }
  std::string log() const;
  // Waits until the log holds `text`; false when `timeout` passed first.
  bool wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const;

 private:
  std::filesystem::path _dir;
  int _port = 0;
  std::unique_ptr<ChildProcess> _process;
};

class QuicServer {
 public:
  // Serves the files of a folder of its own (index.html holds QUIC_INDEX_TEXT) over HTTP/3 on
  // `address` (numeric) and a free UDP port, inside the network namespace `ns` when one is
  // named; ready when constructed.
  explicit QuicServer(const std::string& address = "127.0.0.1", const std::string& ns = {});
  ~QuicServer();
  int port() const { return _port; }
  const std::string& address() const { return _address; }

 private:
  std::filesystem::path _dir;
  std::string _address;
  int _port = 0;
  std::unique_ptr<ChildProcess> _process;
};

inline constexpr const char* QUIC_INDEX_TEXT = "quic-index-page";

// ngtcp2's example client (`client`: the program, or a copy of it under another name) fetching
// https://address:port/index.html into the existing folder `download`, giving up the handshake after
// `handshake_timeout`. It exits with 0 whether or not the page came: the downloaded file is the
// only sign of success (quic_page).
std::vector<std::string> quic_client_command(const std::string& client, const std::string& address, int port,
                                             const std::filesystem::path& download,
                                             std::chrono::milliseconds handshake_timeout);
// The page a quic_client_command downloaded into `download`, or empty.
std::string quic_page(const std::filesystem::path& download);
// ngtcp2's example client as installed.
const std::string& quic_client_program();

// Fetches https://address:port/index.html with ngtcp2's example client, inside `ns` when one is
// named; the page, or empty when it did not come within `timeout`.
std::string fetch_quic_page(const std::string& address, int port, std::chrono::milliseconds timeout,
                            const std::string& ns = {});

}  // namespace tovix::testing
