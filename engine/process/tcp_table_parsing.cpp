#include "engine/process/tcp_table_parsing.h"

#include <array>
#include <charconv>
#include <cstring>

#include <fmt/format.h>

#include "common/ip_address.h"

namespace tovix {

const char* linux_tcp_state_name(unsigned state) {
  static constexpr std::array<const char*, 13> names = {
      "NONE",  "ESTABLISHED", "SYN_SENT", "SYN_RECV", "FIN_WAIT1", "FIN_WAIT2",   "TIME_WAIT",
      "CLOSE", "CLOSE_WAIT",  "LAST_ACK", "LISTEN",   "CLOSING",   "NEW_SYN_RECV"};
  return state < names.size() ? names[state] : "NONE";
}

namespace {

// MIB_TCP_STATE numbering.
const char* windows_state_name(std::uint32_t state) {
  static constexpr std::array<const char*, 13> names = {
      "NONE",      "CLOSE",      "LISTEN",  "SYN_SENT", "SYN_RECV",  "ESTABLISHED", "FIN_WAIT1",
      "FIN_WAIT2", "CLOSE_WAIT", "CLOSING", "LAST_ACK", "TIME_WAIT", "DELETE_TCB"};
  return state < names.size() ? names[state] : "NONE";
}

template <typename Number>
bool parse_number(std::string_view text, Number& out, int base) {
  const auto* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(text.data(), end, out, base);
  return error == std::errc() && ptr == end && !text.empty();
}

// Splits at runs of blanks; returns at most `max_fields` fields.
std::vector<std::string_view> split_fields(std::string_view line, std::size_t max_fields) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (fields.size() < max_fields) {
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string_view::npos) break;
    const std::size_t end = line.find_first_of(" \t", pos);
    fields.push_back(line.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
    if (end == std::string_view::npos) break;
    pos = end;
  }
  return fields;
}

// "0100007F:0277" (IPv4) or 32 hex digits and a port (IPv6): words in host byte order.
bool parse_proc_endpoint(std::string_view text, AddressFamily family, TcpEndpoint& endpoint) {
  const std::size_t colon = text.find(':');
  const std::size_t words = family == AddressFamily::ipv4 ? 1 : 4;
  if (colon != words * 8) return false;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < words; ++i) {
    std::uint32_t word = 0;
    if (!parse_number(text.substr(i * 8, 8), word, 16)) return false;
    std::memcpy(bytes.data() + i * 4, &word, 4);
  }
  if (!parse_number(text.substr(colon + 1), endpoint.port, 16)) return false;
  endpoint.address = family == AddressFamily::ipv4 ? format_ipv4(bytes.data()) : format_ipv6(bytes.data());
  return true;
}

std::uint32_t read_le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// The port sits in network order in the first two bytes of its DWORD; the rest is noise.
std::uint16_t read_port(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

std::string format_ipv4(const std::uint8_t* bytes) {
  return fmt::format("{}.{}.{}.{}", bytes[0], bytes[1], bytes[2], bytes[3]);
}

std::string format_ipv6(const std::uint8_t* bytes) { return IpAddress::from_bytes(std::span(bytes, 16)).text(); }

std::vector<ProcNetTcpRow> parse_proc_net_tcp(std::string_view text, AddressFamily family) {
  std::vector<ProcNetTcpRow> rows;
  std::size_t line_start = 0;
  while (line_start < text.size()) {
    std::size_t line_end = text.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = text.size();
    const std::string_view line = text.substr(line_start, line_end - line_start);
    line_start = line_end + 1;

    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
    const auto fields = split_fields(line, 10);
    if (fields.size() < 10 || fields[0].empty() || fields[0].back() != ':') continue;
    ProcNetTcpRow row;
    unsigned state = 0;
    if (!parse_proc_endpoint(fields[1], family, row.local) || !parse_number(fields[3], state, 16) ||
        !parse_number(fields[9], row.inode, 10)) {
      continue;
    }
    row.state = linux_tcp_state_name(state);
    rows.push_back(std::move(row));
  }
  return rows;
}

namespace {

// Calls decode(row) for each complete row of an owner table: a little-endian row count, then
// the rows; a count beyond the buffer is cut to what it holds.
template <typename Record, typename Decode>
std::vector<Record> decode_owner_table(const std::uint8_t* data, std::size_t size, std::size_t row_size,
                                       Decode&& decode) {
  std::vector<Record> records;
  if (data == nullptr || size < 4) return records;
  const std::size_t rows = std::min<std::size_t>(read_le32(data), (size - 4) / row_size);
  records.reserve(rows);
  for (std::size_t i = 0; i < rows; ++i) records.push_back(decode(data + 4 + i * row_size));
  return records;
}

}  // namespace

std::vector<TcpConnection> decode_tcp_owner_pid_table(const std::uint8_t* data, std::size_t size,
                                                      AddressFamily family) {
  if (family == AddressFamily::ipv4) {
    // dwState, dwLocalAddr, dwLocalPort, dwRemoteAddr, dwRemotePort, dwOwningPid
    return decode_owner_table<TcpConnection>(data, size, 24, [](const std::uint8_t* row) {
      return TcpConnection{TcpEndpoint{format_ipv4(row + 4), read_port(row + 8)}, windows_state_name(read_le32(row)),
                           read_le32(row + 20)};
    });
  }
  // ucLocalAddr[16], dwLocalScopeId, dwLocalPort, ucRemoteAddr[16], dwRemoteScopeId,
  // dwRemotePort, dwState, dwOwningPid
  return decode_owner_table<TcpConnection>(data, size, 56, [](const std::uint8_t* row) {
    return TcpConnection{TcpEndpoint{format_ipv6(row), read_port(row + 20)}, windows_state_name(read_le32(row + 48)),
                         read_le32(row + 52)};
  });
}

std::vector<UdpSocketEntry> decode_udp_owner_pid_table(const std::uint8_t* data, std::size_t size,
                                                       AddressFamily family) {
  if (family == AddressFamily::ipv4) {
    // dwLocalAddr, dwLocalPort, dwOwningPid
    return decode_owner_table<UdpSocketEntry>(data, size, 12, [](const std::uint8_t* row) {
      return UdpSocketEntry{TcpEndpoint{format_ipv4(row), read_port(row + 4)}, read_le32(row + 8)};
    });
  }
  // ucLocalAddr[16], dwLocalScopeId, dwLocalPort, dwOwningPid
  return decode_owner_table<UdpSocketEntry>(data, size, 28, [](const std::uint8_t* row) {
    return UdpSocketEntry{TcpEndpoint{format_ipv6(row), read_port(row + 20)}, read_le32(row + 24)};
  });
}

}  // namespace tovix
