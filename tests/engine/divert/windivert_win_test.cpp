#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <thread>

#include "common/paths.h"
#include "engine/divert/windivert_abi_win.h"
#include "engine/divert/windivert_diverter_win.h"
#include "tests/engine/divert/packet_builder.h"
#include "tests/engine/divert/windivert_stub_fixture_win.h"
#include "tests/support/temp_dir.h"

namespace tovix {
namespace {

using testing::stub_library;
using testing::WinDivertStubFixture;

std::uint8_t byte_at(const windivert::Address& address, std::size_t at) {
  std::uint8_t bytes[sizeof(windivert::Address)];
  std::memcpy(bytes, &address, sizeof bytes);
  return bytes[at];
}

TEST(WinDivertAbiTest, BitFieldsSitWhereTheLibraryReadsThem) {
  windivert::Address address{};
  address.Outbound = 1;
  EXPECT_EQ(byte_at(address, 10), 0x02);
  address.IPChecksum = 1;
  address.TCPChecksum = 1;
  EXPECT_EQ(byte_at(address, 10), 0x62);
  address.Loopback = 1;
  address.Impostor = 1;
  address.IPv6 = 1;
  EXPECT_EQ(byte_at(address, 10), 0x7E);
  address.Layer = 0xAB;
  address.Event = 0xCD;
  EXPECT_EQ(byte_at(address, 8), 0xAB);
  EXPECT_EQ(byte_at(address, 9), 0xCD);
  address.Network.IfIdx = 0x11223344;
  EXPECT_EQ(byte_at(address, 16), 0x44);
}

TEST(WinDivertAbiTest, CaptureInfoSurvivesTheRoundTripThroughTheAddress) {
  CaptureInfo info;
  info.outbound = false;
  info.loopback = true;
  info.impostor = true;
  info.ip_checksum_valid = true;
  info.interface_index = 7;
  info.subinterface_index = 3;
  info.timestamp = 123456789;
  const CaptureInfo back = windivert::capture_info_from(windivert::address_from(info, false));
  EXPECT_EQ(back.outbound, false);
  EXPECT_EQ(back.loopback, true);
  EXPECT_EQ(back.impostor, true);
  EXPECT_EQ(back.ip_checksum_valid, true);
  EXPECT_EQ(back.tcp_checksum_valid, false);
  EXPECT_EQ(back.interface_index, 7u);
  EXPECT_EQ(back.subinterface_index, 3u);
  EXPECT_EQ(back.timestamp, 123456789);
  EXPECT_FALSE(back.process_id) << "the network layer names no process";

  windivert::Address flow{};
  flow.Layer = windivert::LAYER_FLOW;
  flow.Flow.ProcessId = 4242;
  EXPECT_EQ(windivert::capture_info_from(flow).process_id, 4242u);
}

TEST(WinDivertDiverterTest, LibraryCandidatesFallBackToTheReleaseName) {
  EXPECT_EQ(WinDivertDiverter().library_candidates(),
            (std::vector<std::filesystem::path>{L"WinDivert64.dll", L"WinDivert.dll"}));
  EXPECT_EQ(WinDivertDiverter(L"C:\\app\\WinDivert64.dll").library_candidates(),
            (std::vector<std::filesystem::path>{L"C:\\app\\WinDivert64.dll", L"C:\\app\\WinDivert.dll"}));
}

void expect_not_loaded(const std::function<void()>& call) {
  try {
    call();
    ADD_FAILURE() << "no error";
  } catch (const DivertOsError& e) {
    EXPECT_NE(e.code(), 0u);
    const std::string text = e.what();
    EXPECT_NE(text.find(std::to_string(e.code())), std::string::npos) << text;
    EXPECT_NE(text.find("NotLoaded"), std::string::npos) << text;
    EXPECT_NE(text.find("WinDivert"), std::string::npos) << text;
  }
}

TEST(WinDivertDiverterTest, MissingLibraryIsAnOpenFailureWithACode) {
  WinDivertDiverter diverter(L"C:\\no-such-folder\\WinDivert64.dll");
  expect_not_loaded([&] { diverter.open("tcp and (outbound or loopback)"); });
  expect_not_loaded([&] { diverter.register_driver(); });
  Packet packet(testing::build_ipv4_tcp({}));
  expect_not_loaded([&] { diverter.recalculate_checksums(packet); });
  EXPECT_FALSE(diverter.is_open());
  EXPECT_THROW((void)diverter.recv(), DivertOsError);
  EXPECT_THROW(diverter.send(packet), DivertOsError);
  diverter.shutdown();
  diverter.close();
}

TEST(WinDivertDiverterTest, UsualSearchWithoutTheLibraryFailsWithACode) {
  const std::unique_ptr<PacketDiverter> diverter = make_system_diverter();
  try {
    diverter->open("tcp and (outbound or loopback)");
    diverter->close();
    GTEST_SKIP() << "a WinDivert driver is installed here";
  } catch (const DivertOsError& e) {
    EXPECT_NE(std::string(e.what()).find(std::to_string(e.code())), std::string::npos) << e.what();
  }
  EXPECT_FALSE(diverter->is_open());
}

class WinDivertStubTest : public WinDivertStubFixture {
 protected:
  WinDivertDiverter diverter{stub_library()};
};

void expect_code(const std::function<void()>& call, std::uint32_t code) {
  try {
    call();
    ADD_FAILURE() << "no error, expected " << code;
  } catch (const DivertOsError& e) {
    EXPECT_EQ(e.code(), code);
    EXPECT_NE(std::string(e.what()).find("[WinError " + std::to_string(code) + "] "), std::string::npos) << e.what();
    EXPECT_FALSE(e.message().empty());
  }
}

TEST_F(WinDivertStubTest, OpenFailuresCarryTheLibrarysErrorCode) {
  for (std::uint32_t code : {5u, 87u, 577u, 654u, 1275u}) {
    expect_code([&] { diverter.open("fail " + std::to_string(code)); }, code);
    EXPECT_FALSE(diverter.is_open());
  }
  // A null handle with no error set still fails, with the library's own fallback code.
  expect_code([&] { diverter.open("fail-null"); }, 110);
}

TEST_F(WinDivertStubTest, RegisteringOpensAndClosesAHandleThatMatchesNothing) {
  diverter.register_driver();
  EXPECT_STREQ(stub<const char* (*)()>("StubLastFilter")(), "false");
  EXPECT_EQ(closes(), 1);
  EXPECT_FALSE(diverter.is_open());
}

TEST_F(WinDivertStubTest, PacketsTravelWithTheirCaptureRecord) {
  diverter.open("tcp and (outbound or loopback)");
  EXPECT_STREQ(stub<const char* (*)()>("StubLastFilter")(), "tcp and (outbound or loopback)");
  diverter.set_param(DivertParam::QUEUE_TIME, 100);
  EXPECT_EQ(stub<UINT64 (*)()>("StubQueueTime")(), 100u);
  expect_code([&] { diverter.set_param(DivertParam::QUEUE_TIME, 5); }, 87);

  const std::vector<std::uint8_t> syn = testing::build_ipv4_tcp({});
  windivert::Address captured{};
  captured.Layer = windivert::LAYER_NETWORK;
  captured.Outbound = 1;
  captured.Loopback = 1;
  captured.Network.IfIdx = 7;
  captured.Network.SubIfIdx = 2;
  push(syn, captured);

  std::optional<Packet> packet = diverter.recv();
  ASSERT_TRUE(packet);
  EXPECT_TRUE(std::equal(syn.begin(), syn.end(), packet->bytes().begin(), packet->bytes().end()));
  EXPECT_TRUE(packet->info().outbound);
  EXPECT_TRUE(packet->info().loopback);
  EXPECT_EQ(packet->info().interface_index, 7u);
  EXPECT_EQ(packet->process_id(), 0u);

  packet->tcp()->set_dst_port(40000);
  diverter.recalculate_checksums(*packet);
  EXPECT_TRUE(packet->info().ip_checksum_valid);
  EXPECT_TRUE(packet->info().tcp_checksum_valid);
  diverter.send(*packet);
  diverter.close();  // a queued send leaves at the latest when the handle closes

  windivert::Address sent_address{};
  const std::vector<std::uint8_t> sent_bytes = sent(0, sent_address);
  EXPECT_TRUE(std::equal(sent_bytes.begin(), sent_bytes.end(), packet->bytes().begin(), packet->bytes().end()));
  EXPECT_EQ(sent_address.Outbound, 1u);
  EXPECT_EQ(sent_address.Loopback, 1u);
  EXPECT_EQ(sent_address.Network.IfIdx, 7u);
  EXPECT_EQ(sent_address.Network.SubIfIdx, 2u);
  EXPECT_EQ(sent_address.IPChecksum, 1u);
  EXPECT_EQ(sent_address.TCPChecksum, 1u);

  Packet runt({0x45, 0, 0, 10});
  diverter.recalculate_checksums(runt);  // the helper refuses it; the packet stays as it was
  EXPECT_FALSE(runt.info().ip_checksum_valid);
}

TEST_F(WinDivertStubTest, ShutdownEndsAReceiveInAnotherThreadAndCloseReleasesTheHandle) {
  diverter.open("true");
  std::optional<Packet> received = Packet({});
  std::thread receiver([&] { received = diverter.recv(); });
  diverter.shutdown();
  receiver.join();
  EXPECT_FALSE(received);
  diverter.close();
  diverter.close();
  EXPECT_EQ(closes(), 1);
  expect_code([&] { (void)diverter.recv(); }, DIVERT_ERROR_INVALID_HANDLE);
}

// Held connections get a dropping handle of their own, ahead of the diverting one, whose filter
// names exactly those connections; releasing one opens a handle for the rest before the old
// one closes, and the last release closes it.
TEST_F(WinDivertStubTest, HeldConnectionsGetADroppingHandleNamingThem) {
  diverter.open("tcp and (outbound or loopback)");
  const TcpTuple first{0x0A000005, 50123, 0x5DB8D822, 443};
  const TcpTuple second{0x0A000005, 50124, 0xC6336401, 80};
  auto held = diverter.hold_after_close({first, second});
  diverter.close();
  const std::string filter = stub<const char* (*)()>("StubLastFilter")();
  EXPECT_EQ(filter,
            "outbound and tcp and ((ip.SrcAddr == 10.0.0.5 and tcp.SrcPort == 50123 and ip.DstAddr == 93.184.216.34 "
            "and tcp.DstPort == 443) or (ip.SrcAddr == 10.0.0.5 and tcp.SrcPort == 50124 and ip.DstAddr == "
            "198.51.100.1 and tcp.DstPort == 80))");
  EXPECT_EQ(stub<UINT64 (*)()>("StubLastFlags")(), 0x02u);
  EXPECT_GT(stub<int (*)()>("StubLastPriority")(), 0);
  const int closes_before = closes();
  held->release({first});
  EXPECT_EQ(held->held(), std::vector<TcpTuple>{second});
  EXPECT_EQ(std::string(stub<const char* (*)()>("StubLastFilter")()).find("50123"), std::string::npos);
  EXPECT_EQ(closes(), closes_before + 1);
  held->release({second});
  EXPECT_TRUE(held->held().empty());
  EXPECT_EQ(closes(), closes_before + 2);
}

TEST(WinDivertFallbackTest, ReleaseNamedLibraryBesideTheGivenPathIsUsed) {
  testing::TempDir dir;
  std::filesystem::copy_file(stub_library(), dir / "WinDivert.dll");
  {
    WinDivertDiverter diverter(dir / "WinDivert64.dll");
    expect_code([&] { diverter.open("fail 5"); }, 5);  // reached the library's open
  }
}

}  // namespace
}  // namespace tovix
