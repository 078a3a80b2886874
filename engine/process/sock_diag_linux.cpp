#include "engine/process/sock_diag_linux.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace tovix {
namespace {

constexpr std::size_t kReceiveBuffer = 64 * 1024;

class NetlinkSocket {
 public:
  NetlinkSocket() : _fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {
    if (_fd < 0) throw ProcessQueryError(fmt::format("sock_diag netlink: {}", std::strerror(errno)));
  }
  ~NetlinkSocket() { close(_fd); }
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;
  int fd() const { return _fd; }

 private:
  int _fd;
};

void request_dump(int fd, std::uint8_t family, std::uint32_t sequence) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.header.nlmsg_seq = sequence;
  message.request.sdiag_family = family;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;  // every state
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    throw ProcessQueryError(fmt::format("sock_diag request: {}", std::strerror(errno)));
  }
}

void append_row(const inet_diag_msg& record, std::vector<ProcNetTcpRow>& rows) {
  ProcNetTcpRow row;
  const auto* address = reinterpret_cast<const std::uint8_t*>(record.id.idiag_src);
  row.local.address = record.idiag_family == AF_INET6 ? format_ipv6(address) : format_ipv4(address);
  row.local.port = ntohs(record.id.idiag_sport);
  row.state = linux_tcp_state_name(record.idiag_state);
  row.inode = record.idiag_inode;
  rows.push_back(std::move(row));
}

// Reads the answers to one dump until its closing message.
void read_dump(int fd, std::uint32_t sequence, std::vector<ProcNetTcpRow>& rows) {
  alignas(nlmsghdr) static thread_local std::uint8_t buffer[kReceiveBuffer];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw ProcessQueryError(fmt::format("sock_diag answer: {}", std::strerror(errno)));
    }
    auto remaining = static_cast<int>(got);
    for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
         header = NLMSG_NEXT(header, remaining)) {
      if (header->nlmsg_seq != sequence) continue;
      if (header->nlmsg_type == NLMSG_DONE) return;
      if (header->nlmsg_type == NLMSG_ERROR) {
        const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
        throw ProcessQueryError(fmt::format("sock_diag: {}", std::strerror(error)));
      }
      if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        continue;
      append_row(*static_cast<const inet_diag_msg*>(NLMSG_DATA(header)), rows);
    }
  }
}

}  // namespace

std::vector<ProcNetTcpRow> dump_tcp_sockets() {
  NetlinkSocket netlink;
  std::vector<ProcNetTcpRow> rows;
  std::uint32_t sequence = 0;
  for (const std::uint8_t family : {std::uint8_t{AF_INET}, std::uint8_t{AF_INET6}}) {
    request_dump(netlink.fd(), family, ++sequence);
    try {
      read_dump(netlink.fd(), sequence, rows);
    } catch (const ProcessQueryError&) {
      // A kernel without IPv6 has no such sockets to list.
      if (family == AF_INET) throw;
    }
  }
  return rows;
}

}  // namespace tovix
