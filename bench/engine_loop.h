#pragma once
// What the benchmarks of the engine's packet loop share: a client's TCP segment, and an engine
// started with one relay (towards a proxy nobody needs to reach) whose loop runs.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/tunnel_engine.h"
#include "engine/divert/checksum.h"

namespace tovix::bench {

// An IPv4 TCP segment with `payload` zero bytes and checksums left at zero.
inline std::vector<std::uint8_t> tcp_bytes(std::uint32_t src, std::uint16_t sport, std::uint32_t dst,
                                           std::uint16_t dport, std::uint8_t flags, std::size_t payload = 0) {
  std::vector<std::uint8_t> b(40 + payload, 0);
  b[0] = 0x45;
  wire::store16(b, 2, static_cast<std::uint16_t>(b.size()));
  b[8] = 64;
  b[9] = 6;
  wire::store32(b, 12, src);
  wire::store32(b, 16, dst);
  wire::store16(b, 20, sport);
  wire::store16(b, 22, dport);
  b[32] = 0x50;
  b[33] = flags;
  wire::store16(b, 34, 65535);
  return b;
}

// A packet as the Linux diverter hands it over: the kernel's checksums in place and vouched for.
inline Packet captured(std::vector<std::uint8_t> bytes) {
  Packet packet(std::move(bytes));
  compute_checksums(packet);
  return packet;
}

// Starts `engine` and waits until its packet loop runs.
inline void start_engine_and_wait(TunnelEngine& engine) {
  // Owned by the callback, which the engine may still call after this function has returned.
  struct Started {
    std::mutex lock;
    std::condition_variable changed;
    bool started = false;
  };
  const auto state = std::make_shared<Started>();
  engine.set_status_callback([state](const std::string& text) {
    if (text.rfind(STATUS_STARTED_PREFIX, 0) != 0) return;
    std::lock_guard guard(state->lock);
    state->started = true;
    state->changed.notify_all();
  });
  using Json = nlohmann::ordered_json;
  engine.start_engine(Json{{"proxy_list", Json::array({Json{{"host", "127.0.0.1"}, {"port", 1}}})}});
  std::unique_lock guard(state->lock);
  state->changed.wait(guard, [&] { return state->started; });
}

}  // namespace tovix::bench
