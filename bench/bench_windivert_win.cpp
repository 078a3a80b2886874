// The whole packet loop on the WinDivert backend (receive, judge, rewrite, checksums, send) per
// packet, against the stand-in library under Wine: the engine carries the client segments of
// live diverted connections to their relay. Measured side by side in one run:
//   baseline: the stand-in without the batched calls, one packet per receive and per send
//             (what the backend did before it batched);
//   batched:  the stand-in with WinDivertRecvEx / WinDivertSendEx, up to 64 packets per call.
// Twice: the stand-in's calls as they are (no driver behind them), and with every library call
// waiting on a kernel object once, as the real library's DeviceIoControl enters the kernel once.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "bench/engine_loop.h"
#include "common/paths.h"
#include "engine/core/tunnel_engine.h"
#include "engine/divert/windivert_abi_win.h"
#include "engine/divert/windivert_diverter_win.h"

namespace {

using namespace tovix;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

constexpr int FLOWS = 1000;
constexpr std::uint32_t CLIENT = 0x0A000005;  // 10.0.0.5
constexpr std::uint32_t DEST = 0x5DB8D822;    // 93.184.216.34

std::vector<std::uint8_t> client_segment(std::uint16_t sport, std::uint8_t flags, std::size_t payload) {
  return bench::tcp_bytes(CLIENT, sport, DEST, 443, flags, payload);
}

// One stand-in library, loaded for its Stub* entry points.
class StandIn {
 public:
  explicit StandIn(std::filesystem::path path) : _path(std::move(path)), _module(LoadLibraryW(_path.c_str())) {
    if (_module == nullptr) throw std::runtime_error("stand-in library missing: " + _path.string());
  }
  ~StandIn() { FreeLibrary(_module); }
  const std::filesystem::path& path() const { return _path; }

  template <typename Fn>
  Fn stub(const char* name) const {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(_module, name)));
  }
  void push(const std::vector<std::uint8_t>& bytes) const {
    windivert::Address address{};
    address.Outbound = 1;
    stub<void (*)(const void*, UINT, const windivert::Address*)>("StubPush")(bytes.data(),
                                                                             static_cast<UINT>(bytes.size()), &address);
  }
  UINT64 sent() const { return stub<UINT64 (*)()>("StubSentCount")(); }
  UINT64 receive_calls() const { return stub<UINT64 (*)()>("StubReceiveCalls")(); }
  void wait_for_sent(UINT64 count) const {
    const auto deadline = Clock::now() + std::chrono::minutes(10);
    while (sent() < count) {
      if (Clock::now() > deadline) throw std::runtime_error("packets not sent in time");
      Sleep(1);
    }
  }

 private:
  std::filesystem::path _path;
  HMODULE _module;
};

struct Figure {
  double ns_per_packet;
  double packets_per_receive;
};

// Runs the engine on `library` and times `packets` client segments through its loop.
Figure measure(const StandIn& library, bool kernel_call, int packets) {
  library.stub<void (*)(BOOL)>("StubSetKernelCall")(kernel_call ? TRUE : FALSE);
  EngineOptions options;
  const std::filesystem::path path = library.path();
  options.diverter_factory = [path] { return std::make_unique<WinDivertDiverter>(path); };
  TunnelEngine engine(options);
  bench::start_engine_and_wait(engine);
  for (int i = 0; i < FLOWS; ++i) library.push(client_segment(static_cast<std::uint16_t>(50000 + i), 0x02, 0));
  library.wait_for_sent(FLOWS);
  std::vector<std::vector<std::uint8_t>> segments;
  for (int i = 0; i < FLOWS; ++i) segments.push_back(client_segment(static_cast<std::uint16_t>(50000 + i), 0x18, 100));

  const UINT64 receives_before = library.receive_calls();
  const auto start = Clock::now();
  for (int i = 0; i < packets; ++i) library.push(segments[static_cast<std::size_t>(i) % segments.size()]);
  library.wait_for_sent(static_cast<UINT64>(FLOWS + packets));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const UINT64 receives = library.receive_calls() - receives_before;
  engine.stop_engine();
  library.stub<void (*)()>("StubReset")();
  return {seconds * 1e9 / packets, static_cast<double>(packets) / static_cast<double>(receives)};
}

}  // namespace

int main() {
  const StandIn single(executable_dir() / "windivert_stub_single" / "WinDivert64.dll");
  const StandIn batched(executable_dir() / "windivert_stub" / "WinDivert64.dll");
  std::printf(
      "whole packet loop on the WinDivert backend, stand-in library, %d live connections, 100-byte "
      "segments to the relay\n",
      FLOWS);
  for (const bool kernel_call : {false, true}) {
    const int packets = kernel_call ? 50'000 : 200'000;
    const Figure before = measure(single, kernel_call, packets);
    const Figure after = measure(batched, kernel_call, packets);
    std::printf("%s\n", kernel_call ? "each library call enters the kernel once (an event wait)"
                                    : "library calls without a kernel entry");
    std::printf("  baseline, one packet per call  %9.0f ns/packet  %6.1f packets/receive\n", before.ns_per_packet,
                before.packets_per_receive);
    std::printf("  batched, up to 64 per call     %9.0f ns/packet  %6.1f packets/receive   ratio %.2f\n",
                after.ns_per_packet, after.packets_per_receive, before.ns_per_packet / after.ns_per_packet);
  }
  return 0;
}
