#include "engine/divert/nfqueue_diverter_linux.h"

#include <arpa/inet.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "common/logging.h"
#include "common/socket.h"
#include "engine/divert/checksum.h"
#include "engine/divert/divert_rules_linux.h"
#include "engine/divert/held_rules_linux.h"
#include "engine/divert/port_set_linux.h"

namespace tovix {
namespace {

// A whole segmentation-offload packet (64 KiB) with its netlink framing.
constexpr std::size_t kReceiveBufferSize = 0x10000 + 0x2000;
// Messages taken from the socket in one call while a bulk transfer keeps the queue busy.
constexpr std::size_t kReceiveBatch = 8;
// Receive buffers kept for reuse beyond those the engine holds: enough for two batches.
constexpr std::size_t kSpareBuffers = 2 * kReceiveBatch;
constexpr std::uint32_t kCopyRange = 0xFFFF;
constexpr std::uint32_t kQueueLength = 4096;
// Room for a full queue of small packets and a good part of one of large ones; the kernel
// drops (never passes) what does not fit.
constexpr int kSocketBuffer = 32 * 1024 * 1024;

DivertOsError access_denied(const std::string& what) {
  return DivertOsError(DIVERT_ERROR_ACCESS_DENIED, "拒绝访问 (access denied): " + what + " needs root (CAP_NET_ADMIN)");
}

DivertOsError open_error(const std::string& what, int error) {
  if (error == EPERM || error == EACCES) return access_denied(what);
  if (error == EBUSY) {
    return DivertOsError(DIVERT_ERROR_BUSY, what + ": the queue is bound by another program");
  }
  return DivertOsError(DIVERT_ERROR_NOT_SUPPORTED,
                       what + " failed, the kernel lacks NFQUEUE support (nfnetlink_queue): " + std::strerror(error));
}

bool is_loopback_address(const Packet& packet) {
  const auto ip = packet.ipv4();
  return ip && ip->dst_addr().starts_with("127.");
}

// A socket that sends whole IP datagrams of one version, marked so the rules let them by.
int open_raw_socket(int family, std::uint32_t mark) {
  const int fd = socket(family, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  if (fd < 0) throw open_error(family == AF_INET ? "opening a raw IPv4 socket" : "opening a raw IPv6 socket", errno);
  if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) < 0) {
    const int error = errno;
    ::close(fd);
    throw open_error("marking a raw socket", error);
  }
  return fd;
}

// The verdict of a rewritten packet, with its new bytes and mark, sent straight from the packet's
// own buffer: the library's call needs a copy of the packet padded to four bytes.
int send_verdict_with_payload(int fd, std::uint16_t queue_number, std::uint32_t id, std::uint32_t verdict,
                              std::uint32_t mark, std::span<const std::uint8_t> bytes) {
  struct Head {
    nlmsghdr message;
    nfgenmsg family;
    nlattr verdict_attribute;
    nfqnl_msg_verdict_hdr verdict;
    nlattr mark_attribute;
    std::uint32_t mark;
    nlattr payload_attribute;
  };
  static_assert(sizeof(Head) == NLMSG_HDRLEN + sizeof(nfgenmsg) + NLA_HDRLEN + sizeof(nfqnl_msg_verdict_hdr) +
                                    NLA_HDRLEN + sizeof(std::uint32_t) + NLA_HDRLEN,
                "the verdict's attributes follow each other without padding");
  static constexpr std::uint8_t kPadding[NLA_ALIGNTO] = {};
  // An attribute's length has 16 bits.
  if (bytes.size() > 0xFFFF - NLA_HDRLEN) {
    errno = EMSGSIZE;
    return -1;
  }
  const std::size_t padding = NLA_ALIGN(bytes.size()) - bytes.size();
  Head head{};
  head.message.nlmsg_len = static_cast<std::uint32_t>(sizeof head + bytes.size() + padding);
  head.message.nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_VERDICT;
  head.message.nlmsg_flags = NLM_F_REQUEST;
  head.family.nfgen_family = AF_UNSPEC;
  head.family.version = NFNETLINK_V0;
  head.family.res_id = htons(queue_number);
  head.verdict_attribute = {static_cast<std::uint16_t>(NLA_HDRLEN + sizeof head.verdict), NFQA_VERDICT_HDR};
  head.verdict = {htonl(verdict), htonl(id)};
  head.mark_attribute = {static_cast<std::uint16_t>(NLA_HDRLEN + sizeof head.mark), NFQA_MARK};
  head.mark = htonl(mark);
  head.payload_attribute = {static_cast<std::uint16_t>(NLA_HDRLEN + bytes.size()), NFQA_PAYLOAD};
  iovec parts[3] = {{&head, sizeof head},
                    {const_cast<std::uint8_t*>(bytes.data()), bytes.size()},
                    {const_cast<std::uint8_t*>(kPadding), padding}};
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  msghdr message{};
  message.msg_name = &kernel;
  message.msg_namelen = sizeof kernel;
  message.msg_iov = parts;
  message.msg_iovlen = padding > 0 ? 3 : 2;
  return sendmsg(fd, &message, 0) < 0 ? -1 : 0;
}

}  // namespace

