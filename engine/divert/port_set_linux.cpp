#include "engine/divert/port_set_linux.h"

#include <linux/netfilter/ipset/ip_set.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/divert/divert_error.h"

namespace tovix {
namespace {

// Appends one netlink attribute, padded to the 4-byte boundary the format requires.
void put_attribute(std::vector<std::uint8_t>& message, std::uint16_t type, const void* data, std::size_t length) {
  nlattr header{};
  header.nla_len = static_cast<std::uint16_t>(NLA_HDRLEN + length);
  header.nla_type = type;
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&header);
  message.insert(message.end(), raw, raw + sizeof header);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  message.insert(message.end(), bytes, bytes + length);
  message.resize(NLMSG_ALIGN(message.size()), 0);
}

DivertOsError netlink_error(const std::string& what, int error) {
  return DivertOsError(DIVERT_ERROR_NOT_SUPPORTED, what + ": " + std::strerror(error));
}

}  // namespace

IpsetPortSet::IpsetPortSet(std::string set_name) : _set_name(std::move(set_name)) {
  _fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
  if (_fd < 0) throw netlink_error("netfilter netlink socket for the port set", errno);
}

IpsetPortSet::~IpsetPortSet() {
  if (_fd >= 0) ::close(_fd);
}

void IpsetPortSet::add(std::uint16_t port) { _change(IPSET_CMD_ADD, port); }
void IpsetPortSet::remove(std::uint16_t port) { _change(IPSET_CMD_DEL, port); }

void IpsetPortSet::_change(int command, std::uint16_t port) {
  std::vector<std::uint8_t> message(NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg)), 0);
  const std::uint8_t protocol = IPSET_PROTOCOL;
  put_attribute(message, IPSET_ATTR_PROTOCOL, &protocol, sizeof protocol);
  put_attribute(message, IPSET_ATTR_SETNAME, _set_name.c_str(), _set_name.size() + 1);
  // The element: one port in network order, nested in the data attribute.
  std::vector<std::uint8_t> element;
  const std::uint16_t network_port = htons(port);
  put_attribute(element, IPSET_ATTR_PORT | NLA_F_NET_BYTEORDER, &network_port, sizeof network_port);
  put_attribute(message, IPSET_ATTR_DATA | NLA_F_NESTED, element.data(), element.size());

  auto* header = reinterpret_cast<nlmsghdr*>(message.data());
  header->nlmsg_len = static_cast<std::uint32_t>(message.size());
  header->nlmsg_type = static_cast<std::uint16_t>((NFNL_SUBSYS_IPSET << 8) | command);
  // Without NLM_F_EXCL the kernel ignores an existing element on add and a missing one on delete.
  header->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  header->nlmsg_seq = ++_sequence;
  auto* generic = reinterpret_cast<nfgenmsg*>(message.data() + NLMSG_HDRLEN);
  generic->nfgen_family = AF_INET;
  generic->version = NFNETLINK_V0;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(_fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    throw netlink_error("port set update", errno);
  }
  alignas(nlmsghdr) std::uint8_t reply[512];
  for (;;) {
    const ssize_t got = recv(_fd, reply, sizeof reply, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw netlink_error("port set update", errno);
    }
    const auto* answer = reinterpret_cast<const nlmsghdr*>(reply);
    if (!NLMSG_OK(answer, static_cast<std::uint32_t>(got)) || answer->nlmsg_seq != _sequence) continue;
    if (answer->nlmsg_type != NLMSG_ERROR) continue;
    const int error = -reinterpret_cast<const nlmsgerr*>(NLMSG_DATA(answer))->error;
    if (error == 0) return;
    if (error == IPSET_ERR_EXIST) return;
    throw DivertOsError(
        DIVERT_ERROR_NOT_SUPPORTED,
        "port set " + _set_name + " update failed: " +
            (error < IPSET_ERR_PRIVATE ? std::string(std::strerror(error)) : "ipset error " + std::to_string(error)));
  }
}

}  // namespace tovix
