#include "engine/core/held_connections_watch.h"

#include <algorithm>
#include <unordered_set>

#include "common/logging.h"

namespace tovix {
namespace {

// A socket in these states sends nothing on its own.
bool may_send(const TcpConnection& connection) {
  return connection.state != "LISTEN" && connection.state != "TIME_WAIT";
}

}  // namespace

HeldConnectionsWatch::HeldConnectionsWatch(std::shared_ptr<ProcessQueries> queries, std::chrono::milliseconds period)
    : _queries(std::move(queries)), _period(period) {}

HeldConnectionsWatch::~HeldConnectionsWatch() {
  std::thread thread;
  {
    std::lock_guard guard(_lock);
    _stopping = true;
    thread = std::move(_thread);
  }
  _wake.notify_all();
  if (thread.joinable()) thread.join();
}

void HeldConnectionsWatch::add(std::unique_ptr<HeldConnections> held) {
  if (!held) return;
  std::thread finished;
  {
    std::lock_guard guard(_lock);
    if (held->held().empty()) return;
    _holds.push_back(std::move(held));
    if (_watching || _stopping) return;
    finished = std::move(_thread);  // a loop that ended when nothing was left
    _watching = true;
    _thread = std::thread([this] { _loop(); });
  }
  if (finished.joinable()) finished.join();
}

std::vector<TcpTuple> HeldConnectionsWatch::held() const {
  std::lock_guard guard(_lock);
  std::vector<TcpTuple> out;
  for (const auto& hold : _holds) {
    const auto tuples = hold->held();
    out.insert(out.end(), tuples.begin(), tuples.end());
  }
  return out;
}

void HeldConnectionsWatch::check_now() {
  std::unordered_set<std::uint16_t> in_use;
  try {
    for (const TcpConnection& connection : _queries->tcp_connections())
      if (connection.local && may_send(connection)) in_use.insert(connection.local->port);
  } catch (const std::exception& error) {
    get_logger(LOGGER_ENGINE)->debug("检查被拦截连接失败: {}", error.what());
    return;  // nothing is released on a failed look
  }
  std::lock_guard guard(_lock);
  for (const auto& hold : _holds) {
    std::vector<TcpTuple> gone;
    for (const TcpTuple& tuple : hold->held())
      if (in_use.count(tuple.local_port) == 0) gone.push_back(tuple);
    if (!gone.empty()) hold->release(gone);
  }
  std::erase_if(_holds, [](const auto& hold) { return hold->held().empty(); });
}

void HeldConnectionsWatch::_loop() {
  std::unique_lock lock(_lock);
  while (!_stopping && !_holds.empty()) {
    _wake.wait_for(lock, _period, [&] { return _stopping; });
    if (_stopping) break;
    lock.unlock();
    check_now();
    lock.lock();
  }
  _watching = false;
}

}  // namespace tovix