struct NfqueueDiverter::Queue {
  nfq_handle* handle = nullptr;
  nfq_q_handle* queue = nullptr;
  int fd = -1;

  ~Queue() {
    if (queue) nfq_destroy_queue(queue);
    if (handle) nfq_close(handle);
  }

  static int on_packet(nfq_q_handle*, nfgenmsg*, nfq_data* data, void* self_pointer) {
    auto& self = *static_cast<NfqueueDiverter*>(self_pointer);
    // Closing reads what arrives meanwhile; those packets go down with the queue.
    if (!self._open) return 0;
    const nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
    if (!header) return 0;
    unsigned char* payload = nullptr;
    const int length = nfq_get_payload(data, &payload);
    if (length < 0) return 0;
    CaptureInfo info;
    info.outbound = true;
    info.interface_index = nfq_get_outdev(data);
    info.loopback = info.interface_index != 0 && info.interface_index == self._loopback_index;
    info.ip_checksum_valid = true;
    // Offloaded packets carry only the pseudo-header sum until the device completes it.
    info.tcp_checksum_valid = (nfq_get_skbinfo(data) & NFQA_SKB_CSUMNOTREADY) == 0;
    Packet packet = self._packet_at(payload, static_cast<std::size_t>(length), info);
    if (!info.loopback) packet.info().loopback = is_loopback_address(packet);
    self._received.push_back({ntohl(header->packet_id), nfq_get_nfmark(data), std::move(packet)});
    self._packets_received.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
};

NfqueueDiverter::NfqueueDiverter(std::uint16_t queue_number, DataPath path)
    : _queue_number(queue_number),
      _path(path),
      _wake_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (_wake_fd < 0) throw std::runtime_error(fmt::format("eventfd: {}", std::strerror(errno)));
  // Never more: a receive returns what it did not use, recycle keeps at most the spares.
  _spare_buffers.reserve(kSpareBuffers + kReceiveBatch);
}

NfqueueDiverter::~NfqueueDiverter() {
  close();
  ::close(_wake_fd);
}

