#include "engine/process/sock_diag_linux.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include <fmt/format.h>

namespace tovix {
namespace {

constexpr std::size_t kReceiveBuffer = 64 * 1024;

// Every state but those of sockets no process holds any more (TIME_WAIT, and the half-open
// requests a listener keeps): they have no inode to trace and on a busy machine they are most
// of the table, so the kernel is asked to leave them out rather than format and send them.
constexpr std::uint32_t kTimeWait = 6;
constexpr std::uint32_t kNewSynRecv = 12;
constexpr std::uint32_t kHeldStates = ~((1u << kTimeWait) | (1u << kNewSynRecv));

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

// Sends one request: a netlink header of `type` followed by `request`; a dump unless `dump` is
// false (one socket, named by the request).
template <typename Request>
void send_request(int fd, std::uint32_t sequence, std::uint16_t type, const Request& request, bool dump = true) {
  struct {
    nlmsghdr header;
    Request request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = type;
  message.header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | (dump ? NLM_F_DUMP : 0));
  message.header.nlmsg_seq = sequence;
  message.request = request;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    throw ProcessQueryError(fmt::format("sock_diag request: {}", std::strerror(errno)));
  }
}

// One dump of both address families: the older request form asks for every family at once,
// so the kernel walks its connection hash table once instead of once per family (the walk,
// not the number of sockets, is most of the cost).
void request_dump(int fd, std::uint32_t sequence) {
  inet_diag_req request{};
  request.idiag_family = AF_INET;
  request.idiag_states = kHeldStates;
  send_request(fd, sequence, TCPDIAG_GETSOCK, request);
}

// UDP has no combined request: one per address family, every state (an unconnected socket is
// listed as closed, a connected one as established).
void request_udp_dump(int fd, std::uint32_t sequence, std::uint8_t family) {
  inet_diag_req_v2 request{};
  request.sdiag_family = family;
  request.sdiag_protocol = IPPROTO_UDP;
  request.idiag_states = ~0u;
  send_request(fd, sequence, SOCK_DIAG_BY_FAMILY, request);
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
void read_dump(int fd, std::uint32_t sequence, std::uint16_t record_type, std::vector<ProcNetTcpRow>& rows) {
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
        // A kernel without IPv6 has no such sockets to list.
        if (error == ENOENT) return;
        throw ProcessQueryError(fmt::format("sock_diag: {}", std::strerror(error)));
      }
      if (header->nlmsg_type != record_type || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
      append_row(*static_cast<const inet_diag_msg*>(NLMSG_DATA(header)), rows);
    }
  }
}

}  // namespace

std::vector<ProcNetTcpRow> dump_tcp_sockets() {
  NetlinkSocket netlink;
  std::vector<ProcNetTcpRow> rows;
  constexpr std::uint32_t sequence = 1;
  request_dump(netlink.fd(), sequence);
  read_dump(netlink.fd(), sequence, TCPDIAG_GETSOCK, rows);
  return rows;
}

std::optional<ProcNetTcpRow> find_tcp4_socket(std::uint32_t local_address, std::uint16_t local_port,
                                             std::uint32_t remote_address, std::uint16_t remote_port) {
  inet_diag_req_v2 request{};
  request.sdiag_family = AF_INET;
  request.sdiag_protocol = IPPROTO_TCP;
  request.idiag_states = ~0u;
  request.id.idiag_src[0] = local_address;
  request.id.idiag_sport = htons(local_port);
  request.id.idiag_dst[0] = remote_address;
  request.id.idiag_dport = htons(remote_port);
  request.id.idiag_cookie[0] = request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  NetlinkSocket netlink;
  constexpr std::uint32_t sequence = 1;
  send_request(netlink.fd(), sequence, SOCK_DIAG_BY_FAMILY, request, false);
  alignas(nlmsghdr) std::uint8_t answer[8192];
  const ssize_t got = recv(netlink.fd(), answer, sizeof answer, 0);
  if (got < 0) throw ProcessQueryError(fmt::format("sock_diag answer: {}", std::strerror(errno)));
  const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
  // No such socket comes back as an error message.
  if (!NLMSG_OK(header, static_cast<unsigned>(got)) || header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
    return std::nullopt;
  const auto& found = *static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  // The look-up may fall back to a listener on the port: only the very connection counts.
  if (found.idiag_state == TCP_LISTEN || found.id.idiag_sport != request.id.idiag_sport ||
      found.id.idiag_dport != request.id.idiag_dport || found.id.idiag_src[0] != request.id.idiag_src[0] ||
      found.id.idiag_dst[0] != request.id.idiag_dst[0])
    return std::nullopt;
  std::vector<ProcNetTcpRow> rows;
  append_row(found, rows);
  return std::move(rows.front());
}

std::vector<ProcNetTcpRow> dump_udp_sockets() {
  NetlinkSocket netlink;
  std::vector<ProcNetTcpRow> rows;
  std::uint32_t sequence = 1;
  for (const std::uint8_t family : {std::uint8_t{AF_INET}, std::uint8_t{AF_INET6}}) {
    request_udp_dump(netlink.fd(), sequence, family);
    read_dump(netlink.fd(), sequence, SOCK_DIAG_BY_FAMILY, rows);
    ++sequence;
  }
  return rows;
}

std::optional<std::uint64_t> parse_tcp_opens(std::string_view snmp) {
  // Two "Tcp:" lines: the counter names, then their values in the same order.
  const std::size_t names_at = snmp.find("Tcp: ");
  if (names_at == std::string_view::npos) return std::nullopt;
  const std::size_t names_end = snmp.find('\n', names_at);
  const std::size_t values_at = snmp.find("Tcp: ", names_end);
  if (names_end == std::string_view::npos || values_at == std::string_view::npos) return std::nullopt;
  const auto words = [](std::string_view line) {
    std::vector<std::string_view> items;
    for (std::size_t at = 0; at < line.size();) {
      const std::size_t end = std::min(line.find(' ', at), line.size());
      if (end > at) items.push_back(line.substr(at, end - at));
      at = end + 1;
    }
    return items;
  };
  const auto names = words(snmp.substr(names_at, names_end - names_at));
  const auto values = words(snmp.substr(values_at, snmp.find('\n', values_at) - values_at));
  if (names.size() != values.size()) return std::nullopt;
  std::uint64_t opens = 0;
  int found = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] != "ActiveOpens" && names[i] != "PassiveOpens") continue;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(values[i].data(), values[i].data() + values[i].size(), value);
    if (error != std::errc() || end != values[i].data() + values[i].size()) return std::nullopt;
    opens += value;
    ++found;
  }
  return found == 2 ? std::optional(opens) : std::nullopt;
}

std::optional<std::uint64_t> tcp_connections_opened() {
  // The calling thread's network namespace, as its socket table walk sees it; /proc/net is the
  // main thread's.
  int fd = open("/proc/thread-self/net/snmp", O_RDONLY | O_CLOEXEC);
  if (fd < 0) fd = open("/proc/net/snmp", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  static thread_local char text[16384];
  std::size_t length = 0;
  for (ssize_t got; length < sizeof text && (got = read(fd, text + length, sizeof text - length)) != 0;) {
    if (got < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return std::nullopt;
    }
    length += static_cast<std::size_t>(got);
  }
  close(fd);
  return parse_tcp_opens(std::string_view(text, length));
}

}  // namespace tovix
