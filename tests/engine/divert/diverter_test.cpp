#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "engine/divert/checksum.h"
#include "engine/divert/fake_diverter.h"
#include "engine/divert/packet_diverter.h"
#include "tests/engine/divert/packet_builder.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;

// Generous: only a broken wake-up ever waits this long.
constexpr auto kWait = 30s;

Packet syn_from_port(std::uint16_t port) {
  testing::TcpFields fields;
  fields.src_port = port;
  return Packet(testing::build_ipv4_tcp(fields), CaptureInfo{.outbound = true, .loopback = false, .process_id = 42});
}

void expect_error(const std::function<void()>& call, std::uint32_t code, const std::string& fragment) {
  try {
    call();
    ADD_FAILURE() << "no error, expected code " << code;
  } catch (const DivertOsError& e) {
    EXPECT_EQ(e.code(), code);
    const std::string text = e.what();
    EXPECT_NE(text.find(std::to_string(code)), std::string::npos) << text;
    EXPECT_NE(text.find(fragment), std::string::npos) << text;
    EXPECT_NE(text.find(e.message()), std::string::npos) << text;
  }
}

TEST(FakeDiverterTest, HandsOutQueuedPacketsAndRecordsWhatWasSent) {
  FakeDiverter diverter;
  diverter.push(syn_from_port(1001));
  diverter.push(syn_from_port(1002));
  diverter.register_driver();
  diverter.open("tcp and (outbound or loopback)");
  diverter.set_param(DivertParam::QUEUE_TIME, 100);
  EXPECT_TRUE(diverter.is_open());

  std::optional<Packet> first = diverter.recv();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->tcp()->src_port(), 1001);
  EXPECT_EQ(first->process_id(), 42u);
  first->tcp()->set_dst_port(7000);
  diverter.recalculate_checksums(*first);
  diverter.send(*first);
  first->tcp()->set_dst_port(9);  // the record is a copy, not a view of the caller's packet

  EXPECT_EQ(diverter.recv()->tcp()->src_port(), 1002);
  const std::vector<Packet> sent = diverter.sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].tcp()->dst_port(), 7000);
  const std::vector<std::uint8_t> bytes(sent[0].bytes().begin(), sent[0].bytes().end());
  EXPECT_EQ(sent[0].tcp()->checksum(), testing::expected_tcp_checksum(bytes));
  EXPECT_EQ(diverter.opened_filters(), std::vector<std::string>{"tcp and (outbound or loopback)"});
  ASSERT_EQ(diverter.params().size(), 1u);
  EXPECT_EQ(diverter.params()[0], std::make_pair(DivertParam::QUEUE_TIME, std::uint64_t{100}));
  EXPECT_EQ(diverter.register_calls(), 1);
}

TEST(FakeDiverterTest, ScriptedOpenFailuresCarryCodeAndMessage) {
  FakeDiverter diverter;
  struct Case {
    DivertOsError error;
    std::uint32_t code;
    const char* fragment;
  };
  for (const Case& c :
       {Case{FakeDiverter::access_denied(), 5, "拒绝访问"}, Case{FakeDiverter::invalid_parameter(), 87, ""},
        Case{FakeDiverter::invalid_image_hash(), 577, ""}, Case{FakeDiverter::not_loaded(), 126, "NotLoaded"},
        Case{DivertOsError(1275, "此驱动程序被阻止加载。"), 1275, "此驱动程序被阻止加载"}}) {
    diverter.fail_next_open(c.error);
    expect_error([&] { diverter.open("true"); }, c.code, c.fragment);
    EXPECT_FALSE(diverter.is_open());
  }
  diverter.open("true");
  EXPECT_TRUE(diverter.is_open()) << "each scripted failure is used once";
  EXPECT_EQ(diverter.opened_filters().size(), 6u);

  diverter.fail_next_register(FakeDiverter::access_denied());
  expect_error([&] { diverter.register_driver(); }, 5, "拒绝访问");
  diverter.register_driver();
}