void NfqueueDiverter::open(const std::string& filter) {
  close();
  if (filter != SUPPORTED_FILTER) {
    throw DivertOsError(
        DIVERT_ERROR_NOT_SUPPORTED,
        fmt::format("the NFQUEUE backend implements only the filter \"{}\", not \"{}\"", SUPPORTED_FILTER, filter));
  }
  const std::string what = fmt::format("binding netfilter queue {}", _queue_number);
  auto queue = std::make_unique<Queue>();
  errno = 0;
  queue->handle = nfq_open();
  if (!queue->handle) throw open_error("opening netfilter netlink", errno == 0 ? EPROTONOSUPPORT : errno);
  errno = 0;
  queue->queue = nfq_create_queue(queue->handle, _queue_number, &Queue::on_packet, this);
  if (!queue->queue) throw open_error(what, errno == 0 ? EPROTONOSUPPORT : errno);
  if (nfq_set_mode(queue->queue, NFQNL_COPY_PACKET, kCopyRange) < 0) throw open_error(what, errno);
  // Whole offloaded packets instead of one message per segment; older kernels lack the flag.
  if (nfq_set_queue_flags(queue->queue, NFQA_CFG_F_GSO, NFQA_CFG_F_GSO) < 0) {
    get_logger(LOGGER_ENGINE)->debug("NFQUEUE 不支持整包 (GSO) 模式: {}", std::strerror(errno));
  }
  nfq_set_queue_maxlen(queue->queue, kQueueLength);
  queue->fd = nfq_fd(queue->handle);
  if (setsockopt(queue->fd, SOL_SOCKET, SO_RCVBUFFORCE, &kSocketBuffer, sizeof kSocketBuffer) < 0) {
    setsockopt(queue->fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
  }
  _loopback_index = if_nametoindex("lo");

  // Bound: no live reader of an earlier run holds the queue, so any rules of ours are stale.
  DivertRuleNames names;
  names.queue_number = _queue_number;
  names.reinject_mark = REINJECT_MARK;
  names.own_mark = OWN_CONNECTION_MARK;
  if (_path == DataPath::kernel) names.kernel_path_mark = KERNEL_PATH_MARK;
  auto rules = std::make_unique<DivertRules>(names);
  rules->remove_stale();
  HeldRules::remove_stale();
  auto port_set = std::make_unique<IpsetPortSet>(names.port_set);
  {
    std::lock_guard guard(_raw_lock);
    _raw4 = open_raw_socket(AF_INET, REINJECT_MARK);
    if (kernel_has_ipv6()) _raw6 = open_raw_socket(AF_INET6, REINJECT_MARK);
  }
  try {
    rules->install();
  } catch (...) {
    _close_raw_sockets();
    throw;
  }

  _ports = DivertedPorts{};
  _received.clear();
  _pending.reset();
  _queue = std::move(queue);
  {
    std::lock_guard guard(_rules_lock);
    _rules = std::move(rules);
  }
  _port_set = std::move(port_set);
  _packets_received = 0;
  eventfd_t ignored = 0;
  eventfd_read(_wake_fd, &ignored);
  _shut_down = false;
  _open = true;
  get_logger(LOGGER_ENGINE)->debug("NFQUEUE 队列 {} 已打开", _queue_number);
}

void NfqueueDiverter::set_param(DivertParam param, std::uint64_t value) {
  if (!_queue) throw handle_not_open_error();
  if (param != DivertParam::QUEUE_LENGTH) return;
  if (value == 0 || value > 65536) {
    throw DivertOsError(DIVERT_ERROR_INVALID_PARAMETER, "queue length out of range: " + std::to_string(value));
  }
  if (nfq_set_queue_maxlen(_queue->queue, static_cast<std::uint32_t>(value)) < 0) {
    throw DivertOsError(DIVERT_ERROR_INVALID_PARAMETER, fmt::format("queue length: {}", std::strerror(errno)));
  }
}

std::optional<Packet> NfqueueDiverter::recv() {
  if (!_queue) throw handle_not_open_error();
  _drop_unsent();
  while (_received.empty()) {
    if (_shut_down) return std::nullopt;
    pollfd waits[2] = {{_queue->fd, POLLIN, 0}, {_wake_fd, POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw DivertOsError(DIVERT_ERROR_NO_DATA, fmt::format("poll: {}", std::strerror(errno)));
    }
    if (waits[1].revents != 0) {
      _shut_down = true;
      continue;
    }
    _read_socket();
  }
  Captured& next = _received.front();
  _pending = Pending{next.id, next.mark, CapturedHeaders(next.packet)};
  std::optional<Packet> packet(std::move(next.packet));
  _received.pop_front();
  return packet;
}

void NfqueueDiverter::recycle(Packet&& packet) noexcept {
  std::vector<std::uint8_t> storage = std::move(packet).take_storage();
  if (storage.capacity() < kReceiveBufferSize || _spare_buffers.size() >= kSpareBuffers) return;
  storage.resize(kReceiveBufferSize);
  _spare_buffers.push_back(std::move(storage));
}

Packet NfqueueDiverter::_packet_at(const unsigned char* payload, std::size_t length, const CaptureInfo& info) {
  std::vector<std::uint8_t>* storage = _receiving;
  if (storage != nullptr && !storage->empty()) {
    const auto offset = static_cast<std::size_t>(payload - storage->data());
    if (payload >= storage->data() && offset + length <= storage->size()) {
      return Packet(std::move(*storage), offset, length, info);
    }
  }
  // A second packet in one message: its buffer already went with the first.
  return Packet(std::vector<std::uint8_t>(payload, payload + length), info);
}

void NfqueueDiverter::_read_socket() {
  std::array<std::vector<std::uint8_t>, kReceiveBatch> buffers;
  std::array<mmsghdr, kReceiveBatch> messages{};
  std::array<iovec, kReceiveBatch> parts{};
  for (std::size_t i = 0; i < kReceiveBatch; ++i) {
    if (_spare_buffers.empty()) {
      buffers[i].resize(kReceiveBufferSize);
    } else {
      buffers[i] = std::move(_spare_buffers.back());
      _spare_buffers.pop_back();
    }
    parts[i] = {buffers[i].data(), kReceiveBufferSize};
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  // Buffers no packet took (the packets keep theirs) wait for the next receive.
  struct KeepUnused {
    NfqueueDiverter& self;
    std::array<std::vector<std::uint8_t>, kReceiveBatch>& buffers;
    ~KeepUnused() {
      self._receiving = nullptr;
      for (auto& buffer : buffers)
        if (!buffer.empty()) self._spare_buffers.push_back(std::move(buffer));
    }
  } keep_unused{*this, buffers};
  const int got = recvmmsg(_queue->fd, messages.data(), kReceiveBatch, MSG_DONTWAIT, nullptr);
  if (got < 0) {
    if (errno == EAGAIN || errno == EINTR) return;
    // The reader fell behind and the kernel dropped packets (never passed them): go on.
    if (errno == ENOBUFS) {
      get_logger(LOGGER_ENGINE)->debug("NFQUEUE 缓冲区溢出，内核已丢弃数据包");
      return;
    }
    throw DivertOsError(DIVERT_ERROR_NO_DATA, fmt::format("reading netfilter queue: {}", std::strerror(errno)));
  }
  for (int i = 0; i < got; ++i) {
    _receiving = &buffers[static_cast<std::size_t>(i)];
    nfq_handle_packet(_queue->handle, static_cast<char*>(parts[i].iov_base), static_cast<int>(messages[i].msg_len));
  }
}

void NfqueueDiverter::send(const Packet& packet) {
  if (!_queue) throw handle_not_open_error();
  if (!_pending) {
    throw DivertOsError(DIVERT_ERROR_INVALID_PARAMETER, "no captured packet is waiting to be sent back");
  }
  const Pending captured = *_pending;
  _pending.reset();
  const bool changed = rewritten(captured.headers, packet);
  try {
    if (const auto update = _ports.on_send(captured.headers, packet)) {
      if (update->change == DivertedPorts::Change::add) {
        _port_set->add(update->port);
      } else {
        _port_set->remove(update->port);
      }
    }
  } catch (...) {
    // Released without its port in the set, the connection's next segments would leave
    // unchanged; dropped, the SYN is retried by the application.
    nfq_set_verdict(_queue->queue, captured.id, NF_DROP, 0, nullptr);
    throw;
  }
  int result = 0;
  if (changed) {
    // Through the hook once more: the mark takes it out of connection tracking and past the
    // queue, and the kernel routes it anew for its new addresses.
    result = send_verdict_with_payload(_queue->fd, _queue_number, captured.id, NF_REPEAT, captured.mark | REINJECT_MARK,
                                       packet.bytes());
  } else {
    result = nfq_set_verdict(_queue->queue, captured.id, NF_ACCEPT, 0, nullptr);
  }
  if (result < 0) {
    throw DivertOsError(DIVERT_ERROR_INVALID_PARAMETER, fmt::format("verdict: {}", std::strerror(errno)));
  }
}

bool NfqueueDiverter::carry_to_relay(const Packet& syn, int relay_port) {
  if (!_queue) throw handle_not_open_error();
  if (_path != DataPath::kernel || !_pending || syn.ip_version() != 4 || relay_port <= 0 || relay_port > 0xFFFF)
    return false;
  std::lock_guard guard(_rules_lock);
  // Without its redirect in place the marked SYN would leave as it is: the user-space path
  // carries the connection instead.
  if (!_rules->redirect_to(static_cast<std::uint16_t>(relay_port))) return false;
  const Pending captured = *_pending;
  _pending.reset();
  const std::uint32_t mark =
      (captured.mark & 0xFFFFu & ~KERNEL_PATH_MARK) | KERNEL_PATH_MARK | (static_cast<std::uint32_t>(relay_port) << 16);
  // The SYN passes the nat table within this call, so the rule it needs is still there.
  if (nfq_set_verdict2(_queue->queue, captured.id, NF_ACCEPT, mark, 0, nullptr) < 0) {
    throw DivertOsError(DIVERT_ERROR_INVALID_PARAMETER, fmt::format("verdict: {}", std::strerror(errno)));
  }
  return true;
}

void NfqueueDiverter::release_relay(int relay_port) noexcept {
  if (relay_port <= 0 || relay_port > 0xFFFF) return;
  std::lock_guard guard(_rules_lock);
  if (_rules) _rules->remove_redirect(static_cast<std::uint16_t>(relay_port));
}

void NfqueueDiverter::drop(const Packet&) {
  if (!_queue) throw handle_not_open_error();
  _drop_unsent();
}

void NfqueueDiverter::inject(const Packet& packet) {
  const std::span<const std::uint8_t> bytes = packet.bytes();
  sockaddr_storage to{};
  socklen_t to_length = 0;
  if (packet.ip_version() == 4) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(to);
    v4.sin_family = AF_INET;
    std::memcpy(&v4.sin_addr, bytes.data() + 16, 4);
    to_length = sizeof v4;
  } else if (packet.ip_version() == 6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(to);
    v6.sin6_family = AF_INET6;
    std::memcpy(&v6.sin6_addr, bytes.data() + 24, 16);
    to_length = sizeof v6;
  } else {
    throw DivertOsError(DIVERT_ERROR_INVALID_PARAMETER, "injecting a packet that is neither IPv4 nor IPv6");
  }
  std::lock_guard guard(_raw_lock);
  const int fd = packet.ip_version() == 4 ? _raw4 : _raw6;
  if (fd < 0) throw handle_not_open_error();
  if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), to_length) < 0) {
    throw DivertOsError(DIVERT_ERROR_INVALID_PARAMETER, fmt::format("injecting a packet: {}", std::strerror(errno)));
  }
}

