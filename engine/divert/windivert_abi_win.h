#pragma once
// Our restatement of the WinDivert 2.x address record (WINDIVERT_ADDRESS), which the library
// reads and writes as raw memory: its layout must match byte for byte, so it is pinned below.
#include <cstddef>
#include <cstdint>

#include "engine/divert/packet.h"

namespace tovix::windivert {

inline constexpr std::uint32_t LAYER_NETWORK = 0;
inline constexpr std::uint32_t LAYER_FLOW = 2;
inline constexpr std::uint32_t LAYER_SOCKET = 3;
inline constexpr std::uint32_t LAYER_REFLECT = 4;
inline constexpr std::uint32_t SHUTDOWN_RECV = 1;
// Largest packet the driver hands out (IPv6 header plus the largest payload).
inline constexpr std::size_t MTU_MAX = 40 + 0xFFFF;

struct DataNetwork {
  std::uint32_t IfIdx;
  std::uint32_t SubIfIdx;
};

// The flow and socket layers share this layout.
struct DataFlow {
  std::uint64_t EndpointId;
  std::uint64_t ParentEndpointId;
  std::uint32_t ProcessId;
  std::uint32_t LocalAddr[4];
  std::uint32_t RemoteAddr[4];
  std::uint16_t LocalPort;
  std::uint16_t RemotePort;
  std::uint8_t Protocol;
};

struct DataReflect {
  std::int64_t Timestamp;
  std::uint32_t ProcessId;
  std::int32_t Layer;
  std::uint64_t Flags;
  std::int16_t Priority;
};

struct Address {
  std::int64_t Timestamp;
  std::uint32_t Layer : 8;
  std::uint32_t Event : 8;
  std::uint32_t Sniffed : 1;
  std::uint32_t Outbound : 1;
  std::uint32_t Loopback : 1;
  std::uint32_t Impostor : 1;
  std::uint32_t IPv6 : 1;
  std::uint32_t IPChecksum : 1;
  std::uint32_t TCPChecksum : 1;
  std::uint32_t UDPChecksum : 1;
  std::uint32_t Reserved1 : 8;
  std::uint32_t Reserved2;
  union {
    DataNetwork Network;
    DataFlow Flow;
    DataFlow Socket;
    DataReflect Reflect;
    std::uint8_t Reserved3[64];
  };
};

static_assert(sizeof(Address) == 80, "the library refuses any other size");
static_assert(alignof(Address) == 8);
static_assert(offsetof(Address, Network) == 16);
static_assert(offsetof(Address, Flow) + offsetof(DataFlow, ProcessId) == 32);
static_assert(offsetof(Address, Flow) + offsetof(DataFlow, LocalPort) == 68);
static_assert(offsetof(Address, Flow) + offsetof(DataFlow, Protocol) == 72);
static_assert(offsetof(Address, Reflect) + offsetof(DataReflect, Priority) == 40);
static_assert(sizeof(DataFlow) == 64);

inline CaptureInfo capture_info_from(const Address& address) {
  CaptureInfo info;
  info.outbound = address.Outbound != 0;
  info.loopback = address.Loopback != 0;
  info.impostor = address.Impostor != 0;
  info.ip_checksum_valid = address.IPChecksum != 0;
  info.tcp_checksum_valid = address.TCPChecksum != 0;
  info.udp_checksum_valid = address.UDPChecksum != 0;
  info.timestamp = address.Timestamp;
  switch (address.Layer) {
    case LAYER_NETWORK:
      info.interface_index = address.Network.IfIdx;
      info.subinterface_index = address.Network.SubIfIdx;
      break;
    case LAYER_FLOW:
    case LAYER_SOCKET:
      info.process_id = address.Flow.ProcessId;
      break;
    case LAYER_REFLECT:
      info.process_id = address.Reflect.ProcessId;
      break;
    default:
      break;
  }
  return info;
}

// The record the library needs to re-inject a network-layer packet (it reads only the
// direction, impostor and checksum bits and the interface).
inline Address address_from(const CaptureInfo& info, bool ipv6) {
  Address address{};
  address.Timestamp = info.timestamp;
  address.Layer = LAYER_NETWORK;
  address.Outbound = info.outbound ? 1 : 0;
  address.Loopback = info.loopback ? 1 : 0;
  address.Impostor = info.impostor ? 1 : 0;
  address.IPv6 = ipv6 ? 1 : 0;
  address.IPChecksum = info.ip_checksum_valid ? 1 : 0;
  address.TCPChecksum = info.tcp_checksum_valid ? 1 : 0;
  address.UDPChecksum = info.udp_checksum_valid ? 1 : 0;
  address.Network.IfIdx = info.interface_index;
  address.Network.SubIfIdx = info.subinterface_index;
  return address;
}

}  // namespace tovix::windivert
