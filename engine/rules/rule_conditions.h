#pragma once
// The conditions a routing rule is made of, each read from the text a user types: networks
// (an address or CIDR, IPv4 or IPv6), port lists, destination-name patterns, program patterns.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/host_address.h"
#include "engine/rules/route_rules_export.h"

namespace tovix {

struct IpNetwork {
  IpAddress base;  // host bits cleared
  int prefix = 0;  // 0..32 for IPv4, 0..128 for IPv6

  // IPv4-mapped IPv6 addresses count as the IPv4 address they carry.
  ROUTE_RULES_EXPORT bool contains(const IpAddress& address) const;
  bool operator==(const IpNetwork&) const = default;
};

// "192.168.0.0/16", "fc00::/7", or one address ("10.0.0.1", "::1") as a network of its own.
// Host bits below the prefix are cleared (10.1.2.3/8 is 10.0.0.0/8).
ROUTE_RULES_EXPORT std::optional<IpNetwork> parse_ip_network(std::string_view text);
// The address alone for a full-length prefix, else "address/prefix".
ROUTE_RULES_EXPORT std::string ip_network_text(const IpNetwork& network);

struct PortRange {
  int first = 0;
  int last = 0;
  bool contains(int port) const { return port >= first && port <= last; }
  bool operator==(const PortRange&) const = default;
};

// "443", "8000-8100", or a comma-separated list of both, ports 1 to 65535. Empty text is an
// empty list; nothing for anything that is not such a list.
ROUTE_RULES_EXPORT std::optional<std::vector<PortRange>> parse_port_ranges(std::string_view text);
ROUTE_RULES_EXPORT std::string port_ranges_text(const std::vector<PortRange>& ranges);

// "example.com" stands for that name only; ".example.com" (or "*.example.com") for it and every
// name under it. Lower-cased, stored with the leading dot for the second kind.
ROUTE_RULES_EXPORT std::optional<std::string> parse_name_pattern(std::string_view text);
ROUTE_RULES_EXPORT bool name_matches(const std::string& pattern, const std::string& name);

// An image name, "*" standing for any run of characters: "chrome.exe", "chrome", "*steam*".
// Nothing for an empty text or one holding a path separator or a control character.
ROUTE_RULES_EXPORT std::optional<std::string> parse_program_pattern(std::string_view text);
// Compared as the process filter compares names: without regard to case, ".exe" or not.
ROUTE_RULES_EXPORT bool program_matches(const std::string& pattern, const std::string& image_name);

// The items of a comma-separated list (also the Chinese comma and line breaks), trimmed, empty
// items dropped.
ROUTE_RULES_EXPORT std::vector<std::string> split_list(std::string_view text);

}  // namespace tovix
