#include "common/ip_address.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace tovix {
namespace {

std::optional<std::array<std::uint8_t, 4>> parse_v4(std::string_view text) {
  std::array<std::uint8_t, 4> bytes{};
  std::size_t at = 0;
  for (std::size_t part = 0; part < 4; ++part) {
    if (part > 0 && (at >= text.size() || text[at++] != '.')) return std::nullopt;
    const std::size_t start = at;
    unsigned value = 0;
    while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9')
      value = value * 10 + (text[at++] - '0');
    if (at == start || value > 255 || (at - start > 1 && text[start] == '0')) return std::nullopt;
    bytes[part] = static_cast<std::uint8_t>(value);
  }
  if (at != text.size()) return std::nullopt;
  return bytes;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Groups separated by ':' with at most one "::", optionally ending in a dotted IPv4 address.
std::optional<std::array<std::uint8_t, 16>> parse_v6(std::string_view text) {
  std::array<std::uint16_t, 8> head{}, tail{};
  std::size_t head_count = 0, tail_count = 0;
  bool compressed = false;
  std::size_t at = 0;
  if (text.starts_with("::")) {
    compressed = true;
    at = 2;
  }
  std::array<std::uint8_t, 16> bytes{};
  while (at < text.size()) {
    const std::size_t end = std::min(text.find(':', at), text.size());
    const std::string_view group = text.substr(at, end - at);
    if (group.find('.') != std::string_view::npos) {
      const auto v4 = end == text.size() ? parse_v4(group) : std::nullopt;
      if (!v4) return std::nullopt;
      auto& groups = compressed ? tail : head;
      auto& count = compressed ? tail_count : head_count;
      if (count + 2 > 8) return std::nullopt;
      groups[count++] = static_cast<std::uint16_t>((*v4)[0] << 8 | (*v4)[1]);
      groups[count++] = static_cast<std::uint16_t>((*v4)[2] << 8 | (*v4)[3]);
      at = end;
      break;
    }
    if (group.empty() || group.size() > 4) return std::nullopt;
    unsigned value = 0;
    for (char c : group) {
      const int digit = hex_digit(c);
      if (digit < 0) return std::nullopt;
      value = value << 4 | static_cast<unsigned>(digit);
    }
    auto& groups = compressed ? tail : head;
    auto& count = compressed ? tail_count : head_count;
    if (count == 8) return std::nullopt;
    groups[count++] = static_cast<std::uint16_t>(value);
    at = end;
    if (at == text.size()) break;
    if (text.substr(at, 2) == "::") {
      if (compressed) return std::nullopt;
      compressed = true;
      at += 2;
    } else {
      ++at;
      if (at == text.size()) return std::nullopt;  // a trailing single ':'
    }
  }
  if (at != text.size()) return std::nullopt;
  const std::size_t total = head_count + tail_count;
  if (compressed ? total > 7 : total != 8) return std::nullopt;
  std::array<std::uint16_t, 8> groups{};
  std::copy_n(head.begin(), head_count, groups.begin());
  std::copy_n(tail.begin(), tail_count, groups.end() - static_cast<std::ptrdiff_t>(tail_count));
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(groups[i]);
  }
  return bytes;
}

}  // namespace

IpAddress IpAddress::from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != 4 && bytes.size() != 16) throw std::invalid_argument("an IP address has 4 or 16 bytes");
  IpAddress address;
  address._family = bytes.size() == 4 ? Family::v4 : Family::v6;
  std::copy(bytes.begin(), bytes.end(), address._bytes.begin());
  return address;
}

std::optional<IpAddress> IpAddress::parse(std::string_view text) {
  if (const auto v4 = parse_v4(text)) return from_bytes(*v4);
  if (const auto v6 = parse_v6(text)) return from_bytes(*v6);
  return std::nullopt;
}

bool IpAddress::is_unspecified() const {
  const auto view = bytes();
  return std::all_of(view.begin(), view.end(), [](std::uint8_t b) { return b == 0; });
}

IpAddress IpAddress::unmapped() const {
  static constexpr std::uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (is_v4() || !std::equal(std::begin(MAPPED_PREFIX), std::end(MAPPED_PREFIX), _bytes.begin())) return *this;
  return from_bytes(std::span(_bytes).subspan(12, 4));
}

std::string IpAddress::text() const {
  if (is_v4()) {
    return std::to_string(_bytes[0]) + "." + std::to_string(_bytes[1]) + "." + std::to_string(_bytes[2]) + "." +
           std::to_string(_bytes[3]);
  }
  std::array<unsigned, 8> groups{};
  for (std::size_t i = 0; i < 8; ++i) groups[i] = unsigned{_bytes[2 * i]} << 8 | _bytes[2 * i + 1];
  // The longest run of two or more zero groups (the first of equal ones) becomes "::".
  int best_start = -1, best_length = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_length) best_start = i, best_length = j - i;
    i = j == i ? i + 1 : j;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 8; ++i) {
    if (i == best_start) {
      text += "::";
      i += best_length - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    bool leading = true;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = groups[i] >> shift & 0xF;
      if (leading && digit == 0 && shift > 0) continue;
      leading = false;
      text += kHex[digit];
    }
  }
  return text;
}

std::string IpEndpoint::text() const {
  const std::string host = address.is_v4() ? address.text() : "[" + address.text() + "]";
  return host + ":" + std::to_string(port);
}

std::size_t IpEndpointHash::operator()(const IpEndpoint& endpoint) const noexcept {
  std::size_t hash = std::hash<std::uint16_t>()(endpoint.port) ^ static_cast<std::size_t>(endpoint.address.family());
  for (const std::uint8_t byte : endpoint.address.bytes()) hash = hash * 131 + byte;
  return hash;
}

}  // namespace tovix