TEST(FakeDiverterTest, ScriptedReceiveAndSendFailuresHappenOnce) {
  FakeDiverter diverter;
  diverter.open("true");
  diverter.push(syn_from_port(1));
  diverter.fail_next_recv(DivertOsError(995, "由于线程退出或应用程序请求，已中止 I/O 操作。"));
  diverter.fail_next_send(DivertOsError(1214, "网络名格式不正确。"));
  expect_error([&] { (void)diverter.recv(); }, 995, "I/O");
  const std::optional<Packet> packet = diverter.recv();
  ASSERT_TRUE(packet);
  expect_error([&] { diverter.send(*packet); }, 1214, "网络名");
  diverter.send(*packet);
  EXPECT_EQ(diverter.sent().size(), 1u);
}

TEST(FakeDiverterTest, CallsWithoutAnOpenHandleFailClearly) {
  FakeDiverter diverter;
  diverter.shutdown();  // harmless before open
  diverter.close();
  diverter.close();
  expect_error([&] { (void)diverter.recv(); }, DIVERT_ERROR_INVALID_HANDLE, "not open");
  expect_error([&] { diverter.send(syn_from_port(1)); }, DIVERT_ERROR_INVALID_HANDLE, "not open");
  expect_error([&] { diverter.set_param(DivertParam::QUEUE_TIME, 100); }, DIVERT_ERROR_INVALID_HANDLE, "not open");
  diverter.open("true");
  diverter.close();
  EXPECT_FALSE(diverter.is_open());
  expect_error([&] { (void)diverter.recv(); }, DIVERT_ERROR_INVALID_HANDLE, "not open");
}

TEST(FakeDiverterTest, ShutdownWakesAReceiverBlockedInAnotherThread) {
  FakeDiverter diverter;
  diverter.open("true");
  std::optional<Packet> received = syn_from_port(1);
  std::thread receiver([&] { received = diverter.recv(); });
  ASSERT_TRUE(diverter.wait_until_idle(kWait));  // the receiver is blocked
  diverter.shutdown();
  receiver.join();
  EXPECT_FALSE(received);
  EXPECT_FALSE(diverter.recv()) << "later receives return at once";
  diverter.open("true");
  diverter.push(syn_from_port(2));
  EXPECT_TRUE(diverter.recv()) << "a new handle is not shut down";
}

TEST(FakeDiverterTest, PacketsQueuedBeforeShutdownAreStillHandedOut) {
  FakeDiverter diverter;
  diverter.open("true");
  diverter.push(syn_from_port(1));
  diverter.push(syn_from_port(2));
  diverter.shutdown();
  EXPECT_EQ(diverter.recv()->tcp()->src_port(), 1);
  EXPECT_EQ(diverter.recv()->tcp()->src_port(), 2);
  EXPECT_FALSE(diverter.recv());
}

TEST(FakeDiverterTest, CloseFromAnotherThreadAlsoEndsAReceive) {
  FakeDiverter diverter;
  diverter.open("true");
  std::thread receiver([&] { EXPECT_FALSE(diverter.recv()); });
  ASSERT_TRUE(diverter.wait_until_idle(kWait));
  diverter.close();
  receiver.join();
}

TEST(FakeDiverterTest, PacketLoopInAnotherThreadSeesEveryPushedPacketInOrder) {
  FakeDiverter diverter;
  diverter.open("true");
  std::thread loop([&] {
    while (std::optional<Packet> packet = diverter.recv()) {
      diverter.recalculate_checksums(*packet);
      diverter.send(*packet);
    }
  });
  constexpr int kPackets = 200;
  for (int i = 0; i < kPackets; ++i) diverter.push(syn_from_port(static_cast<std::uint16_t>(2000 + i)));
  ASSERT_TRUE(diverter.wait_for_sent(kPackets, kWait));
  EXPECT_TRUE(diverter.wait_until_idle(kWait));
  diverter.shutdown();
  loop.join();
  const std::vector<Packet> sent = diverter.sent();
  ASSERT_EQ(sent.size(), static_cast<std::size_t>(kPackets));
  for (int i = 0; i < kPackets; ++i) EXPECT_EQ(sent[static_cast<std::size_t>(i)].tcp()->src_port(), 2000 + i);
}

}  // namespace
}  // namespace tovix
