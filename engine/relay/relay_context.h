#pragma once
// What one relay's public face, its event loop and its handshake jobs share. A handshake may
// outlive the relay's stop (it ends with its time-out), so all of it is held by shared pointer.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include <spdlog/logger.h>
#include <nlohmann/json.hpp>

#include "engine/relay/nat_table.h"
#include "engine/relay/proxy_settings.h"
#include "engine/relay/relay_hub.h"
#include "engine/relay/upstream_choice.h"

namespace tovix {

// Connections that are not finished yet: counted from accept until neither the event loop nor a
// handshake job holds them any more.
class LiveCount {
 public:
  void add();
  void drop();
  std::size_t value() const;
  // True when the count reached 0 within `timeout`.
  bool wait_for_none(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex _lock;
  mutable std::condition_variable _changed;
  std::size_t _count = 0;
};

// One connection's share of LiveCount, held by the connection and by its handshake job.
class LiveToken {
 public:
  explicit LiveToken(std::shared_ptr<LiveCount> count) : _count(std::move(count)) { _count->add(); }
  ~LiveToken() { _count->drop(); }
  LiveToken(const LiveToken&) = delete;
  LiveToken& operator=(const LiveToken&) = delete;

 private:
  std::shared_ptr<LiveCount> _count;
};

struct RelayContext {
  RelayContext(std::shared_ptr<NatTable> nat_table, nlohmann::ordered_json proxy_config, HandlerFactory handler_factory,
               UpstreamObserver upstream_observer, RelayOptions options);

  nlohmann::ordered_json proxy_config() const;
  void set_proxy_config(nlohmann::ordered_json proxy_config);
  void add_traffic(std::uint64_t upload, std::uint64_t download);
  std::pair<std::uint64_t, std::uint64_t> traffic() const;
  // Tells the observer how a tunnel through `proxy` turned out; `failure` is null on success.
  void report_upstream(const ProxySettings& proxy, const std::exception* failure) const;

  const std::shared_ptr<NatTable> nat_table;
  const HandlerFactory handler_factory;
  const UpstreamObserver upstream_observer;
  const RelayOptions options;
  const std::shared_ptr<LiveCount> live = std::make_shared<LiveCount>();
  const std::shared_ptr<spdlog::logger> log;

 private:
  mutable std::mutex _config_lock;
  nlohmann::ordered_json _proxy_config;
  mutable std::mutex _traffic_lock;  // both counters change and are read together
  std::uint64_t _upload_bytes = 0;
  std::uint64_t _download_bytes = 0;
};

}  // namespace tovix
