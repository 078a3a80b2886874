// Packets per second through TunnelEngine::_handle_packet on one core, for the redirect path
// (a client segment of a live diverted connection to its relay), the relay-reply path (back
// to the client as from its destination) and two pass paths, with a diverter that only
// computes checksums and discards; then through the whole packet loop with FakeDiverter.
// Baseline, measured in the same run: the work every handled packet needs anyway, checksums
// recalculated and one send into the same diverter.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/engine_loop.h"
#include "engine/core/tunnel_engine.h"
#include "engine/divert/checksum.h"
#include "engine/divert/fake_diverter.h"
#include "tests/engine/core/tunnel_engine_probe.h"

namespace {

using namespace tovix;
using bench::tcp_bytes;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

constexpr int FLOWS = 1000;         // live diverted connections in the table
constexpr int BATCH = 4096;         // packets rewritten in place, restored between batches
constexpr int PACKETS = 4'000'000;  // per path
constexpr int LOOP_PACKETS = 1'000'000;
constexpr std::uint32_t CLIENT = 0x0A000005;  // 10.0.0.5
constexpr std::uint32_t DEST = 0x5DB8D822;    // 93.184.216.34
constexpr std::uint16_t RELAY_PORT = 40001;

// Computes checksums like the Linux backend and the fake, and counts what it is given.
class NullDiverter final : public PacketDiverter {
 public:
  std::size_t sent = 0;
  void register_driver() override {}
  void open(const std::string&) override {}
  void set_param(DivertParam, std::uint64_t) override {}
  std::optional<Packet> recv() override { return std::nullopt; }
  void send(const Packet&) override { ++sent; }
  void recalculate_checksums(Packet& packet) override { compute_checksums(packet); }
  void shutdown() noexcept override {}
  void close() noexcept override {}
  bool is_open() const noexcept override { return true; }
  std::unique_ptr<HeldConnections> hold_after_close(const std::vector<TcpTuple>&) override { return nullptr; }
};

// Handles `total` packets cycling through `templates`; returns packets per second.
template <typename Handle>
double packets_per_second(const std::vector<std::vector<std::uint8_t>>& templates, Handle&& handle) {
  std::vector<Packet> batch;
  batch.reserve(BATCH);
  for (int i = 0; i < BATCH; ++i)
    batch.push_back(bench::captured(templates[static_cast<std::size_t>(i) % templates.size()]));
  double seconds = 0;
  for (int done = 0; done < PACKETS; done += BATCH) {
    for (int i = 0; i < BATCH; ++i) {
      const auto& t = templates[static_cast<std::size_t>(i) % templates.size()];
      std::memcpy(batch[static_cast<std::size_t>(i)].mutable_bytes().data(), t.data(), t.size());
    }
    const auto start = Clock::now();
    for (auto& packet : batch) handle(packet);
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  return PACKETS / seconds;
}

std::vector<std::uint8_t> checksummed(std::vector<std::uint8_t> bytes) {
  Packet packet = bench::captured(std::move(bytes));
  return {packet.bytes().begin(), packet.bytes().end()};
}

void print(const char* what, double pps, double baseline, const char* target) {
  std::printf("%-34s %12.0f packets/s   baseline %12.0f   ratio %.2f%s%s\n", what, pps, baseline, pps / baseline,
              target[0] ? "   target " : "", target);
}

}  // namespace

int main() {
  // ---- _handle_packet alone
  EngineOptions options;
  options.diverter_factory = [] { return std::make_unique<NullDiverter>(); };
  TunnelEngine engine(options);
  tovix::testing::inspect(engine).install({{nullptr, RELAY_PORT, Json{{"host", "198.51.100.1"}, {"port", 1080}}}},
                                          {"203.0.113.9"}, {"198.51.100.1"}, tovix::pool::SpreadMode::first_available);
  NullDiverter w;
  tovix::testing::TunnelEngineProbe probe(engine);
  for (int i = 0; i < FLOWS; ++i) {
    Packet syn(tcp_bytes(CLIENT, static_cast<std::uint16_t>(50000 + i), DEST, 443, 0x02));
    probe.handle_packet(syn, w);
  }
  std::vector<std::vector<std::uint8_t>> redirect, reply, pass_loopback, pass_other;
  for (int i = 0; i < FLOWS; ++i) {
    const auto port = static_cast<std::uint16_t>(50000 + i);
    redirect.push_back(checksummed(tcp_bytes(CLIENT, port, DEST, 443, 0x18, 100)));
    reply.push_back(checksummed(tcp_bytes(0x7F000001, RELAY_PORT, 0x7F000002, port, 0x18, 100)));
    pass_loopback.push_back(
        checksummed(tcp_bytes(0x7F000001, static_cast<std::uint16_t>(30000 + i), 0x7F000001, 8080, 0x18, 100)));
    pass_other.push_back(
        checksummed(tcp_bytes(CLIENT, static_cast<std::uint16_t>(60000 + i % 5000), 0xCB007109, 443, 0x18, 100)));
  }
  const double baseline = packets_per_second(redirect, [&](Packet& p) {
    w.recalculate_checksums(p);
    w.send(p);
  });
  std::printf("FLOWS=%d live connections; payload 100 bytes; baseline = checksums + one send\n", FLOWS);
  const double redirect_pps = packets_per_second(redirect, [&](Packet& p) { probe.handle_packet(p, w); });
  print("redirect (client -> relay)", redirect_pps, baseline, ">= 1000000 packets/s");
  print("relay reply (relay -> client)", packets_per_second(reply, [&](Packet& p) { probe.handle_packet(p, w); }),
        baseline, "");
  print("pass (loopback, not a relay)",
        packets_per_second(pass_loopback, [&](Packet& p) { probe.handle_packet(p, w); }), baseline, "");
  print("pass (API host)", packets_per_second(pass_other, [&](Packet& p) { probe.handle_packet(p, w); }), baseline, "");

  // ---- the whole packet loop with FakeDiverter (receive, handle, send recorded)
  auto fake = std::make_shared<FakeDiverter>();
  struct Forward final : PacketDiverter {
    std::shared_ptr<FakeDiverter> f;
    explicit Forward(std::shared_ptr<FakeDiverter> fd) : f(std::move(fd)) {}
    void register_driver() override { f->register_driver(); }
    void open(const std::string& filter) override { f->open(filter); }
    void set_param(DivertParam p, std::uint64_t v) override { f->set_param(p, v); }
    std::optional<Packet> recv() override { return f->recv(); }
    void send(const Packet& packet) override { f->send(packet); }
    void recalculate_checksums(Packet& packet) override { f->recalculate_checksums(packet); }
    void shutdown() noexcept override { f->shutdown(); }
    void close() noexcept override { f->close(); }
    bool is_open() const noexcept override { return f->is_open(); }
    std::unique_ptr<HeldConnections> hold_after_close(const std::vector<TcpTuple>& c) override {
      return f->hold_after_close(c);
    }
  };
  EngineOptions loop_options;
  loop_options.diverter_factory = [fake] { return std::make_unique<Forward>(fake); };
  TunnelEngine loop_engine(loop_options);
  bench::start_engine_and_wait(loop_engine);
  fake->wait_until_idle(std::chrono::seconds(30));
  const auto relay_port = static_cast<std::uint16_t>(loop_engine.relay_ports().at(0));
  (void)relay_port;
  // The capture names the program, as on Windows: no look-up of the port's owner per SYN.
  CaptureInfo opening;
  opening.process_id = 4242;
  for (int i = 0; i < FLOWS; ++i)
    fake->push(Packet(tcp_bytes(CLIENT, static_cast<std::uint16_t>(50000 + i), DEST, 443, 0x02), opening));
  fake->wait_for_sent(FLOWS, std::chrono::seconds(60));
  // Built before the clock starts: making packets is the capture's work, not the loop's.
  CaptureInfo checked;  // the templates carry their checksums already
  checked.ip_checksum_valid = checked.tcp_checksum_valid = true;
  std::vector<Packet> packets;
  packets.reserve(LOOP_PACKETS);
  for (int i = 0; i < LOOP_PACKETS; ++i)
    packets.emplace_back(redirect[static_cast<std::size_t>(i) % redirect.size()], checked);
  const auto start = Clock::now();
  fake->push_all(std::move(packets));
  fake->wait_for_sent(FLOWS + LOOP_PACKETS, std::chrono::seconds(300));
  const double loop_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  loop_engine.stop_engine();
  // The fake's own cost (handing out, copying every sent packet into its record) is part of
  // this figure.
  print("whole loop, FakeDiverter, redirect", LOOP_PACKETS / loop_seconds, baseline, "");
  return 0;
}
