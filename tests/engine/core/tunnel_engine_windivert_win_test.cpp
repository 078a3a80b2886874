// The engine through the WinDivert backend, against the stand-in library the diverter tests
// use: open with the filter, queue time 100, a SYN received, rewritten and sent back outbound,
// the handle shut down and closed by stop.
#include <gtest/gtest.h>

#include "engine/core/tunnel_engine.h"
#include "engine/divert/windivert_abi_win.h"
#include "tests/engine/core/engine_test_support.h"
#include "tests/engine/divert/windivert_stub_fixture_win.h"
#include "tests/support/loopback_server.h"

namespace tovix {
namespace {

using namespace tovix::testing;
using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

class EngineOnWinDivertTest : public WinDivertStubFixture {
 protected:
  ~EngineOnWinDivertTest() override { engine.reset(); }  // before the stand-in is unloaded

  std::unique_ptr<TunnelEngine> engine;
};

TEST_F(EngineOnWinDivertTest, SynIsRedirectedThroughTheBackend) {
  EngineOptions options;
  options.diverter_factory = [] { return make_system_diverter(stub_library()); };
  engine = std::make_unique<TunnelEngine>(options);
  TextRecorder recorder;
  recorder.attach(*engine);
  engine->start_engine(Json{{"proxy_list", Json::array({Json{{"host", "127.0.0.1"}, {"port", 1}}})}});
  ASSERT_TRUE(recorder.wait_for_status_prefix(STATUS_STARTED_PREFIX, 30s)) << ::testing::PrintToString(recorder.all());
  EXPECT_STREQ(stub<const char* (*)()>("StubLastFilter")(),
               "(tcp and (outbound or loopback)) or (udp and outbound and !loopback)");
  ASSERT_TRUE(eventually([&] { return stub<UINT64 (*)()>("StubQueueTime")() == 100u; }, 30s));

  TcpFields fields;
  fields.src_port = 50123;
  fields.dst_port = 443;
  const std::vector<std::uint8_t> syn = build_ipv4_tcp(fields);
  windivert::Address captured{};
  captured.Layer = windivert::LAYER_NETWORK;
  captured.Outbound = 1;
  captured.Network.IfIdx = 7;
  push(syn, captured);
  windivert::Address address{};
  ASSERT_TRUE(eventually([&] { return !sent(0, address).empty(); }, 30s));
  const std::vector<std::uint8_t> out = sent(0, address);
  const Wire wire = wire_of(Packet(out));
  EXPECT_EQ(wire.src, FAKE_SRC_IP);
  EXPECT_EQ(wire.dst, "127.0.0.1");
  EXPECT_EQ(wire.src_port, 50123);
  EXPECT_EQ(wire.dst_port, engine->relay_ports().at(0));
  // The stand-in's checksum helper only marks the address; WinDivert's own computes the sums.
  EXPECT_EQ(address.Outbound, 1u) << "both legs stay outbound";
  EXPECT_EQ(address.Network.IfIdx, 7u);

  const int closes_before = closes();
  engine->stop_engine();
  ASSERT_TRUE(recorder.wait_for_status_count(STATUS_STOPPED, 2, 30s));
  ASSERT_TRUE(eventually([&] { return !engine->is_thread_active(); }, 30s));
  EXPECT_GT(closes(), closes_before);
}

}  // namespace
}  // namespace tovix
