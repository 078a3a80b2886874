#include "tests/engine/divert/packet_builder.h"

namespace tovix::testing {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// A TCP header with checksum and urgent pointer zero, before its options.
void put_tcp_header(std::vector<std::uint8_t>& out, std::uint16_t src_port, std::uint16_t dst_port, std::uint32_t seq,
                    std::uint32_t ack, std::size_t length, std::uint8_t flags) {
  put16(out, src_port);
  put16(out, dst_port);
  put16(out, static_cast<std::uint16_t>(seq >> 16));
  put16(out, static_cast<std::uint16_t>(seq));
  put16(out, static_cast<std::uint16_t>(ack >> 16));
  put16(out, static_cast<std::uint16_t>(ack));
  out.push_back(static_cast<std::uint8_t>((length / 4) << 4));
  out.push_back(flags);
  put16(out, 64240);  // window
  put16(out, 0);      // checksum
  put16(out, 0);      // urgent pointer
}

}  // namespace

std::uint16_t read16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes.at(at) * 256 + bytes.at(at + 1));
}

std::vector<std::uint8_t> build_ipv4_tcp(const TcpFields& fields) {
  const std::size_t ip_length = 20 + fields.ip_options.size();
  const std::size_t tcp_length = 20 + fields.tcp_options.size();
  const std::size_t total = ip_length + tcp_length + fields.payload.size();
  std::vector<std::uint8_t> out;
  out.push_back(static_cast<std::uint8_t>(0x40 | (ip_length / 4)));
  out.push_back(0x00);                            // TOS
  put16(out, static_cast<std::uint16_t>(total));  // total length
  put16(out, 0x1c46);                             // identification
  put16(out, 0x4000);                             // don't fragment
  out.push_back(64);                              // TTL
  out.push_back(6);                               // TCP
  put16(out, 0);                                  // header checksum
  out.insert(out.end(), fields.src, fields.src + 4);
  out.insert(out.end(), fields.dst, fields.dst + 4);
  out.insert(out.end(), fields.ip_options.begin(), fields.ip_options.end());
  put_tcp_header(out, fields.src_port, fields.dst_port, fields.seq, fields.ack, tcp_length, fields.flags);
  out.insert(out.end(), fields.tcp_options.begin(), fields.tcp_options.end());
  out.insert(out.end(), fields.payload.begin(), fields.payload.end());
  return out;
}

std::vector<std::uint8_t> build_ipv4_udp(const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> out = {0x45, 0, 0, 0, 0, 1, 0, 0, 64, 17, 0, 0, 192, 168, 1, 2, 8, 8, 8, 8};
  const std::size_t total = 20 + 8 + payload.size();
  out[2] = static_cast<std::uint8_t>(total >> 8);
  out[3] = static_cast<std::uint8_t>(total & 0xFF);
  put16(out, 53000);
  put16(out, 53);
  put16(out, static_cast<std::uint16_t>(8 + payload.size()));
  put16(out, 0);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<std::uint8_t> build_ipv6_tcp() {
  std::vector<std::uint8_t> out = {0x60, 0, 0, 0, 0, 20, 6, 64};
  for (int i = 0; i < 15; ++i) out.push_back(0);
  out.push_back(1);  // ::1
  for (int i = 0; i < 15; ++i) out.push_back(0);
  out.push_back(1);  // ::1
  std::vector<std::uint8_t> tcp = {0xC3, 0x50, 0x01, 0xBB, 0, 0, 0, 1, 0, 0, 0, 0, 0x50, 0x02, 0xFA, 0xF0, 0, 0, 0, 0};
  out.insert(out.end(), tcp.begin(), tcp.end());
  return out;
}

std::vector<std::uint8_t> build_ipv6_tcp(const Tcp6Fields& fields) {
  std::vector<std::uint8_t> out = {0x60, 0, 0, 0};
  put16(out, static_cast<std::uint16_t>(20 + fields.payload.size()));
  out.push_back(fields.next_header);
  out.push_back(64);  // hop limit
  out.insert(out.end(), fields.src, fields.src + 16);
  out.insert(out.end(), fields.dst, fields.dst + 16);
  put_tcp_header(out, fields.src_port, fields.dst_port, fields.seq, fields.ack, 20, fields.flags);
  out.insert(out.end(), fields.payload.begin(), fields.payload.end());
  return out;
}

std::uint16_t reference_checksum(const std::vector<std::uint8_t>& data) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < data.size(); i += 2) {
    const std::uint32_t low = data[i];
    const std::uint32_t high = i + 1 < data.size() ? data[i + 1] : 0;
    sum += low | (high << 8);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  const auto complemented = static_cast<std::uint16_t>(~sum & 0xFFFF);
  return static_cast<std::uint16_t>((complemented >> 8) | ((complemented & 0xFF) << 8));
}

std::uint16_t expected_ip_checksum(const std::vector<std::uint8_t>& bytes) {
  const std::size_t ip_length = (bytes.at(0) & 0x0F) * 4u;
  std::vector<std::uint8_t> header(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(ip_length));
  header[IP_CHECKSUM] = header[IP_CHECKSUM + 1] = 0;
  return reference_checksum(header);
}

std::uint16_t expected_tcp_checksum(const std::vector<std::uint8_t>& bytes) {
  const std::size_t ip_length = (bytes.at(0) & 0x0F) * 4u;
  const std::size_t total = read16(bytes, 2);
  std::vector<std::uint8_t> covered(bytes.begin() + IP_SRC, bytes.begin() + IP_SRC + 8);
  const std::size_t segment_length = total - ip_length;
  for (std::uint8_t b : {std::uint8_t{0}, std::uint8_t{6}, static_cast<std::uint8_t>(segment_length >> 8),
                         static_cast<std::uint8_t>(segment_length & 0xFF)})
    covered.push_back(b);
  covered.insert(covered.end(), bytes.begin() + static_cast<std::ptrdiff_t>(ip_length),
                 bytes.begin() + static_cast<std::ptrdiff_t>(total));
  const std::size_t checksum_at = 12 + 16;
  covered[checksum_at] = covered[checksum_at + 1] = 0;
  return reference_checksum(covered);
}

std::uint16_t expected_tcp6_checksum(const std::vector<std::uint8_t>& bytes) {
  const std::size_t length = read16(bytes, 4);
  std::vector<std::uint8_t> covered(bytes.begin() + 8, bytes.begin() + 40);
  for (std::uint8_t b :
       {std::uint8_t{0}, std::uint8_t{0}, static_cast<std::uint8_t>(length >> 8),
        static_cast<std::uint8_t>(length & 0xFF), std::uint8_t{0}, std::uint8_t{0}, std::uint8_t{0}, std::uint8_t{6}})
    covered.push_back(b);
  covered.insert(covered.end(), bytes.begin() + 40, bytes.begin() + 40 + static_cast<std::ptrdiff_t>(length));
  const std::size_t checksum_at = 40 + 16;
  covered[checksum_at] = covered[checksum_at + 1] = 0;
  return reference_checksum(covered);
}

}  // namespace tovix::testing
