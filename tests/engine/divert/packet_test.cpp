#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "engine/divert/checksum.h"
#include "engine/divert/packet.h"
#include "engine/divert/refusal_packets.h"
#include "tests/engine/divert/packet_builder.h"

namespace tovix {
namespace {

using testing::build_ipv4_tcp;
using testing::build_ipv4_udp;
using testing::build_ipv6_tcp;
using testing::expected_ip_checksum;
using testing::expected_tcp_checksum;
using testing::read16;
using testing::TcpFields;

TcpFields fields_with_options() {
  TcpFields fields;
  fields.ip_options = {0x94, 0x04, 0x00, 0x00};  // router alert
  fields.tcp_options = {0x02, 0x04, 0x05, 0xb4, 0x01, 0x03, 0x03, 0x08, 0x01, 0x01, 0x04, 0x02};
  fields.payload = {'h', 'e', 'l', 'l', 'o'};  // odd length: the checksum pads one byte
  return fields;
}

TEST(PacketTest, ReadsIpv4AndTcpFieldsBehindOptions) {
  const Packet packet(build_ipv4_tcp(fields_with_options()));
  ASSERT_EQ(packet.ip_version(), 4);
  const auto ip = packet.ipv4();
  ASSERT_TRUE(ip);
  EXPECT_EQ(ip->header_length(), 24u);
  EXPECT_EQ(ip->src_addr(), "10.0.0.5");
  EXPECT_EQ(ip->dst_addr(), "93.184.216.34");
  const auto tcp = packet.tcp();
  ASSERT_TRUE(tcp);
  EXPECT_EQ(tcp->header_length(), 32u);
  EXPECT_EQ(tcp->src_port(), 50123);
  EXPECT_EQ(tcp->dst_port(), 443);
  EXPECT_EQ(packet.tcp_segment().size(), 32u + 5u);
  EXPECT_EQ(packet.process_id(), 0u) << "no process id unless the capture layer gives one";
}

TEST(PacketTest, FlagsAreReadFromTheFlagsByte) {
  struct Case {
    std::uint8_t byte;
    bool syn, ack, fin, rst;
  };
  for (const Case c : {Case{0x02, true, false, false, false}, Case{0x12, true, true, false, false},
                       Case{0x11, false, true, true, false}, Case{0x04, false, false, false, true},
                       Case{0x14, false, true, false, true}, Case{0x18, false, true, false, false},
                       Case{0xC0, false, false, false, false}}) {
    TcpFields fields;
    fields.flags = c.byte;
    const Packet packet(build_ipv4_tcp(fields));
    const auto tcp = packet.tcp();
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->syn(), c.syn) << int{c.byte};
    EXPECT_EQ(tcp->ack(), c.ack) << int{c.byte};
    EXPECT_EQ(tcp->fin(), c.fin) << int{c.byte};
    EXPECT_EQ(tcp->rst(), c.rst) << int{c.byte};
  }
}

TEST(PacketTest, RewriteChangesExactlyTheAddressAndPortBytes) {
  const std::vector<std::uint8_t> original = build_ipv4_tcp(TcpFields{});
  Packet packet(original);
  packet.ipv4()->set_src_addr("127.0.0.2");
  packet.ipv4()->set_dst_addr("127.0.0.1");
  packet.tcp()->set_dst_port(61234);
  packet.tcp()->set_src_port(1);

  std::vector<std::uint8_t> expected = original;
  const std::vector<std::uint8_t> rewritten = {127, 0, 0, 2, 127, 0, 0, 1, 0x00, 0x01, 0xEF, 0x32};
  std::copy(rewritten.begin(), rewritten.end(), expected.begin() + testing::IP_SRC);
  EXPECT_EQ(std::vector<std::uint8_t>(packet.bytes().begin(), packet.bytes().end()), expected);

  const Packet reparsed(expected);
  EXPECT_EQ(reparsed.ipv4()->src_addr(), "127.0.0.2");
  EXPECT_EQ(reparsed.ipv4()->dst_addr(), "127.0.0.1");
  EXPECT_EQ(reparsed.tcp()->src_port(), 1);
  EXPECT_EQ(reparsed.tcp()->dst_port(), 61234);
}

TEST(PacketTest, DottedAddressesAreStrict) {
  EXPECT_EQ(format_ipv4(0), "0.0.0.0");
  EXPECT_EQ(format_ipv4(0xFFFFFFFF), "255.255.255.255");
  EXPECT_EQ(parse_ipv4("192.168.1.20"), 0xC0A80114u);
  EXPECT_EQ(parse_ipv4("255.255.255.255"), 0xFFFFFFFFu);
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.1000", "01.2.3.4", "1..2.3", "1.2.3.4 ",
                          " 1.2.3.4", "a.b.c.d", "-1.2.3.4", "1.2.3.", "::1"}) {
    EXPECT_THROW(parse_ipv4(bad), std::invalid_argument) << bad;
  }
  const std::vector<std::uint8_t> original = build_ipv4_tcp(TcpFields{});
  Packet packet(original);
  EXPECT_THROW(packet.ipv4()->set_dst_addr("300.1.1.1"), std::invalid_argument);
  EXPECT_TRUE(std::equal(original.begin(), original.end(), packet.bytes().begin())) << "bad text changes nothing";
}

