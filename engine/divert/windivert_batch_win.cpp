#include "engine/divert/windivert_batch_win.h"

#include <algorithm>

namespace tovix::windivert {
namespace {

constexpr std::size_t IPV4_HEADER_MIN = 20;
constexpr std::size_t IPV6_HEADER = 40;

}  // namespace

std::optional<std::size_t> stated_packet_length(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return std::nullopt;
  std::size_t length = 0;
  switch (bytes[0] >> 4) {
    case 4:
      if (bytes.size() < IPV4_HEADER_MIN) return std::nullopt;
      length = wire::load16(bytes, 2);
      if (length < IPV4_HEADER_MIN) return std::nullopt;
      break;
    case 6:
      if (bytes.size() < IPV6_HEADER) return std::nullopt;
      length = IPV6_HEADER + wire::load16(bytes, 4);
      break;
    default:
      return std::nullopt;
  }
  if (length > bytes.size()) return std::nullopt;
  return length;
}

ReceivedBatch::ReceivedBatch() : _buffer(BATCH_PACKETS * MTU_MAX), _addresses(BATCH_PACKETS) {
  _spans.reserve(BATCH_PACKETS);
  _spare.reserve(BATCH_PACKETS);
}

void ReceivedBatch::fill(std::size_t length, std::size_t address_count) {
  _spans.clear();
  _next = 0;
  length = std::min(length, _buffer.size());
  address_count = std::min(address_count, _addresses.size());
  std::size_t offset = 0;
  for (std::size_t i = 0; i < address_count && offset < length; ++i) {
    const std::span<const std::uint8_t> rest(_buffer.data() + offset, length - offset);
    const std::optional<std::size_t> stated = stated_packet_length(rest);
    const std::size_t size = stated ? *stated : rest.size();
    _spans.push_back({offset, size});
    offset += size;
    if (!stated) break;
  }
}

Packet ReceivedBatch::take() {
  const Span span = _spans[_next];
  const Address& address = _addresses[_next];
  ++_next;
  const auto begin = _buffer.begin() + static_cast<std::ptrdiff_t>(span.offset);
  std::vector<std::uint8_t> storage;
  if (!_spare.empty()) {
    storage = std::move(_spare.back());
    _spare.pop_back();
  }
  storage.assign(begin, begin + static_cast<std::ptrdiff_t>(span.length));
  return Packet(std::move(storage), capture_info_from(address));
}

void ReceivedBatch::recycle(std::vector<std::uint8_t> storage) {
  // One batch's worth: the engine hands back each packet before it takes the next.
  if (storage.capacity() == 0 || _spare.size() >= BATCH_PACKETS) return;
  _spare.push_back(std::move(storage));
}

SendQueue::SendQueue() {
  _bytes.reserve(BATCH_PACKETS * 1500);
  _addresses.reserve(BATCH_PACKETS);
}

bool SendQueue::batchable(const Packet& packet) {
  const std::optional<std::size_t> stated = stated_packet_length(packet.bytes());
  return stated && *stated == packet.bytes().size();
}

void SendQueue::add(const Packet& packet) {
  _bytes.insert(_bytes.end(), packet.bytes().begin(), packet.bytes().end());
  _addresses.push_back(address_from(packet.info(), packet.ip_version() == 6));
}

void SendQueue::clear() {
  _bytes.clear();
  _addresses.clear();
}

}  // namespace tovix::windivert
