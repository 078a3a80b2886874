#include "common/host_address.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cstring>

namespace tovix {
namespace {

bool is_label_character(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'; }

}  // namespace

IpAddress IpAddress::unmapped() const {
  static constexpr std::uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!is_v6 || std::memcmp(bytes.data(), MAPPED_PREFIX, sizeof MAPPED_PREFIX) != 0) return *this;
  IpAddress v4;
  std::copy_n(bytes.begin() + 12, 4, v4.bytes.begin());
  return v4;
}

std::optional<IpAddress> parse_ip_address(std::string_view text) {
  // inet_pton needs a terminated string; no address text is longer than this.
  char buffer[64];
  if (text.empty() || text.size() >= sizeof buffer) return std::nullopt;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  IpAddress address;
  if (inet_pton(AF_INET, buffer, address.bytes.data()) == 1) return address;
  if (inet_pton(AF_INET6, buffer, address.bytes.data()) == 1) {
    address.is_v6 = true;
    return address;
  }
  return std::nullopt;
}

std::string ip_address_text(const IpAddress& address) {
  char buffer[64] = {};
  inet_ntop(address.is_v6 ? AF_INET6 : AF_INET, address.bytes.data(), buffer, sizeof buffer);
  return buffer;
}

std::optional<std::string> normalize_host_name(std::string_view text) {
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  if (text.empty() || text.size() > MAX_HOST_NAME_LENGTH) return std::nullopt;
  std::string name(text);
  std::size_t label_start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '.') {
      const std::size_t length = i - label_start;
      if (length == 0 || length > 63) return std::nullopt;
      label_start = i + 1;
      continue;
    }
    char& c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!is_label_character(c)) return std::nullopt;
  }
  const std::size_t last_label = name.rfind('.') == std::string::npos ? 0 : name.rfind('.') + 1;
  if (name[last_label] >= '0' && name[last_label] <= '9') return std::nullopt;
  return name;
}

}  // namespace tovix
