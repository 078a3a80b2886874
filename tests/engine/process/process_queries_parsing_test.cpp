// The connection tables of both systems decoded from raw text and bytes.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdio>

#include "engine/process/tcp_table_parsing.h"

namespace tovix {
namespace {

std::string ipv6(std::initializer_list<int> bytes) {
  std::array<std::uint8_t, 16> raw{};
  std::size_t i = 0;
  for (int b : bytes) raw[i++] = static_cast<std::uint8_t>(b);
  return format_ipv6(raw.data());
}

TEST(AddressTextTest, Ipv6FollowsTheCanonicalShortForm) {
  EXPECT_EQ(ipv6({}), "::");
  EXPECT_EQ(ipv6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "::1");
  EXPECT_EQ(ipv6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "2001:db8::1");
  EXPECT_EQ(ipv6({0, 1, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}), "1:0:1:1:1:1:1:1") << "one zero group stays";
  EXPECT_EQ(ipv6({0, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1}), "1::1:1:0:0:1") << "the first of equal runs";
  EXPECT_EQ(ipv6({0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}), "1:0:0:1::") << "the longest run";
  EXPECT_EQ(ipv6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0xab, 0xcd, 0, 0, 0, 0, 0, 0}), "fe80::abcd:0:0:0");
}

// One tcp6 row for ::1 port 443 in the given state, its inode 1000 + state - 1.
std::string proc_net_tcp6_line(int state) {
  char line[200];
  std::snprintf(line, sizeof line,
                "  %d: 00000000000000000000000001000000:01BB 00000000000000000000000000000000:0000 %02X "
                "00000000:00000000 00:00000000 00000000     0        0 %d 1 0000000000000000\n",
                state - 1, state, 999 + state);
  return line;
}

class ProcNetTcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::endian::native != std::endian::little) GTEST_SKIP() << "samples are from a little-endian kernel";
  }
};

TEST_F(ProcNetTcpTest, RowsGiveLocalEndpointStateAndInode) {
  const std::string text =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 12345 1 "
      "0000000000000000 100 0 0 10 0\n"
      "   1: 0A00A8C0:A2C4 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000        0 67890 1 "
      "0000000000000000 20 4 30 10 -1\n"
      "   2: 0100007F:9C40 0100007F:1F90 06 00000000:00000000 03:00000D2F 00000000     0        0 0 3\n"
      "   3: garbage line\n"
      "   4: 0100007F:ZZZZ 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1\n";
  const auto rows = parse_proc_net_tcp(text, AddressFamily::ipv4);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].local.address, "127.0.0.1");
  EXPECT_EQ(rows[0].local.port, 8080);
  EXPECT_EQ(rows[0].state, "LISTEN");
  EXPECT_EQ(rows[0].inode, 12345u);
  EXPECT_EQ(rows[1].local.address, "192.168.0.10");
  EXPECT_EQ(rows[1].local.port, 0xA2C4);
  EXPECT_EQ(rows[1].state, "ESTABLISHED");
  EXPECT_EQ(rows[1].inode, 67890u);
  EXPECT_EQ(rows[2].state, "TIME_WAIT");
  EXPECT_EQ(rows[2].inode, 0u);
}

TEST_F(ProcNetTcpTest, Ipv6RowsAndEveryStateName) {
  std::string text = "  sl  local_address                         remote_address                        st ...\n";
  const char* states[] = {"ESTABLISHED", "SYN_SENT",   "SYN_RECV", "FIN_WAIT1", "FIN_WAIT2", "TIME_WAIT",
                          "CLOSE",       "CLOSE_WAIT", "LAST_ACK", "LISTEN",    "CLOSING"};
  for (int state = 1; state <= 11; ++state) {
    text += proc_net_tcp6_line(state);
  }
  const auto rows = parse_proc_net_tcp(text, AddressFamily::ipv6);
  ASSERT_EQ(rows.size(), 11u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].state, states[i]);
    EXPECT_EQ(rows[i].local.address, "::1");
    EXPECT_EQ(rows[i].local.port, 443);
    EXPECT_EQ(rows[i].inode, 1000u + i);
  }
  EXPECT_TRUE(parse_proc_net_tcp(text, AddressFamily::ipv4).empty()) << "IPv6 rows are not IPv4 rows";
}

std::vector<std::uint8_t> with_count(std::uint32_t count, std::size_t bytes) {
  std::vector<std::uint8_t> buffer(4 + bytes, 0);
  for (int i = 0; i < 4; ++i) buffer[i] = static_cast<std::uint8_t>(count >> (8 * i));
  return buffer;
}

