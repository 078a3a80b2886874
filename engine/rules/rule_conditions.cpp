#include "engine/rules/rule_conditions.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "common/text.h"
#include "engine/process/proc_watch.h"

namespace tovix {
namespace {

std::optional<int> parse_port(std::string_view text) {
  text = strip_whitespace(text);
  int port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535) {
    return std::nullopt;
  }
  return port;
}

bool prefix_equal(const IpAddress& a, const IpAddress& b, int prefix) {
  const int whole = prefix / 8;
  for (int i = 0; i < whole; ++i) {
    if (a.bytes()[static_cast<std::size_t>(i)] != b.bytes()[static_cast<std::size_t>(i)]) return false;
  }
  const int rest = prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (a.bytes()[static_cast<std::size_t>(whole)] & mask) == (b.bytes()[static_cast<std::size_t>(whole)] & mask);
}

// '*' matches any run of characters, everything else itself.
bool glob_matches(std::string_view pattern, std::string_view text) {
  std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool IpNetwork::contains(const IpAddress& address) const {
  const IpAddress plain = address.unmapped();
  return plain.family() == base.family() && prefix_equal(plain, base, prefix);
}

std::optional<IpNetwork> parse_ip_network(std::string_view text) {
  text = strip_whitespace(text);
  const std::size_t slash = text.find('/');
  const auto address = IpAddress::parse(text.substr(0, slash));
  if (!address) return std::nullopt;
  const int full = static_cast<int>(address->bytes().size() * 8);
  int prefix = full;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || prefix < 0 || prefix > full) {
      return std::nullopt;
    }
  }
  std::array<std::uint8_t, 16> base{};
  std::copy(address->bytes().begin(), address->bytes().end(), base.begin());
  for (int bit = prefix; bit < full; ++bit) {
    base[static_cast<std::size_t>(bit / 8)] &= static_cast<std::uint8_t>(~(0x80 >> (bit % 8)));
  }
  return IpNetwork{IpAddress::from_bytes(std::span(base).first(address->bytes().size())), prefix};
}

std::string ip_network_text(const IpNetwork& network) {
  const std::string address = network.base.text();
  if (network.prefix == static_cast<int>(network.base.bytes().size() * 8)) return address;
  return address + "/" + std::to_string(network.prefix);
}

std::optional<std::vector<PortRange>> parse_port_ranges(std::string_view text) {
  std::vector<PortRange> ranges;
  if (strip_whitespace(text).empty()) return ranges;
  std::size_t at = 0;
  for (;;) {
    const std::size_t comma = text.find(',', at);
    const std::string_view item =
        text.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
    const std::size_t dash = item.find('-');
    const auto first = parse_port(item.substr(0, dash));
    const auto last = dash == std::string_view::npos ? first : parse_port(item.substr(dash + 1));
    if (!first || !last || *last < *first) return std::nullopt;
    ranges.push_back({*first, *last});
    if (comma == std::string_view::npos) return ranges;
    at = comma + 1;
  }
}

std::string port_ranges_text(const std::vector<PortRange>& ranges) {
  std::string text;
  for (const PortRange& range : ranges) {
    if (!text.empty()) text += ",";
    text += std::to_string(range.first);
    if (range.last != range.first) text += "-" + std::to_string(range.last);
  }
  return text;
}

std::optional<std::string> parse_name_pattern(std::string_view text) {
  text = strip_whitespace(text);
  bool whole_domain = false;
  if (text.substr(0, 2) == "*.") {
    text.remove_prefix(2);
    whole_domain = true;
  } else if (text.substr(0, 1) == ".") {
    text.remove_prefix(1);
    whole_domain = true;
  }
  auto name = normalize_host_name(text);
  if (!name) return std::nullopt;
  return whole_domain ? "." + *name : *name;
}

bool name_matches(const std::string& pattern, const std::string& name) {
  if (pattern.empty() || pattern.front() != '.') return name == pattern;
  return name.size() >= pattern.size() ? name.compare(name.size() - pattern.size(), pattern.size(), pattern) == 0
                                       : name == std::string_view(pattern).substr(1);
}

std::optional<std::string> parse_program_pattern(std::string_view text) {
  text = strip_whitespace(text);
  if (text.empty()) return std::nullopt;
  for (const char c : text) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
  }
  return std::string(text);
}

bool program_matches(const std::string& pattern, const std::string& image_name) {
  return glob_matches(normalize_process_name(pattern), normalize_process_name(image_name));
}

std::vector<std::string> split_list(std::string_view text) {
  std::string unified(text);
  // The Chinese full-width comma is what a Chinese keyboard types.
  for (std::size_t at = unified.find("，"); at != std::string::npos; at = unified.find("，", at)) {
    unified.replace(at, std::string_view("，").size(), ",");
  }
  std::vector<std::string> items;
  std::size_t at = 0;
  while (at <= unified.size()) {
    std::size_t end = unified.find_first_of(",\n", at);
    if (end == std::string::npos) end = unified.size();
    const std::string_view item = strip_whitespace(std::string_view(unified).substr(at, end - at));
    if (!item.empty()) items.emplace_back(item);
    at = end + 1;
  }
  return items;
}

}  // namespace tovix
