#pragma once
// What the relay asks of an upstream proxy handler: a connected socket whose bytes reach the
// destination through the proxy, the proxy's handshake already done.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/host_address.h"
#include "common/socket.h"
#include "engine/relay/proxy_dialogue.h"

namespace tovix {

// A handshake failure; the text says what went wrong and never holds the password.
class ProxyError : public std::runtime_error {
 public:
  explicit ProxyError(const std::string& what, bool at_destination = false, bool name_not_resolved = false)
      : std::runtime_error(what), _at_destination(at_destination), _name_not_resolved(name_not_resolved) {}
  // The proxy was reached and accepted us, but could not reach the destination: the proxy
  // itself works.
  bool at_destination() const { return _at_destination; }
  // The destination was given by name and the proxy answered the way it answers a name it
  // could not resolve (or a proxy that takes no names). Proxies do not tell a failed look-up
  // apart from some other failures to reach a named host, so this is "may not have resolved":
  // asking once more by address is the way on.
  bool name_not_resolved() const { return _name_not_resolved; }

 private:
  bool _at_destination;
  bool _name_not_resolved;
};

// A protocol step went wrong; during_handshake() names the proxy in front of the text.
class ProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The proxy answered the tunnel request with a refusal to reach the destination.
class DestinationError : public ProtocolError {
 public:
  using ProtocolError::ProtocolError;
};

// The proxy answered a tunnel request for a host name as it answers a name it cannot resolve.
class NameNotResolvedError : public ProtocolError {
 public:
  NameNotResolvedError(const std::string& what, bool at_destination)
      : ProtocolError(what), _at_destination(at_destination) {}
  bool at_destination() const { return _at_destination; }

 private:
  bool _at_destination;
};

// True for a destination given as a host name rather than an IPv4 or IPv6 address.
inline bool is_host_name_destination(const std::string& destination) { return !IpAddress::parse(destination); }

struct HandshakeTimeouts {
  std::chrono::milliseconds connect{10000};  // TCP connection to the proxy
  // Everything after it, until the tunnel stands. Real proxies under a burst of new
  // connections take far longer than 10 s to answer each handshake.
  std::chrono::milliseconds handshake{30000};
};

// A handler's handshake laid out for whoever connects and moves the bytes: the relay's event
// loop drives it without blocking, the handler's own handle_connection() by waiting.
struct HandshakePlan {
  std::string kind;  // "SOCKS5", "HTTP", "direct": the start of every failure text
  HandshakeTimeouts timeouts;
  // No proxy in between: the connection goes to the destination itself, and every failure is
  // the destination's.
  bool to_destination = false;
  std::unique_ptr<ProxyDialogue> dialogue;
};

class UpstreamHandler {
 public:
  virtual ~UpstreamHandler() = default;
  // The handshake of handle_connection() with the same arguments, as a plan; nothing for a
  // handler that can only block. Throws ProxyError for arguments it refuses.
  virtual std::optional<HandshakePlan> plan_handshake(const std::string& /*dst_ip*/, int /*dst_port*/,
                                                      const std::string& /*proxy_host*/, int /*proxy_port*/,
                                                      const std::string& /*proxy_username*/,
                                                      const std::string& /*proxy_password*/) {
    return std::nullopt;
  }
  // `dst_ip` is an IPv4 address or a host name, which the proxy then resolves. Throws
  // ProxyError (or SocketError for resolution failures); the socket is closed then.
  virtual std::shared_ptr<Socket> handle_connection(const std::string& dst_ip, int dst_port,
                                                    const std::string& proxy_host, int proxy_port,
                                                    const std::string& proxy_username,
                                                    const std::string& proxy_password) = 0;
};

// "what proxy: detail", shared by both handlers so their texts read alike.
inline std::string proxy_failure(const std::string& kind, const std::string& host, int port,
                                 const std::string& detail) {
  return kind + " proxy " + host + ":" + std::to_string(port) + ": " + detail;
}

// Opens the TCP connection to the proxy within the connect time-out. The socket is marked as
// the engine's own before it connects, so the diversion never sends it back into a relay,
// whatever address the proxy's name resolves to now. `before_connect` as for connect_tcp.
inline std::shared_ptr<Socket> open_proxy_connection(
    const std::string& kind, const std::string& host, int port, const HandshakeTimeouts& timeouts,
    const std::function<void(const std::shared_ptr<Socket>&)>& before_connect = {}) {
  if (port <= 0 || port > 65535) throw ProxyError(proxy_failure(kind, host, port, "invalid proxy port"));
  try {
    return connect_tcp(host, port, timeouts.connect, OWN_CONNECTION_MARK, before_connect);
  } catch (const SocketTimeout&) {
    throw ProxyError(proxy_failure(kind, host, port, "connection timed out"));
  } catch (const SocketError& error) {
    throw ProxyError(proxy_failure(kind, host, port, error.what()));
  }
}

// Runs one handshake step and turns socket failures into readable proxy errors.
template <typename Step>
auto during_handshake(const std::string& kind, const std::string& host, int port, Step&& step) {
  try {
    return step();
  } catch (const NameNotResolvedError& error) {
    throw ProxyError(proxy_failure(kind, host, port, error.what()), error.at_destination(), true);
  } catch (const DestinationError& error) {
    throw ProxyError(proxy_failure(kind, host, port, error.what()), true);
  } catch (const ProtocolError& error) {
    throw ProxyError(proxy_failure(kind, host, port, error.what()));
  } catch (const SocketTimeout&) {
    throw ProxyError(proxy_failure(kind, host, port, "handshake timed out"));
  } catch (const SocketError& error) {
    throw ProxyError(proxy_failure(kind, host, port, std::string("handshake failed: ") + error.what()));
  }
}

// handle_connection() for a handler that has a plan: connects, then runs the dialogue, waiting.
inline std::shared_ptr<Socket> open_planned(HandshakePlan& plan, const std::string& host, int port) {
  try {
    auto proxy = open_proxy_connection(plan.kind, host, port, plan.timeouts);
    const auto deadline = std::chrono::steady_clock::now() + plan.timeouts.handshake;
    during_handshake(plan.kind, host, port, [&] { run_dialogue(*proxy, *plan.dialogue, deadline); });
    return proxy;
  } catch (const ProxyError& error) {
    if (!plan.to_destination) throw;
    throw ProxyError(error.what(), true);
  }
}

// A handler whose handshake is always a plan: handle_connection() connects and runs it, waiting.
class PlannedHandler : public UpstreamHandler {
 public:
  std::shared_ptr<Socket> handle_connection(const std::string& dst_ip, int dst_port, const std::string& proxy_host,
                                            int proxy_port, const std::string& proxy_username,
                                            const std::string& proxy_password) final {
    HandshakePlan plan = *plan_handshake(dst_ip, dst_port, proxy_host, proxy_port, proxy_username, proxy_password);
    if (plan.to_destination) return open_planned(plan, dst_ip, dst_port);
    return open_planned(plan, proxy_host, proxy_port);
  }
};

}  // namespace tovix
