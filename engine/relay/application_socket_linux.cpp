#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "engine/relay/application_socket.h"

namespace tovix {
namespace {

class NetlinkSocket {
 public:
  NetlinkSocket() : fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}
  ~NetlinkSocket() {
    if (fd >= 0) close(fd);
  }
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;
  const int fd;
};

bool to_address(const std::string& text, std::uint32_t& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = parsed.s_addr;
  return true;
}

}  // namespace

std::optional<bool> application_closed(const SocketAddress& local, const SocketAddress& remote) {
  inet_diag_req_v2 request{};
  request.sdiag_family = AF_INET;
  request.sdiag_protocol = IPPROTO_TCP;
  request.idiag_states = ~0u;
  request.id.idiag_sport = htons(static_cast<std::uint16_t>(local.second));
  request.id.idiag_dport = htons(static_cast<std::uint16_t>(remote.second));
  if (!to_address(local.first, request.id.idiag_src[0]) || !to_address(remote.first, request.id.idiag_dst[0]))
    return std::nullopt;
  request.id.idiag_cookie[0] = request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;  // the one socket, not a walk of the table
  message.header.nlmsg_seq = 1;
  message.body = request;

  NetlinkSocket netlink;
  if (netlink.fd < 0) return std::nullopt;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(netlink.fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    return std::nullopt;
  alignas(nlmsghdr) char answer[8192];
  const ssize_t got = recv(netlink.fd, answer, sizeof answer, 0);
  if (got < static_cast<ssize_t>(sizeof(nlmsghdr))) return std::nullopt;
  const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
  // No such socket comes back as an error message.
  if (!NLMSG_OK(header, static_cast<unsigned>(got)) || header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
    return std::nullopt;
  const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  // The look-up may fall back to a listener on the port: only the very connection counts.
  if (found->idiag_state == TCP_LISTEN || found->id.idiag_sport != request.id.idiag_sport ||
      found->id.idiag_dport != request.id.idiag_dport || found->id.idiag_src[0] != request.id.idiag_src[0] ||
      found->id.idiag_dst[0] != request.id.idiag_dst[0])
    return std::nullopt;
  // A socket no descriptor holds any more has no inode.
  return found->idiag_inode == 0;
}

}  // namespace tovix
