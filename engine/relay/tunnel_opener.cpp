#include "engine/relay/tunnel_opener.h"

#include <optional>
#include <stdexcept>

#include "engine/relay/direct_handler.h"

namespace tovix {

std::string upstream_key(const TunnelOrder& order) {
  if (order.direct) return "direct";
  return order.proxy.host + ":" + std::to_string(order.proxy.port);
}

std::shared_ptr<Socket> open_tunnel(const RelayContext& context, const TunnelOrder& order,
                                    const std::atomic<bool>& abandoned) {
  const ProxySettings& proxy = order.proxy;
  try {
    std::shared_ptr<Socket> upstream;
    if (order.direct) {
      upstream = DirectHandler().handle_connection(order.dst_ip, order.dst_port, {}, 0, {}, {});
    } else {
      try {
        std::unique_ptr<UpstreamHandler> handler = context.handler_factory(proxy.type);
        if (!handler) throw std::runtime_error("no upstream handler for type " + proxy.type);
        upstream = handler->handle_connection(order.dst_ip, order.dst_port, proxy.host, proxy.port, proxy.username,
                                              proxy.password);
        if (!upstream) throw std::runtime_error("upstream handler returned no socket");
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

void send_first_bytes(RelayContext& context, Socket& client, OpenedTunnel& tunnel) {
  char first[FIRST_BYTES];
  std::optional<std::size_t> received;
  try {
    received = client.receive_available(first, sizeof first);
  } catch (const SocketError&) {
    return;  // the loop finds the failure again
  }
  // An end of stream is left for the loop: receiving it again reports it again.
  if (!received || *received == 0) return;
  std::size_t sent = 0;
  try {
    sent = tunnel.upstream->send_available(first, *received);
  } catch (const SocketError&) {
  }
  tunnel.forwarded = sent;
  tunnel.unsent.assign(first + sent, *received - sent);
  context.add_traffic(sent, 0);
}

}  // namespace

OpenedTunnel open_and_prime_tunnel(RelayContext& context, const TunnelOrder& order,
                                   const std::atomic<bool>& abandoned) {
  OpenedTunnel tunnel;
  tunnel.connection_id = order.connection_id;
  tunnel.upstream = open_tunnel(context, order, abandoned);
  if (!tunnel.upstream) return tunnel;
  if (!prepare_for_loop(*tunnel.upstream, context.options.socket_buffer_bytes)) {
    tunnel.upstream = nullptr;
    return tunnel;
  }
  if (!abandoned && order.client) send_first_bytes(context, *order.client, tunnel);
  return tunnel;
}

}  // namespace tovix
