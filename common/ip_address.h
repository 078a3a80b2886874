#pragma once
// IPv4 and IPv6 addresses and endpoints as values: what a datagram's headers and a SOCKS
// address field carry, compared, hashed and printed without the socket layer.
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/common_export.h"

namespace tovix {

class COMMON_EXPORT IpAddress {
 public:
  enum class Family : std::uint8_t { v4 = 4, v6 = 6 };

  IpAddress() = default;  // 0.0.0.0
  // Four or sixteen bytes in network order; any other length throws std::invalid_argument.
  static IpAddress from_bytes(std::span<const std::uint8_t> bytes);
  // Numeric text of either family ("192.0.2.1", "2001:db8::1"); absent for anything else.
  static std::optional<IpAddress> parse(std::string_view text);

  Family family() const { return _family; }
  bool is_v4() const { return _family == Family::v4; }
  // Four or sixteen bytes, network order.
  std::span<const std::uint8_t> bytes() const { return std::span(_bytes).first(is_v4() ? 4 : 16); }
  // 0.0.0.0 or ::
  bool is_unspecified() const;
  // ::ffff:a.b.c.d as the IPv4 address it stands for; any other address unchanged.
  IpAddress unmapped() const;
  // "192.0.2.1", or the RFC 5952 form of an IPv6 address.
  std::string text() const;

  friend bool operator==(const IpAddress&, const IpAddress&) = default;
  friend auto operator<=>(const IpAddress&, const IpAddress&) = default;

 private:
  Family _family = Family::v4;
  std::array<std::uint8_t, 16> _bytes{};
};

struct COMMON_EXPORT IpEndpoint {
  IpAddress address;
  std::uint16_t port = 0;

  // "192.0.2.1:53" or "[2001:db8::1]:53".
  std::string text() const;
  friend bool operator==(const IpEndpoint&, const IpEndpoint&) = default;
  friend auto operator<=>(const IpEndpoint&, const IpEndpoint&) = default;
};

struct COMMON_EXPORT IpEndpointHash {
  std::size_t operator()(const IpEndpoint& endpoint) const noexcept;
};

}  // namespace tovix
