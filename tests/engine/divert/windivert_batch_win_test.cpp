// Batched WinDivert I/O: how a batch is cut into packets, and the backend against the stand-in
// libraries with and without the batched calls.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <thread>

#include "engine/divert/windivert_batch_win.h"
#include "engine/divert/windivert_diverter_win.h"
#include "tests/engine/divert/packet_builder.h"
#include "tests/engine/divert/windivert_stub_fixture_win.h"
#include "tests/support/loopback_server.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using testing::build_ipv4_tcp;
using testing::build_ipv6_tcp;
using testing::TcpFields;
using Bytes = std::vector<std::uint8_t>;

Bytes ipv4_with_payload(std::size_t payload, std::uint16_t src_port = 50000) {
  TcpFields fields;
  fields.src_port = src_port;
  fields.payload.assign(payload, 0xAB);
  return build_ipv4_tcp(fields);
}

TEST(WinDivertBatchTest, StatedLengthComesFromTheIpHeaderAndMustFit) {
  const Bytes v4 = ipv4_with_payload(100);
  const Bytes v6 = build_ipv6_tcp();
  Bytes v4_short_length = v4;
  v4_short_length[2] = 0;
  v4_short_length[3] = 19;
  Bytes v4_past_end = v4;
  v4_past_end[3] = static_cast<std::uint8_t>(v4_past_end[3] + 1);
  Bytes not_ip = v4;
  not_ip[0] = 0x55;
  const struct {
    const char* what;
    Bytes bytes;
    std::optional<std::size_t> expected;
  } cases[] = {
      {"IPv4", v4, v4.size()},
      {"IPv6", v6, v6.size()},
      {"IPv4 followed by more bytes",
       [&] {
         Bytes b = v4;
         b.resize(b.size() + 30);
         return b;
       }(),
       v4.size()},
      {"IPv4 length below its header", v4_short_length, std::nullopt},
      {"IPv4 length past the end", v4_past_end, std::nullopt},
      {"neither IPv4 nor IPv6", not_ip, std::nullopt},
      {"shorter than an IPv4 header", Bytes(v4.begin(), v4.begin() + 19), std::nullopt},
      {"IPv6 shorter than its header", Bytes(v6.begin(), v6.begin() + 30), std::nullopt},
      {"nothing", Bytes{}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(windivert::stated_packet_length(c.bytes), c.expected) << c.what;
}

// Writes `packets` back to back into the batch as the driver does, one address each
// (interface index = position), and fills it.
void fill_batch(windivert::ReceivedBatch& batch, const std::vector<Bytes>& packets) {
  std::size_t offset = 0;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    std::memcpy(batch.buffer() + offset, packets[i].data(), packets[i].size());
    offset += packets[i].size();
    batch.addresses()[i] = {};
    batch.addresses()[i].Network.IfIdx = static_cast<std::uint32_t>(i);
  }
  batch.fill(offset, packets.size());
}

TEST(WinDivertBatchTest, ABatchIsCutAtEachStatedLengthAndAnUnreadableRestStaysTogether) {
  windivert::ReceivedBatch batch;
  const std::vector<Bytes> packets{ipv4_with_payload(0), build_ipv6_tcp(), ipv4_with_payload(1400)};
  fill_batch(batch, packets);
  for (std::size_t i = 0; i < packets.size(); ++i) {
    ASSERT_FALSE(batch.empty());
    const Packet packet = batch.take();
    EXPECT_TRUE(std::equal(packet.bytes().begin(), packet.bytes().end(), packets[i].begin(), packets[i].end())) << i;
    EXPECT_EQ(packet.info().interface_index, i);
  }
  EXPECT_TRUE(batch.empty());

  // The second header states a length past the end: nothing after it can be told apart, so
  // the rest is one packet, which has no TCP view to rewrite and which the driver refuses to
  // send (its header states more bytes than it has).
  Bytes broken = ipv4_with_payload(10);
  broken[2] = 0xFF;
  fill_batch(batch, {ipv4_with_payload(0), broken, ipv4_with_payload(5)});
  EXPECT_EQ(batch.take().bytes().size(), 40u);
  const Packet rest = batch.take();
  EXPECT_EQ(rest.bytes().size(), broken.size() + 45);
  EXPECT_FALSE(rest.tcp());
  EXPECT_FALSE(windivert::SendQueue::batchable(rest));
  EXPECT_TRUE(batch.empty());
}

TEST(WinDivertBatchTest, APacketHandedBackLendsItsStorageToTheNextOneTaken) {
  windivert::ReceivedBatch batch;
  const std::vector<Bytes> packets{ipv4_with_payload(1400), ipv4_with_payload(10, 50001)};
  fill_batch(batch, packets);
  Packet first = batch.take();
  const std::uint8_t* const storage = first.bytes().data();
  batch.recycle(std::move(first).take_storage());
  const Packet second = batch.take();
  EXPECT_EQ(second.bytes().data(), storage) << "no allocation of its own";
  EXPECT_TRUE(std::ranges::equal(second.bytes(), packets[1])) << "only its own bytes";
  ASSERT_TRUE(second.tcp());
  EXPECT_EQ(second.tcp()->src_port(), 50001);
}

class WinDivertBatchedStubTest : public testing::WinDivertStubFixture {
 protected:
  WinDivertDiverter diverter{testing::stub_library()};

  // Pushes `count` SYNs with source ports from 20000 and interface index = position.
  void push_syns(int count) {
    for (int i = 0; i < count; ++i) {
      TcpFields fields;
      fields.src_port = static_cast<std::uint16_t>(20000 + i);
      windivert::Address address{};
      address.Outbound = 1;
      address.Network.IfIdx = static_cast<std::uint32_t>(i);
      push(build_ipv4_tcp(fields), address);
    }
  }
};

TEST_F(WinDivertBatchedStubTest, AThousandQueuedPacketsTravelInBatchesAndInOrder) {
  diverter.open("true");
  constexpr int COUNT = 1000;
  push_syns(COUNT);
  std::vector<Packet> received;
  for (int i = 0; i < COUNT; ++i) {
    std::optional<Packet> packet = diverter.recv();
    ASSERT_TRUE(packet) << i;
    received.push_back(std::move(*packet));
  }
  EXPECT_TRUE(diverter.batched());
  for (int i = 0; i < COUNT; ++i) {
    ASSERT_EQ(received[i].tcp()->src_port(), 20000 + i);
    ASSERT_EQ(received[i].info().interface_index, static_cast<std::uint32_t>(i));
  }
  const double per_receive = static_cast<double>(COUNT) / static_cast<double>(receive_calls());
  EXPECT_GT(per_receive, 8.0) << receive_calls() << " receive calls";

  for (const Packet& packet : received) diverter.send(packet);
  diverter.close();
  ASSERT_EQ(sent_count(), static_cast<UINT64>(COUNT));
  EXPECT_LE(send_calls(), static_cast<UINT64>(COUNT / windivert::BATCH_PACKETS + 1));
  for (UINT i = 0; i < COUNT; i += 97) {
    windivert::Address address{};
    const Bytes bytes = sent(i, address);
    EXPECT_EQ(Packet(bytes).tcp()->src_port(), 20000 + static_cast<int>(i));
    EXPECT_EQ(address.Network.IfIdx, i);
    EXPECT_EQ(address.Outbound, 1u);
  }
}

TEST_F(WinDivertBatchedStubTest, QueuedSendsLeaveBeforeTheNextBlockingReceiveAndOnClose) {
  diverter.open("true");
  push_syns(3);
  for (int i = 0; i < 3; ++i) diverter.send(*diverter.recv());
  EXPECT_EQ(sent_count(), 0u) << "queued while the batch is handled";

  std::optional<Packet> after_shutdown = Packet({});
  std::thread receiver([&] { after_shutdown = diverter.recv(); });
  EXPECT_TRUE(testing::eventually([&] { return sent_count() == 3; }, 30s)) << "sent before the receive blocks";
  diverter.shutdown();
  receiver.join();
  EXPECT_FALSE(after_shutdown);

  // What is sent between the shutdown and the close still reaches the driver.
  diverter.send(Packet(ipv4_with_payload(0, 30000)));
  diverter.close();
  EXPECT_EQ(sent_count(), 4u);
}

TEST_F(WinDivertBatchedStubTest, APacketTheDriverCannotBatchGoesAloneInItsPlaceAndItsFailureIsThrown) {
  diverter.open("true");
  Bytes broken = ipv4_with_payload(10, 30001);
  broken[3] = static_cast<std::uint8_t>(broken[3] + 1);  // states one byte more than it has
  diverter.send(Packet(ipv4_with_payload(0, 30000)));
  try {
    diverter.send(Packet(broken));
    ADD_FAILURE() << "the driver's refusal was not reported";
  } catch (const DivertOsError& error) {
    EXPECT_EQ(error.code(), 87u);
  }
  EXPECT_EQ(sent_count(), 1u) << "what was queued left first";
  diverter.send(Packet(ipv4_with_payload(0, 30002)));
  diverter.close();
  ASSERT_EQ(sent_count(), 2u);
  windivert::Address address{};
  EXPECT_EQ(Packet(sent(0, address)).tcp()->src_port(), 30000);
  EXPECT_EQ(Packet(sent(1, address)).tcp()->src_port(), 30002);
}

class WinDivertSingleStubTest : public testing::WinDivertStubFixture {
 protected:
  WinDivertSingleStubTest() : WinDivertStubFixture(testing::single_stub_library()) {}
  WinDivertDiverter diverter{testing::single_stub_library()};
};

TEST_F(WinDivertSingleStubTest, ALibraryWithoutBatchedCallsMovesOnePacketPerCall) {
  diverter.open("true");
  for (int i = 0; i < 5; ++i) push(ipv4_with_payload(0, static_cast<std::uint16_t>(40000 + i)), {});
  for (int i = 0; i < 5; ++i) {
    std::optional<Packet> packet = diverter.recv();
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->tcp()->src_port(), 40000 + i);
    diverter.send(*packet);
    EXPECT_EQ(sent_count(), static_cast<UINT64>(i + 1)) << "sent at once";
  }
  EXPECT_FALSE(diverter.batched());
  EXPECT_EQ(receive_calls(), 5u);
  EXPECT_EQ(send_calls(), 5u);
}

}  // namespace
}  // namespace tovix
