#pragma once
// The engine's relays: the generation new connections go to, the generations a hot update
// replaced that still carry connections (retiring), and the traffic totals of a run, which
// never go back while it lasts because the counts of stopped relays are kept.
//
// Thread-safe. The packet thread reads the view (replaced whole, never edited); the owner's
// thread starts, replaces and closes; the housekeeping thread retires.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/core/engine_snapshot.h"
#include "engine/core/tunnel_core_export.h"
#include "engine/relay/relay_hub.h"

namespace tovix {

struct RelaySlot {
  std::shared_ptr<RelayHub> hub;  // may be null where only the packet path is exercised
  int port = 0;
  nlohmann::ordered_json proxy;  // the ProxyEntry it carries connections through
};

// One relay list, as a start or a hot update made it. Immutable once made.
struct TUNNEL_CORE_EXPORT RelayGeneration {
  std::vector<RelaySlot> slots;
  std::vector<int> ports;  // slots[i].port

  static std::shared_ptr<const RelayGeneration> of(std::vector<RelaySlot> slots);
  // Throws std::out_of_range for an index outside the list.
  int port_of(int relay_index) const;
};

// What each packet reads.
struct RelayView {
  std::shared_ptr<const RelayGeneration> current;
  std::vector<std::shared_ptr<const RelayGeneration>> retiring;
  std::unordered_set<std::uint16_t> reply_ports;  // of current and retiring relays
};

class TUNNEL_CORE_EXPORT RelayPool {
 public:
  // Tells of each relay started: its position, ProxyEntry and port.
  using Announce = std::function<void(std::size_t index, const nlohmann::ordered_json& entry, int port)>;

  // Makes the observer of the relay of one ProxyEntry (its outcomes are that proxy's).
  using ObserverFactory = std::function<UpstreamObserver(const nlohmann::ordered_json& entry)>;

  // `options` go to every relay the pool starts.
  RelayPool(std::shared_ptr<NatTable> nat_table, HandlerFactory handlers, ObserverFactory observers,
            RelayOptions options = {});
  ~RelayPool();  // stops every relay
  RelayPool(const RelayPool&) = delete;
  RelayPool& operator=(const RelayPool&) = delete;

  // A new run: totals from zero, relays may be started.
  void open();
  // Starts one relay per ProxyEntry on 127.0.0.1 (system-chosen ports). When one fails to start,
  // those started before it are stopped and the error is thrown. Returns null when close() came
  // meanwhile (what was started is stopped then too).
  std::shared_ptr<const RelayGeneration> start_generation(const nlohmann::ordered_json& proxy_list,
                                                          const Announce& announce);
  // The generation of a start becomes the current one. False (its relays stopped) after close().
  bool install(std::shared_ptr<const RelayGeneration> generation);
  // A hot update's generation becomes the current one; the previous current one retires.
  bool replace(std::shared_ptr<const RelayGeneration> generation);
  // Stops retiring generations that carry nothing any more and drops them; their counts stay.
  void retire(const std::vector<std::shared_ptr<const RelayGeneration>>& done);
  // Stops every relay, current, retiring or still starting; their counts stay until open().
  void close();

  std::shared_ptr<const RelayView> view() const;
  // Every relay that is running: current, retiring and starting ones.
  std::vector<std::shared_ptr<RelayHub>> running_hubs() const;
  // (up, down) of this run: stopped relays' counts and the running relays' own.
  std::pair<std::uint64_t, std::uint64_t> traffic() const;
  std::vector<RelayTraffic> relay_traffic() const;

 private:
  void _publish(std::shared_ptr<const RelayGeneration> current,
                std::vector<std::shared_ptr<const RelayGeneration>> retiring);
  void _stop_claimed(const std::vector<std::shared_ptr<const RelayGeneration>>& claimed);

  const std::shared_ptr<NatTable> _nat_table;
  const HandlerFactory _handlers;
  const ObserverFactory _observers;
  const RelayOptions _options;

  mutable std::mutex _lock;
  std::shared_ptr<const RelayView> _view;
  std::vector<std::shared_ptr<RelayHub>> _starting;
  std::vector<std::shared_ptr<const RelayGeneration>> _stopping;  // out of the view, being stopped
  bool _closed = true;
  std::uint64_t _stopped_up = 0;
  std::uint64_t _stopped_down = 0;
};

}  // namespace tovix