void NfqueueDiverter::_close_raw_sockets() noexcept {
  std::lock_guard guard(_raw_lock);
  for (int* fd : {&_raw4, &_raw6}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void NfqueueDiverter::_drop_unsent() noexcept {
  if (!_pending) return;
  nfq_set_verdict(_queue->queue, _pending->id, NF_DROP, 0, nullptr);
  _pending.reset();
}

void NfqueueDiverter::recalculate_checksums(Packet& packet) { compute_checksums(packet); }

std::unique_ptr<HeldConnections> NfqueueDiverter::hold_after_close(const std::vector<TcpTuple>& connections) {
  if (!_open) throw handle_not_open_error();
  return std::make_unique<HeldRules>(connections);
}

void NfqueueDiverter::shutdown() noexcept {
  if (!_open) return;
  eventfd_write(_wake_fd, 1);
}

void NfqueueDiverter::close() noexcept {
  if (!_queue) return;
  _open = false;
  // Rules first: with the queue gone, packets still matching them would have no reader.
  {
    std::lock_guard guard(_rules_lock);
    if (_rules) _rules->remove();
    _rules.reset();
  }
  _port_set.reset();
  _close_raw_sockets();
  _received.clear();
  _pending.reset();
  // Packets still held in the kernel queue are dropped when it is destroyed.
  _queue.reset();
  get_logger(LOGGER_ENGINE)->debug("NFQUEUE 队列 {} 已关闭", _queue_number);
}

}  // namespace tovix