TEST(PacketTest, OtherPacketsOfferOnlyTheHeadersTheyHave) {
  const Packet udp(build_ipv4_udp({1, 2, 3}));
  EXPECT_TRUE(udp.ipv4());
  EXPECT_FALSE(udp.tcp());
  EXPECT_TRUE(udp.tcp_segment().empty());

  const Packet v6(build_ipv6_tcp());
  EXPECT_EQ(v6.ip_version(), 6);
  EXPECT_FALSE(v6.ipv4());
  ASSERT_TRUE(v6.tcp()) << "TCP right behind the IPv6 header";
  EXPECT_EQ(v6.tcp()->src_port(), 50000);
  EXPECT_EQ(v6.tcp_segment().size(), 20u);
  testing::Tcp6Fields extended;
  extended.next_header = 0;  // hop-by-hop options before TCP
  EXPECT_FALSE(Packet(build_ipv6_tcp(extended)).tcp());

  std::vector<std::uint8_t> fragment = build_ipv4_tcp(TcpFields{});
  fragment[6] = 0x20;  // more fragments
  EXPECT_FALSE(Packet(fragment).tcp());
  fragment[6] = 0x00;
  fragment[7] = 0x10;  // offset 16 * 8
  EXPECT_FALSE(Packet(fragment).tcp());

  EXPECT_EQ(Packet({}).ip_version(), 0);
  EXPECT_EQ(Packet({0x50, 0, 0, 0}).ip_version(), 0) << "neither version 4 nor 6";
}

TEST(PacketTest, MalformedLengthsRemoveTheViewsTheyAffect) {
  const std::vector<std::uint8_t> good = build_ipv4_tcp(fields_with_options());
  struct Case {
    const char* what;
    std::size_t at;
    std::uint8_t value;
    bool ipv4, tcp;
  };
  for (const Case c : {Case{"IHL below 5", 0, 0x44, false, false}, Case{"IHL past the end", 0, 0x4F, true, false},
                       Case{"total length past the end", 2, 0xFF, true, false},
                       Case{"total length below the header", 3, 0x00, true, false},
                       Case{"TCP data offset below 5", 24 + 12, 0x40, true, false},
                       Case{"TCP data offset past the datagram", 24 + 12, 0xF0, true, false}}) {
    std::vector<std::uint8_t> bytes = good;
    if (c.at == 3) bytes[2] = 0;
    bytes[c.at] = c.value;
    const Packet packet(bytes);
    EXPECT_EQ(packet.ipv4().has_value(), c.ipv4) << c.what;
    EXPECT_EQ(packet.tcp().has_value(), c.tcp) << c.what;
  }
  // An IHL of 15 fits once the buffer is long enough, and then pushes TCP off the datagram.
  std::vector<std::uint8_t> padded = good;
  padded.resize(80, 0);
  padded[0] = 0x4F;
  EXPECT_TRUE(Packet(padded).ipv4());
}

TEST(PacketTest, TrailingBytesAfterTheDatagramAreNotPartOfTheSegment) {
  std::vector<std::uint8_t> bytes = build_ipv4_tcp(TcpFields{});
  const std::size_t total = bytes.size();
  bytes.insert(bytes.end(), {0xAA, 0xBB, 0xCC});
  Packet packet(bytes);
  EXPECT_EQ(packet.tcp_segment().size(), total - 20);
  compute_checksums(packet);
  const std::vector<std::uint8_t> out(packet.bytes().begin(), packet.bytes().end());
  std::vector<std::uint8_t> without_padding(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(total));
  EXPECT_EQ(read16(out, 20 + 16), expected_tcp_checksum(without_padding));
}