void put_le32(std::vector<std::uint8_t>& buffer, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) buffer[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A port DWORD: network order in the low 16 bits, junk above.
void put_port(std::vector<std::uint8_t>& buffer, std::size_t offset, std::uint16_t port) {
  buffer[offset] = static_cast<std::uint8_t>(port >> 8);
  buffer[offset + 1] = static_cast<std::uint8_t>(port & 0xFF);
  buffer[offset + 2] = 0xAB;
  buffer[offset + 3] = 0xCD;
}

TEST(OwnerPidTableTest, Ipv4RowsDecodePortsInNetworkOrderAndTheirOwner) {
  auto buffer = with_count(2, 2 * 24);
  // row 0: ESTABLISHED 127.0.0.1:8080 owned by 4242
  put_le32(buffer, 4, 5);
  buffer[8] = 127, buffer[11] = 1;
  put_port(buffer, 12, 8080);
  put_le32(buffer, 16, 0x01020304);
  put_port(buffer, 20, 443);
  put_le32(buffer, 24, 4242);
  // row 1: LISTEN 0.0.0.0:135 owned by 900
  put_le32(buffer, 28, 2);
  put_port(buffer, 36, 135);
  put_le32(buffer, 48, 900);

  const auto rows = decode_tcp_owner_pid_table(buffer.data(), buffer.size(), AddressFamily::ipv4);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].local->address, "127.0.0.1");
  EXPECT_EQ(rows[0].local->port, 8080);
  EXPECT_EQ(rows[0].state, "ESTABLISHED");
  EXPECT_EQ(rows[0].pid, 4242u);
  EXPECT_EQ(rows[1].local->address, "0.0.0.0");
  EXPECT_EQ(rows[1].local->port, 135);
  EXPECT_EQ(rows[1].state, "LISTEN");
  EXPECT_EQ(rows[1].pid, 900u);
}

TEST(OwnerPidTableTest, Ipv6RowsAndStateNumbers) {
  const std::pair<std::uint32_t, const char*> states[] = {{3, "SYN_SENT"},   {4, "SYN_RECV"},    {8, "CLOSE_WAIT"},
                                                          {11, "TIME_WAIT"}, {12, "DELETE_TCB"}, {99, "NONE"}};
  auto buffer = with_count(6, 6 * 56);
  for (std::size_t i = 0; i < 6; ++i) {
    const std::size_t row = 4 + i * 56;
    buffer[row + 15] = 1;  // ::1
    put_port(buffer, row + 20, static_cast<std::uint16_t>(50000 + i));
    put_le32(buffer, row + 48, states[i].first);
    put_le32(buffer, row + 52, static_cast<std::uint32_t>(7000 + i));
  }
  const auto rows = decode_tcp_owner_pid_table(buffer.data(), buffer.size(), AddressFamily::ipv6);
  ASSERT_EQ(rows.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(rows[i].local->address, "::1");
    EXPECT_EQ(rows[i].local->port, 50000 + i);
    EXPECT_EQ(rows[i].state, states[i].second);
    EXPECT_EQ(rows[i].pid, 7000 + i);
  }
}

TEST(OwnerPidTableTest, CountBeyondTheBufferNeverReadsPastIt) {
  auto buffer = with_count(1000, 24 + 23);  // one whole row and a truncated one
  put_le32(buffer, 4, 5);
  EXPECT_EQ(decode_tcp_owner_pid_table(buffer.data(), buffer.size(), AddressFamily::ipv4).size(), 1u);
  EXPECT_TRUE(decode_tcp_owner_pid_table(buffer.data(), 3, AddressFamily::ipv4).empty());
  EXPECT_TRUE(decode_tcp_owner_pid_table(nullptr, 0, AddressFamily::ipv6).empty());
  EXPECT_TRUE(decode_tcp_owner_pid_table(buffer.data(), buffer.size(), AddressFamily::ipv6).empty());
}

TEST(OwnerPidTableTest, UdpRowsOfBothFamiliesAndTruncatedBuffers) {
  auto v4 = with_count(2, 2 * 12 + 5);  // two rows and a piece of a third
  v4[4] = 127, v4[7] = 1;
  put_port(v4, 8, 5353);
  put_le32(v4, 12, 321);
  put_port(v4, 20, 53);  // 0.0.0.0:53
  put_le32(v4, 24, 4);
  const auto rows4 = decode_udp_owner_pid_table(v4.data(), v4.size(), AddressFamily::ipv4);
  ASSERT_EQ(rows4.size(), 2u);
  EXPECT_EQ(rows4[0].local.address, "127.0.0.1");
  EXPECT_EQ(rows4[0].local.port, 5353);
  EXPECT_EQ(rows4[0].pid, 321u);
  EXPECT_EQ(rows4[1].local.address, "0.0.0.0");
  EXPECT_EQ(rows4[1].local.port, 53);
  EXPECT_EQ(rows4[1].pid, 4u);

  auto v6 = with_count(3, 28 + 27);  // the count claims more than the buffer holds
  v6[4 + 15] = 1;
  put_port(v6, 4 + 20, 443);
  put_le32(v6, 4 + 24, 9001);
  const auto rows6 = decode_udp_owner_pid_table(v6.data(), v6.size(), AddressFamily::ipv6);
  ASSERT_EQ(rows6.size(), 1u);
  EXPECT_EQ(rows6[0].local.address, "::1");
  EXPECT_EQ(rows6[0].local.port, 443);
  EXPECT_EQ(rows6[0].pid, 9001u);
  EXPECT_TRUE(decode_udp_owner_pid_table(v6.data(), 3, AddressFamily::ipv6).empty());
}

}  // namespace
}  // namespace tovix
