#pragma once
// Packets move between the WinDivert backend and the driver up to BATCH_PACKETS per call
// (WinDivertRecvEx / WinDivertSendEx): the packets lie back to back in one buffer, each as
// long as its IP header states, with one address record each in an array beside it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/divert/packet.h"
#include "engine/divert/windivert_abi_win.h"

namespace tovix::windivert {

inline constexpr std::size_t BATCH_PACKETS = 64;

// The length the IPv4 or IPv6 header at the start of `bytes` states for its packet; nullopt when
// there is no such header or it states a length shorter than itself or beyond `bytes`.
PACKET_DIVERT_EXPORT std::optional<std::size_t> stated_packet_length(std::span<const std::uint8_t> bytes);

// What one batched receive handed over, given out one packet at a time.
class PACKET_DIVERT_EXPORT ReceivedBatch {
 public:
  ReceivedBatch();

  // Where the driver writes: room for BATCH_PACKETS packets of the largest size.
  std::uint8_t* buffer() { return _buffer.data(); }
  std::size_t buffer_size() const { return _buffer.size(); }
  Address* addresses() { return _addresses.data(); }
  std::size_t address_bytes() const { return _addresses.size() * sizeof(Address); }

  // Splits the `length` bytes written into `address_count` packets. Should a stated length not
  // fit, the rest of the bytes become one packet: its header is inconsistent, so the engine
  // rewrites nothing in it and the driver refuses to send it.
  void fill(std::size_t length, std::size_t address_count);
  bool empty() const { return _next == _spans.size(); }
  // The next packet, copied into the storage of a packet handed back, when there is one.
  Packet take();
  // Keeps a handed-back packet's storage for a later take.
  void recycle(std::vector<std::uint8_t> storage);

 private:
  struct Span {
    std::size_t offset;
    std::size_t length;
  };
  std::vector<std::uint8_t> _buffer;
  std::vector<Address> _addresses;
  std::vector<Span> _spans;
  std::size_t _next = 0;
  std::vector<std::vector<std::uint8_t>> _spare;
};

// Packets waiting to be sent together.
class PACKET_DIVERT_EXPORT SendQueue {
 public:
  SendQueue();

  // Whether the driver takes `packet` in a batch: its header states exactly its length (the
  // driver drops the rest of a batch at a packet that does not).
  static bool batchable(const Packet& packet);
  void add(const Packet& packet);
  bool full() const { return _addresses.size() == BATCH_PACKETS; }
  bool empty() const { return _addresses.empty(); }
  std::size_t size() const { return _addresses.size(); }
  std::span<const std::uint8_t> bytes() const { return _bytes; }
  std::span<const Address> addresses() const { return _addresses; }
  void clear();

 private:
  std::vector<std::uint8_t> _bytes;
  std::vector<Address> _addresses;
};

}  // namespace tovix::windivert
