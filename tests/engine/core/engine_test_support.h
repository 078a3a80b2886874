#pragma once
// Shared pieces of the engine tests: packets built byte by byte, a diverter source that makes
// one FakeDiverter per run and keeps it for inspection, a recorder of the engine's status and
// error texts, and a settable clock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/tunnel_engine.h"
#include "engine/divert/fake_diverter.h"
#include "tests/engine/divert/packet_builder.h"

namespace tovix::testing {

inline constexpr std::uint8_t FIN = 0x01;
inline constexpr std::uint8_t SYN = 0x02;
inline constexpr std::uint8_t RST = 0x04;
inline constexpr std::uint8_t PSH = 0x08;
inline constexpr std::uint8_t ACK = 0x10;

// An IPv4/TCP packet built byte by byte, as captured (outbound, with the given process id).
Packet tcp_packet(const std::string& src, int src_port, const std::string& dst, int dst_port, std::uint8_t flags,
                  const std::string& payload = {}, std::uint32_t pid = 0);

// The same without payload, with its sequence and acknowledgement numbers.
Packet tcp_packet_numbered(const std::string& src, int src_port, const std::string& dst, int dst_port,
                           std::uint8_t flags, std::uint32_t seq, std::uint32_t ack);

// What a sent packet carries, read from its bytes with the builder's offsets.
struct Wire {
  std::string src;
  int src_port = 0;
  std::string dst;
  int dst_port = 0;
  std::uint8_t flags = 0;
  std::uint32_t seq = 0;
  std::uint32_t ack = 0;
  std::string payload;
  bool checksums_right = false;
  bool outbound = true;
};
Wire wire_of(const Packet& packet);

// Forwards every call to a shared FakeDiverter, so a test keeps the fake after a run is over.
class SharedDiverter final : public PacketDiverter {
 public:
  explicit SharedDiverter(std::shared_ptr<FakeDiverter> fake) : _fake(std::move(fake)) {}
  void register_driver() override { _fake->register_driver(); }
  void open(const std::string& filter) override { _fake->open(filter); }
  void set_param(DivertParam param, std::uint64_t value) override { _fake->set_param(param, value); }
  std::optional<Packet> recv() override { return _fake->recv(); }
  void send(const Packet& packet) override { _fake->send(packet); }
  void recalculate_checksums(Packet& packet) override { _fake->recalculate_checksums(packet); }
  void release_relay(int relay_port) noexcept override { _fake->release_relay(relay_port); }
  void shutdown() noexcept override { _fake->shutdown(); }
  void close() noexcept override { _fake->close(); }
  bool is_open() const noexcept override { return _fake->is_open(); }
  std::unique_ptr<HeldConnections> hold_after_close(const std::vector<TcpTuple>& connections) override {
    return _fake->hold_after_close(connections);
  }

 private:
  std::shared_ptr<FakeDiverter> _fake;
};

// Makes one FakeDiverter per run; `prepare` scripts each before the engine uses it.
class DiverterSource {
 public:
  std::function<void(FakeDiverter&)> prepare;
  DiverterFactory factory();
  std::size_t made() const;
  // The diverter of run `index` (0 = the first), once the engine made it.
  std::shared_ptr<FakeDiverter> wait_for(std::size_t index,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

 private:
  mutable std::mutex _lock;
  std::condition_variable _changed;
  std::vector<std::shared_ptr<FakeDiverter>> _made;
};

// Collects status and error texts in the order they came.
class TextRecorder {
 public:
  void attach(TunnelEngine& engine);
  std::vector<std::string> statuses() const;
  std::vector<std::string> errors() const;
  // Every text, each prefixed "status: " or "error: ".
  std::vector<std::string> all() const;
  bool wait_for_status_count(const std::string& text, std::size_t count,
                             std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  bool wait_for_status_prefix(const std::string& prefix,
                              std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  std::size_t count_status(const std::string& text) const;

 private:
  mutable std::mutex _lock;
  mutable std::condition_variable _changed;
  std::vector<std::string> _statuses, _errors, _all;
};

// A wall clock the test moves by hand.
class ManualClock {
 public:
  explicit ManualClock(double start = 1'000'000.0) : _now(start) {}
  double now() const { return _now.load(); }
  void set(double now) { _now = now; }
  void advance(double seconds) { _now = _now.load() + seconds; }
  EngineClock clock() {
    return [this] { return now(); };
  }

 private:
  std::atomic<double> _now;
};

}  // namespace tovix::testing
