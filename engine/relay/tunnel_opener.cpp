#include "engine/relay/tunnel_opener.h"

#include <optional>
#include <stdexcept>

#include "engine/relay/direct_handler.h"

namespace tovix {

std::string upstream_key(const TunnelOrder& order) {
  if (order.direct) return "direct";
  return order.proxy.host + ":" + std::to_string(order.proxy.port);
}

namespace {

std::shared_ptr<Socket> ask_proxy(const RelayContext& context, const ProxySettings& proxy,
                                  const std::string& destination, int port) {
  std::unique_ptr<UpstreamHandler> handler = context.handler_factory(proxy.type);
  if (!handler) throw std::runtime_error("no upstream handler for type " + proxy.type);
  std::shared_ptr<Socket> upstream =
      handler->handle_connection(destination, port, proxy.host, proxy.port, proxy.username, proxy.password);
  if (!upstream) throw std::runtime_error("upstream handler returned no socket");
  return upstream;
}

// By name where one is known; by address when there is none or the proxy could not resolve it.
std::shared_ptr<Socket> tunnel_through_proxy(const RelayContext& context, const TunnelOrder& order,
                                             const std::atomic<bool>& abandoned) {
  if (!order.host_name.empty()) {
    try {
      return ask_proxy(context, order.proxy, order.host_name, order.dst_port);
    } catch (const ProxyError& error) {
      if (!error.name_not_resolved() || abandoned) throw;
      context.log->debug("代理未能解析 {}，改用地址 {}:{}: {}", order.host_name, order.dst_ip, order.dst_port,
                         error.what());
    }
  }
  return ask_proxy(context, order.proxy, order.dst_ip, order.dst_port);
}

}  // namespace

std::shared_ptr<Socket> open_tunnel(const RelayContext& context, const TunnelOrder& order,
                                    const std::atomic<bool>& abandoned) {
  const ProxySettings& proxy = order.proxy;
  try {
    std::shared_ptr<Socket> upstream;
    if (order.direct) {
      upstream = DirectHandler().handle_connection(order.dst_ip, order.dst_port, {}, 0, {}, {});
    } else {
      try {
        upstream = tunnel_through_proxy(context, order, abandoned);
      } catch (const std::exception& error) {
        if (!abandoned) context.report_upstream(proxy, &error);
        throw;
      }
      context.report_upstream(proxy, nullptr);
    }
    return upstream;
  } catch (const std::exception& error) {
    context.log->debug("中继建立代理连接失败 {}:{}: {}", order.dst_ip, order.dst_port, error.what());
  } catch (...) {
    context.log->debug("中继建立代理连接失败 {}:{}: {}", order.dst_ip, order.dst_port, "unknown error");
  }
  return nullptr;
}

namespace {

// Most first messages (a request line and headers, a TLS hello) fit, and a fresh socket's send
// buffer takes it whole.
constexpr std::size_t FIRST_BYTES = 8192;

bool prepare_for_loop(Socket& upstream, int socket_buffer_bytes) noexcept {
  try {
    upstream.set_non_blocking(true);
    // The relay adds no delay of its own: the application already chose how to write.
    upstream.set_no_delay(true);
    if (socket_buffer_bytes > 0) upstream.set_buffer_sizes(socket_buffer_bytes);
    return true;
  } catch (const SocketError&) {
    upstream.close();
    return false;
  }
}

// Sends what the upstream takes now; the rest waits for the loop's copy.
void forward_first(RelayContext& context, OpenedTunnel& tunnel, const char* data, std::size_t size) {
  std::size_t sent = 0;
  try {
    sent = tunnel.upstream->send_available(data, size);
  } catch (const SocketError&) {
  }
  tunnel.forwarded = sent;
  tunnel.unsent.assign(data + sent, size - sent);
  context.add_traffic(sent, 0);
}

// Sends what the loop read before the handshake, or else what the client has said meanwhile.
// Bytes newer than the loop's stay with the client until the copy, so nothing overtakes them.
void send_first_bytes(RelayContext& context, const TunnelOrder& order, OpenedTunnel& tunnel) {
  if (!order.first_bytes.empty()) {
    forward_first(context, tunnel, order.first_bytes.data(), order.first_bytes.size());
    return;
  }
  if (!order.client) return;
  char first[FIRST_BYTES];
  std::optional<std::size_t> received;
  try {
    received = order.client->receive_available(first, sizeof first);
  } catch (const SocketError&) {
    return;  // the loop finds the failure again
  }
  // An end of stream is left for the loop: receiving it again reports it again.
  if (!received || *received == 0) return;
  forward_first(context, tunnel, first, *received);
}

}  // namespace

bool prime_tunnel(RelayContext& context, const TunnelOrder& order, OpenedTunnel& tunnel) {
  if (!prepare_for_loop(*tunnel.upstream, context.options.socket_buffer_bytes)) {
    tunnel.upstream = nullptr;
    return false;
  }
  send_first_bytes(context, order, tunnel);
  return true;
}

OpenedTunnel open_and_prime_tunnel(RelayContext& context, const TunnelOrder& order,
                                   const std::atomic<bool>& abandoned) {
  OpenedTunnel tunnel;
  tunnel.connection_id = order.connection_id;
  tunnel.upstream = open_tunnel(context, order, abandoned);
  if (!tunnel.upstream || abandoned) return tunnel;
  prime_tunnel(context, order, tunnel);
  return tunnel;
}

}  // namespace tovix
