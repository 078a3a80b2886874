#pragma once
// Destinations as text: IPv4 and IPv6 addresses, and host names in the form a proxy is asked
// for (the names read from a client's first bytes and the names of routing rules).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/common_export.h"

namespace tovix {

struct IpAddress {
  bool is_v6 = false;
  // Network order; an IPv4 address fills the first four bytes.
  std::array<std::uint8_t, 16> bytes{};

  std::size_t size() const { return is_v6 ? 16 : 4; }
  // ::ffff:a.b.c.d as the IPv4 address it stands for; any other address unchanged.
  IpAddress unmapped() const;
  bool operator==(const IpAddress&) const = default;
};

// A dotted IPv4 address or an IPv6 address in any of its text forms (no brackets, no zone).
COMMON_EXPORT std::optional<IpAddress> parse_ip_address(std::string_view text);
// The usual text: dotted IPv4, or IPv6 with its longest run of zero groups shortened to "::".
COMMON_EXPORT std::string ip_address_text(const IpAddress& address);

// Longest name a proxy is asked for (the DNS limit).
inline constexpr std::size_t MAX_HOST_NAME_LENGTH = 253;

// The name lower-cased and without a trailing dot, when it is one a resolver would look up:
// ASCII letters, digits, '-' and '_' in dot-separated labels of 1 to 63 characters, at most
// MAX_HOST_NAME_LENGTH in all, and a last label that does not start with a digit (so that no
// numeric form of an IPv4 address, such as 127.1 or 0x7f000001, passes for a name). Nothing
// for anything else, IP addresses included.
COMMON_EXPORT std::optional<std::string> normalize_host_name(std::string_view text);

}  // namespace tovix
