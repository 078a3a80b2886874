// Ending a run without letting a diverted connection out (the relays' resets go to their
// applications while diversion still runs), and the housekeeping of a run: the NAT clean-up and
// the retirement of relays a hot update replaced.
#include <set>

#include <spdlog/spdlog.h>

#include "common/logging.h"
#include "engine/core/flow_table.h"
#include "engine/core/held_connections_watch.h"
#include "engine/core/housekeeping.h"
#include "engine/core/relay_pool.h"
#include "engine/core/tunnel_engine.h"

namespace tovix {
namespace {

using Clock = std::chrono::steady_clock;

// The ports of stopped relays that no relay of `view` listens on. The diverter may have set up
// a way to each relay (a redirect rule per port) that would otherwise pile up over many hot
// updates; a port a running relay has taken again keeps its way.
std::set<int> ports_let_go(const RelayView& view, const std::vector<std::shared_ptr<const RelayGeneration>>& stopped) {
  std::set<int> ports;
  for (const auto& generation : stopped) ports.insert(generation->ports.begin(), generation->ports.end());
  const auto keep = [&ports](const RelayGeneration& generation) {
    for (int port : generation.ports) ports.erase(port);
  };
  if (view.current) keep(*view.current);
  for (const auto& generation : view.retiring) keep(*generation);
  return ports;
}

}  // namespace

void TunnelEngine::stop_engine() {
  std::unique_lock stop_guard(_stop_lock);
  _running = false;
  _housekeeping->stop();
  _pool->stop_rechecks();
  bool diverting = false;
  {
    std::lock_guard guard(_diverter_lock);
    diverting = _diverter != nullptr;
  }
  _reset_diverted_connections(diverting);
  _stop_relays_and_clear();
  _proc_watch->stop_tcp_port_monitor();
  // Wake the packet loop's receive.
  {
    std::lock_guard guard(_diverter_lock);
    _stop_requested = true;
    if (_diverter) _diverter->shutdown();
  }
  stop_guard.unlock();
  _emit_status(STATUS_STOPPED);
}

// An application whose connection merely ended in order could still send on it, and once
// diversion is gone those segments would leave with the user's own address towards the
// destination it believes it talks to. A reset tears its socket down; the loop translates the
// resets back while the wait below lasts.
void TunnelEngine::_reset_diverted_connections(bool diverting) {
  const std::vector<std::shared_ptr<RelayHub>> hubs = _relays->running_hubs();
  if (diverting) _flows->expect_resets();
  for (const auto& hub : hubs) {
    try {
      hub->abort();
    } catch (...) {
    }
  }
  if (!diverting) return;
  const auto deadline = Clock::now() + _options.stop_drain;
  if (!_flows->wait_for_resets(deadline))
    engine_log()->warn("停止时仍有 {} 个连接未确认收到重置", _flows->awaiting_resets());
  for (const auto& hub : hubs) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    hub->wait_until_idle(left);
  }
}

void TunnelEngine::_stop_relays_and_clear() {
  _flows->end_all();
  // The relays' last bytes are counted before they leave the view, and kept on disk.
  _count_usage();
  _relays->close();
  _pool->save_usage();
}

void TunnelEngine::_count_usage() {
  if (!_pool->counts_usage()) return;
  const std::shared_ptr<const RelayView> view = _relays->view();
  std::vector<pool::RelayTotals> totals;
  auto add = [&](const RelayGeneration& generation) {
    for (const RelaySlot& slot : generation.slots) {
      if (!slot.hub) continue;
      pool::RelayTotals relay{reinterpret_cast<std::uintptr_t>(slot.hub.get()), pool::identity_of(slot.proxy)};
      std::tie(relay.bytes_up, relay.bytes_down) = slot.hub->get_traffic();
      totals.push_back(std::move(relay));
    }
  };
  if (view->current) add(*view->current);
  for (const auto& generation : view->retiring) add(*generation);
  _pool->count_usage(totals);
}

void TunnelEngine::_release_run() {
  std::lock_guard guard(_stop_lock);
  _housekeeping->stop();
  _pool->stop_rechecks();
  _stop_relays_and_clear();
  _proc_watch->stop_tcp_port_monitor();
}

// Runs on the packet thread as the diversion closes. A connection whose application has not
// shown that its socket is gone (it took or sent a reset) could send on: it stays held, so not
// one of its packets leaves with the user's own address, until its socket is gone.
void TunnelEngine::_hold_unconfirmed(PacketDiverter& w) {
  const std::vector<FlowKey> unconfirmed = _flows->unconfirmed();
  if (unconfirmed.empty()) return;
  try {
    _held->add(w.hold_after_close(unconfirmed));
  } catch (const std::exception& error) {
    engine_log()->error("停止后无法拦截 {} 个已分流连接: {}", unconfirmed.size(), error.what());
  }
}

bool TunnelEngine::_cleanup_nat_table() {
  if (!_running) return false;
  // Client ports the relays carry right now: their entries stay whatever their age.
  std::unordered_set<int> carried;
  for (const auto& hub : _relays->running_hubs())
    for (int port : hub->client_ports()) carried.insert(port);
  const std::size_t removed = _flows->clean_up(_options.stale_after_seconds, _options.ended_memory_seconds, carried);
  if (removed > 0) engine_log()->debug("清理过期 NAT 记录 {} 条", removed);
  return _running.load();
}

void TunnelEngine::_reap_retired_relays() {
  std::lock_guard reap_guard(_reap_lock);
  const std::shared_ptr<const RelayView> view = _relays->view();
  std::vector<std::shared_ptr<const RelayGeneration>> done;
  for (const auto& generation : view->retiring) {
    if (_flows->uses(generation)) continue;
    bool idle = true;
    for (const auto& slot : generation->slots)
      if (slot.hub && slot.hub->live_connections() > 0) idle = false;
    if (idle) done.push_back(generation);
  }
  if (done.empty()) return;
  _count_usage();  // their last bytes, before they leave the view
  _relays->retire(done);
  _flows->detach(done);
  {
    std::lock_guard guard(_diverter_lock);
    if (_diverter)
      for (int port : ports_let_go(*_relays->view(), done)) _diverter->release_relay(port);
  }
  engine_log()->info("旧中继已无连接，已停止 {} 组", done.size());
}

}  // namespace tovix