TEST(PacketTest, APacketInsideReceivedFramingSeesOnlyItsOwnBytes) {
  const std::vector<std::uint8_t> datagram = build_ipv4_tcp(fields_with_options());
  std::vector<std::uint8_t> storage(7, 0xEE);  // framing before, and after the packet
  storage.insert(storage.end(), datagram.begin(), datagram.end());
  storage.insert(storage.end(), 5, 0xEE);
  const std::uint8_t* const memory = storage.data();
  Packet packet(std::move(storage), 7, datagram.size());
  EXPECT_TRUE(std::ranges::equal(packet.bytes(), datagram));
  ASSERT_TRUE(packet.tcp());
  EXPECT_EQ(packet.tcp()->src_port(), Packet(datagram).tcp()->src_port());
  compute_checksums(packet);
  EXPECT_EQ(read16({packet.bytes().begin(), packet.bytes().end()}, 24 + 16), expected_tcp_checksum(datagram));
  std::vector<std::uint8_t> back = std::move(packet).take_storage();
  EXPECT_EQ(back.data(), memory) << "the storage itself comes back, no copy";
  EXPECT_EQ(back.front(), 0xEE);
  EXPECT_EQ(back.back(), 0xEE) << "the framing is never written";
  EXPECT_TRUE(packet.bytes().empty());  // NOLINT(bugprone-use-after-move): left empty on purpose

  EXPECT_THROW(Packet(std::vector<std::uint8_t>(10), 4, 7), std::out_of_range);
  EXPECT_THROW(Packet(std::vector<std::uint8_t>(10), 11, 0), std::out_of_range);
  EXPECT_EQ(Packet(std::vector<std::uint8_t>(10), 10, 0).ip_version(), 0);
}

TEST(ChecksumTest, KnownHeaderChecksum) {
  // A textbook IPv4 header whose correct checksum is 0xb861.
  const std::vector<std::uint8_t> header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                            0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
  EXPECT_EQ(internet_checksum(header), 0xb861);
  EXPECT_EQ(testing::reference_checksum(header), 0xb861);
}

// Every length from empty to a few words past the widest step, and a whole offloaded packet,
// in patterns whose sums carry out of every word (0xFF) and whose bytes differ in each position.
TEST(ChecksumTest, SumsOfEveryLengthMatchAByteWiseComputation) {
  const auto patterns = [](std::size_t length) {
    std::vector<std::vector<std::uint8_t>> out(3, std::vector<std::uint8_t>(length));
    for (std::size_t i = 0; i < length; ++i) {
      out[0][i] = 0xFF;
      out[1][i] = static_cast<std::uint8_t>(i * 37 + 11);
      out[2][i] = static_cast<std::uint8_t>(i % 3 == 0 ? 0xFF : i);
    }
    return out;
  };
  std::vector<std::size_t> lengths;
  for (std::size_t length = 0; length <= 40; ++length) lengths.push_back(length);
  lengths.insert(lengths.end(), {65535, 65536});
  for (std::size_t length : lengths) {
    for (const auto& data : patterns(length)) {
      EXPECT_EQ(internet_checksum(data), testing::reference_checksum(data)) << "length " << length;
      // A partial sum carried in (a pseudo-header) lands the same.
      std::vector<std::uint8_t> with_prefix{0xAB, 0xCD};
      with_prefix.insert(with_prefix.end(), data.begin(), data.end());
      EXPECT_EQ(internet_checksum(data, 0xABCD), testing::reference_checksum(with_prefix)) << "length " << length;
    }
  }
}

TEST(ChecksumTest, ComputedChecksumsMatchAnIndependentComputation) {
  for (TcpFields fields : {TcpFields{}, fields_with_options()}) {
    for (std::size_t payload = 0; payload < 6; ++payload) {
      fields.payload.assign(payload, 0xFE);
      Packet packet(build_ipv4_tcp(fields));
      compute_checksums(packet);
      const std::vector<std::uint8_t> out(packet.bytes().begin(), packet.bytes().end());
      const std::size_t tcp_at = (out[0] & 0x0F) * 4u;
      EXPECT_EQ(read16(out, testing::IP_CHECKSUM), expected_ip_checksum(out)) << payload;
      EXPECT_EQ(read16(out, tcp_at + 16), expected_tcp_checksum(out)) << payload;
      EXPECT_TRUE(packet.info().ip_checksum_valid);
      EXPECT_TRUE(packet.info().tcp_checksum_valid);
    }
  }
}

