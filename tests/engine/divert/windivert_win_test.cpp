#include <gtest/gtest.h>

#include <cstring>

#include "engine/divert/windivert_abi_win.h"
#include "engine/divert/windivert_diverter_win.h"
#include "tests/engine/divert/packet_builder.h"

namespace tovix {
namespace {

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

}  // namespace
}  // namespace tovix
