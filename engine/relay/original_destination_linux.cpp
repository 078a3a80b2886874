#include <arpa/inet.h>
#include <linux/netfilter_ipv4.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "engine/relay/original_destination.h"

namespace tovix {

std::optional<SocketAddress> redirected_from(const Socket& accepted) {
  sockaddr_in original{};
  socklen_t length = sizeof original;
  // Connection tracking answers with the connection's original destination: the socket's own
  // address when nothing redirected it, an error when it is not tracked at all.
  if (getsockopt(accepted.native_handle(), SOL_IP, SO_ORIGINAL_DST, &original, &length) != 0 ||
      original.sin_family != AF_INET)
    return std::nullopt;
  char text[INET_ADDRSTRLEN] = {};
  if (!inet_ntop(AF_INET, &original.sin_addr, text, sizeof text)) return std::nullopt;
  SocketAddress destination{text, ntohs(original.sin_port)};
  if (destination == accepted.local_address()) return std::nullopt;
  return destination;
}

}  // namespace tovix
