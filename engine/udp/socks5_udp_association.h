#pragma once
// One UDP association with a SOCKS5 proxy (RFC 1928, UDP ASSOCIATE): the TCP control
// connection that keeps it alive, and a datagram socket connected to the relay the proxy
// named. Datagrams from anyone but that relay never reach the socket.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/ip_address.h"
#include "common/socket.h"
#include "engine/relay/upstream_handler.h"
#include "engine/udp/handshake_abort.h"
#include "engine/udp/socks5_udp_framing.h"
#include "engine/udp/udp_proxy_export.h"

namespace tovix {

struct Socks5Server {
  std::string host;  // name or IPv4 address
  int port = 1080;
  std::string username;  // empty: no sign-in offered
  std::string password;
};

// The proxy answered UDP ASSOCIATE with a failure code: it does not carry UDP for us (microsocks
// answers "command not supported"). Remember it for the proxy; asking again will not help.
class UDP_PROXY_EXPORT UdpAssociateRefused : public ProxyError {
 public:
  UdpAssociateRefused(const std::string& what, std::uint8_t code) : ProxyError(what), _code(code) {}
  std::uint8_t code() const { return _code; }

 private:
  std::uint8_t _code;
};

// Asks the proxy for one association and closes it again: true when it grants UDP ASSOCIATE,
// false when it refuses, nothing when that could not be told (unreachable, sign-in refused,
// time-out, aborted). Blocks for at most the time-outs.
UDP_PROXY_EXPORT std::optional<bool> grants_udp_associate(const Socks5Server& server, const HandshakeTimeouts& timeouts,
                                                          HandshakeAbort* abort = nullptr);

class UDP_PROXY_EXPORT Socks5UdpAssociation {
 public:
  // Connects, signs in, asks for the association and connects the datagram socket to the relay
  // (to the proxy's own address when the proxy names 0.0.0.0). Throws UdpAssociateRefused when
  // the proxy refuses, ProxyError for every other failure (also when `abort` ends the
  // handshake); nothing stays open then.
  static std::unique_ptr<Socks5UdpAssociation> open(const Socks5Server& server, const HandshakeTimeouts& timeouts,
                                                    HandshakeAbort* abort = nullptr);

  Socks5UdpAssociation(std::shared_ptr<Socket> control, std::shared_ptr<Socket> datagrams, IpEndpoint relay);
  ~Socks5UdpAssociation();  // closes both sockets
  Socks5UdpAssociation(const Socks5UdpAssociation&) = delete;
  Socks5UdpAssociation& operator=(const Socks5UdpAssociation&) = delete;

  const IpEndpoint& relay() const { return _relay; }
  // Readable when the proxy closes the association (end of stream) or sends something.
  Socket& control() { return *_control; }
  // Readable when an answer waits; never blocks a send (it fails instead).
  Socket& datagrams() { return *_datagrams; }

  // Frames and sends one datagram. Throws SocketError when it cannot leave (too large for one
  // datagram, or the relay refused it).
  void send(const IpEndpoint& destination, std::span<const std::uint8_t> payload);
  // Reads the answer waiting on datagrams() into `buffer` and unframes it. Throws SocketError
  // when the socket failed.
  SocksUdpDatagram receive(std::vector<std::uint8_t>& buffer);

 private:
  std::shared_ptr<Socket> _control;
  std::shared_ptr<Socket> _datagrams;
  IpEndpoint _relay;
};

}  // namespace tovix