TEST(ChecksumTest, RewrittenPacketGetsChecksumsOfItsNewAddresses) {
  Packet packet(build_ipv4_tcp(TcpFields{}));
  compute_checksums(packet);
  const std::uint16_t before = packet.tcp()->checksum();
  packet.ipv4()->set_src_addr("127.0.0.2");
  packet.ipv4()->set_dst_addr("127.0.0.1");
  packet.tcp()->set_dst_port(40000);
  compute_checksums(packet);
  const std::vector<std::uint8_t> out(packet.bytes().begin(), packet.bytes().end());
  EXPECT_NE(packet.tcp()->checksum(), before);
  EXPECT_EQ(packet.ipv4()->checksum(), expected_ip_checksum(out));
  EXPECT_EQ(packet.tcp()->checksum(), expected_tcp_checksum(out));
}

// The adjusted checksums equal a full computation over the rewritten bytes, whatever words
// change and whatever carries the adjustment produces.
TEST(ChecksumTest, RetargetingAdjustsVouchedChecksumsToWhatAFullComputationGives) {
  struct Case {
    Ipv4TcpEndpoints to;
    std::size_t payload;
  };
  const Case cases[] = {
      {{0x7F000002, 50000, 0x7F000001, 40001}, 0},    // to a relay
      {{0x7F000002, 50000, 0x7F000001, 40001}, 5},    // odd payload: a padded last byte
      {{0x0A000005, 443, 0x5DB8D822, 50000}, 100},    // back as from the destination
      {{0xFFFFFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFF}, 1},  // every word at its largest: carries
      {{0, 0, 0, 0}, 2},                              // every word zero
      {{0x00010001, 1, 0xFFFE0001, 0x8000}, 7},
  };
  for (TcpFields fields : {TcpFields{}, fields_with_options()}) {
    for (const Case& c : cases) {
      fields.payload.assign(c.payload, 0xA5);
      Packet adjusted(build_ipv4_tcp(fields));
      compute_checksums(adjusted);
      ASSERT_TRUE(retarget_ipv4_tcp(adjusted, c.to));
      Packet computed(std::vector<std::uint8_t>(adjusted.bytes().begin(), adjusted.bytes().end()));
      compute_checksums(computed);
      const std::vector<std::uint8_t> out(adjusted.bytes().begin(), adjusted.bytes().end());
      EXPECT_EQ(adjusted.tcp()->src_port(), c.to.src_port);
      EXPECT_EQ(adjusted.tcp()->dst_port(), c.to.dst_port);
      EXPECT_EQ(adjusted.ipv4()->dst_addr(), format_ipv4(c.to.dst));
      EXPECT_EQ(read16(out, testing::IP_CHECKSUM), expected_ip_checksum(out)) << c.payload;
      // 0x0000 and 0xFFFF are the same ones' complement number: both verify.
      const std::uint16_t tcp = adjusted.tcp()->checksum();
      const std::uint16_t full = computed.tcp()->checksum();
      EXPECT_TRUE(tcp == full || (tcp ^ full) == 0xFFFF) << std::hex << tcp << " " << full;
    }
  }
}

TEST(ChecksumTest, RetargetingLeavesChecksumsItCannotVouchForToAFullComputation) {
  Packet offloaded(build_ipv4_tcp(TcpFields{}));  // as an outbound packet whose card fills them in
  const std::uint16_t before = offloaded.tcp()->checksum();
  EXPECT_FALSE(retarget_ipv4_tcp(offloaded, {0x7F000002, 1, 0x7F000001, 2}));
  EXPECT_EQ(offloaded.tcp()->checksum(), before) << "left for the diverter to compute";
  EXPECT_EQ(offloaded.tcp()->dst_port(), 2) << "the addresses and ports are written all the same";

  Packet udp(build_ipv4_udp({1, 2, 3}));
  compute_checksums(udp);
  EXPECT_FALSE(retarget_ipv4_tcp(udp, {0x7F000002, 1, 0x7F000001, 2}));
}

TEST(ChecksumTest, Ipv6SegmentGetsItsChecksum) {
  testing::Tcp6Fields fields;
  fields.payload = {'o', 'd', 'd'};
  Packet packet(build_ipv6_tcp(fields));
  compute_checksums(packet);
  const std::vector<std::uint8_t> out(packet.bytes().begin(), packet.bytes().end());
  EXPECT_EQ(packet.tcp()->checksum(), testing::expected_tcp6_checksum(out));
  EXPECT_TRUE(packet.info().tcp_checksum_valid);
  EXPECT_FALSE(packet.info().ip_checksum_valid) << "IPv6 has no header checksum";
}

