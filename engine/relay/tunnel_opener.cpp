#include "engine/relay/tunnel_opener.h"

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

bool prepare_for_loop(Socket& upstream, int socket_buffer_bytes) noexcept {
  try {
    upstream.set_non_blocking(true);
    upstream.set_no_delay(true);
    if (socket_buffer_bytes > 0) upstream.set_buffer_sizes(socket_buffer_bytes);
    return true;
  } catch (const SocketError&) {
    upstream.close();
    return false;
  }
}

}  // namespace tovix
