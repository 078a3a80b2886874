#pragma once
// Destinations as text: host names in the form a proxy is asked
// for (the names read from a client's first bytes and the names of routing rules).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/common_export.h"
#include "common/ip_address.h"

namespace tovix {

// Longest name a proxy is asked for (the DNS limit).
inline constexpr std::size_t MAX_HOST_NAME_LENGTH = 253;

// The name lower-cased and without a trailing dot, when it is one a resolver would look up:
// ASCII letters, digits, '-' and '_' in dot-separated labels of 1 to 63 characters, at most
// MAX_HOST_NAME_LENGTH in all, and a last label that does not start with a digit (so that no
// numeric form of an IPv4 address, such as 127.1 or 0x7f000001, passes for a name). Nothing
// for anything else, IP addresses included.
COMMON_EXPORT std::optional<std::string> normalize_host_name(std::string_view text);

}  // namespace tovix