TEST(ChecksumTest, PacketsWithoutTheHeadersAreLeftAlone) {
  testing::Tcp6Fields extended;
  extended.next_header = 0;
  const std::vector<std::uint8_t> v6 = build_ipv6_tcp(extended);
  Packet packet(v6);
  compute_checksums(packet);
  EXPECT_TRUE(std::equal(v6.begin(), v6.end(), packet.bytes().begin()));
  EXPECT_FALSE(packet.info().tcp_checksum_valid);

  Packet udp(build_ipv4_udp({1, 2, 3}));
  compute_checksums(udp);
  const std::vector<std::uint8_t> out(udp.bytes().begin(), udp.bytes().end());
  EXPECT_EQ(read16(out, testing::IP_CHECKSUM), expected_ip_checksum(out));
  EXPECT_EQ(read16(out, 26), 0) << "the UDP checksum is not ours to touch";
  EXPECT_FALSE(udp.info().tcp_checksum_valid);
}

// Reads and rewrites everything a packet offers; must stay in bounds for any input.
void exercise(std::vector<std::uint8_t> bytes) {
  const std::size_t size = bytes.size();
  Packet packet(std::move(bytes));
  if (auto ip = packet.ipv4()) {
    ASSERT_LE(ip->header_length(), size);
    (void)ip->src_addr();
    (void)ip->dst_addr();
    (void)ip->total_length();
    ip->set_src_addr("127.0.0.2");
    ip->set_dst_addr("127.0.0.1");
  }
  if (auto tcp = packet.tcp()) {
    ASSERT_TRUE(packet.ipv4() || packet.ip_version() == 6);
    (void)(tcp->syn() || tcp->ack() || tcp->fin() || tcp->rst());
    tcp->set_src_port(tcp->dst_port());
    tcp->set_dst_port(1);
    const std::size_t ip_length = packet.ipv4() ? packet.ipv4()->header_length() : Packet::IPV6_HEADER_LENGTH;
    ASSERT_LE(ip_length + packet.tcp_segment().size(), size);
    if (const auto reset = tcp_reset_for(packet)) {
      ASSERT_TRUE(reset->tcp());
      EXPECT_TRUE(reset->tcp()->rst());
    } else {
      EXPECT_TRUE(tcp->rst()) << "only a reset goes unanswered";
    }
  }
  compute_checksums(packet);
}

TEST(PacketFuzzTest, EveryTruncationStaysInBounds) {
  for (const std::vector<std::uint8_t>& whole :
       {build_ipv4_tcp(fields_with_options()), build_ipv4_udp({1, 2, 3, 4}), build_ipv6_tcp()}) {
    for (std::size_t length = 0; length <= whole.size(); ++length) {
      const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
      exercise(cut);
      if (length < whole.size() && whole[0] == 0x46) {
        EXPECT_FALSE(Packet(cut).tcp()) << "a cut datagram has no TCP view, length " << length;
      }
    }
  }
}

TEST(PacketFuzzTest, EveryValueOfEveryHeaderByteStaysInBounds) {
  const std::vector<std::uint8_t> whole = build_ipv4_tcp(fields_with_options());
  const std::size_t headers = 24 + 32;
  for (std::size_t at = 0; at < headers; ++at) {
    for (int value = 0; value < 256; ++value) {
      std::vector<std::uint8_t> bytes = whole;
      bytes[at] = static_cast<std::uint8_t>(value);
      exercise(bytes);
      bytes.resize(at + 1);  // the changed byte is the last one there is
      exercise(bytes);
    }
  }
}

TEST(PacketFuzzTest, RandomBytesStayInBounds) {
  std::mt19937 random(20240521);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::size_t> length(0, 120);
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::uint8_t> bytes(length(random));
    for (auto& b : bytes) b = static_cast<std::uint8_t>(byte(random));
    if (!bytes.empty() && round % 2 == 0) bytes[0] = static_cast<std::uint8_t>(0x40 | (bytes[0] & 0x0F));
    if (bytes.size() > 9 && round % 4 == 0) bytes[9] = 6;
    exercise(bytes);
  }
}

}  // namespace
}  // namespace tovix
