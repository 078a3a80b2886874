#include "engine/udp/dns_message.h"

#include <algorithm>
#include <stdexcept>

namespace tovix {
namespace {

constexpr std::uint8_t kQueryResponse = 0x80;
constexpr std::uint8_t kOpcodeAndRecursionDesired = 0x79;
constexpr std::uint8_t kRecursionAvailable = 0x80;
constexpr std::uint8_t kServerFailure = 2;

std::uint16_t load16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// The end of the only question, or nothing when there is not exactly one that reads cleanly
// (a query never compresses its name).
std::optional<std::size_t> question_end(std::span<const std::uint8_t> query) {
  if (load16(query, 4) != 1) return std::nullopt;
  std::size_t at = DNS_HEADER_LENGTH;
  while (at < query.size() && query[at] != 0) {
    if ((query[at] & 0xC0) != 0) return std::nullopt;
    at += 1 + query[at];
  }
  at += 1 + 4;  // the root label, QTYPE and QCLASS
  if (at > query.size()) return std::nullopt;
  return at;
}

}  // namespace

std::vector<std::uint8_t> frame_dns_message(std::span<const std::uint8_t> message) {
  if (message.size() > 0xFFFF) throw std::invalid_argument("DNS message too long for TCP");
  std::vector<std::uint8_t> framed(2 + message.size());
  framed[0] = static_cast<std::uint8_t>(message.size() >> 8);
  framed[1] = static_cast<std::uint8_t>(message.size());
  std::copy(message.begin(), message.end(), framed.begin() + 2);
  return framed;
}

std::uint16_t dns_message_id(std::span<const std::uint8_t> message) { return load16(message, 0); }

void set_dns_message_id(std::span<std::uint8_t> message, std::uint16_t id) {
  message[0] = static_cast<std::uint8_t>(id >> 8);
  message[1] = static_cast<std::uint8_t>(id);
}

bool is_dns_query(std::span<const std::uint8_t> message) {
  return message.size() >= DNS_HEADER_LENGTH && (message[2] & kQueryResponse) == 0;
}

std::optional<std::vector<std::uint8_t>> dns_server_failure(std::span<const std::uint8_t> query) {
  if (query.size() < DNS_HEADER_LENGTH) return std::nullopt;
  const auto end = question_end(query);
  std::vector<std::uint8_t> answer(query.begin(),
                                   query.begin() + static_cast<std::ptrdiff_t>(end.value_or(DNS_HEADER_LENGTH)));
  answer[2] = static_cast<std::uint8_t>(kQueryResponse | (query[2] & kOpcodeAndRecursionDesired));
  answer[3] = kRecursionAvailable | kServerFailure;
  for (std::size_t at = 4; at < DNS_HEADER_LENGTH; ++at) answer[at] = 0;
  if (end) answer[5] = 1;  // QDCOUNT
  return answer;
}

bool DnsStreamReader::feed(std::span<const std::uint8_t> bytes, std::vector<std::vector<std::uint8_t>>& messages) {
  _pending.insert(_pending.end(), bytes.begin(), bytes.end());
  std::size_t at = 0;
  while (_pending.size() - at >= 2) {
    const std::size_t length = load16(_pending, at);
    if (length < DNS_HEADER_LENGTH) return false;
    if (_pending.size() - at - 2 < length) break;
    const auto first = _pending.begin() + static_cast<std::ptrdiff_t>(at + 2);
    messages.emplace_back(first, first + static_cast<std::ptrdiff_t>(length));
    at += 2 + length;
  }
  _pending.erase(_pending.begin(), _pending.begin() + static_cast<std::ptrdiff_t>(at));
  return true;
}

}  // namespace tovix
