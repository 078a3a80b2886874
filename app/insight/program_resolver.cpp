#include "app/insight/program_resolver.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <unordered_map>

#include "common/logging.h"
#include "engine/process/proc_watch.h"

namespace tovix::insight {
namespace {

bool is_tracked_state(const std::string& state) {
  return std::any_of(std::begin(TRACKED_TCP_STATES), std::end(TRACKED_TCP_STATES),
                     [&](const char* tracked) { return state == tracked; });
}

// Owner of each local port as the port monitor reads the table: listeners and sockets without
// an owner are left out, and the first one listed wins.
std::unordered_map<int, std::uint32_t> port_owners(const std::vector<TcpConnection>& connections) {
  std::unordered_map<int, std::uint32_t> owners;
  for (const TcpConnection& connection : connections) {
    if (!connection.local || connection.pid == 0 || !is_tracked_state(connection.state)) continue;
    owners.try_emplace(connection.local->port, connection.pid);
  }
  return owners;
}

}  // namespace

ProgramResolver::ProgramResolver(std::shared_ptr<ProcessQueries> queries)
    : _queries(std::move(queries)), _thread([this] { _run(); }) {}

ProgramResolver::~ProgramResolver() {
  {
    std::lock_guard guard(_lock);
    _stopping = true;
  }
  _wake.notify_all();
  _thread.join();
}

void ProgramResolver::fill_in(std::vector<ConnectionSample>& live) {
  bool asked = false;
  {
    std::lock_guard guard(_lock);
    std::set<ConnectionKey> seen;
    for (ConnectionSample& sample : live) {
      const ConnectionKey key = key_of(sample);
      seen.insert(key);  // also when named: the name may be the one given here last time
      // The machine's TCP table cannot name a UDP socket's owner.
      if (!sample.program.empty() || (sample.udp && sample.pid == 0)) continue;
      Entry& entry =
          _entries.try_emplace(key, Entry{sample.client_port, sample.pid, 0, false, std::nullopt}).first->second;
      if (entry.owner) {
        if (sample.pid == 0) sample.pid = entry.owner->pid;
        if (entry.owner->program) sample.program = *entry.owner->program;
        continue;
      }
      if (entry.queued || entry.tries >= MAX_TRIES) continue;
      entry.queued = true;
      _queue.push_back({key, entry.client_port, entry.known_pid});
      asked = true;
    }
    std::erase_if(_entries, [&](const auto& item) { return !item.second.queued && !seen.contains(item.first); });
  }
  if (asked) _wake.notify_one();
}

bool ProgramResolver::wait_idle(std::chrono::milliseconds timeout) {
  std::unique_lock guard(_lock);
  return _idle.wait_for(guard, timeout, [this] { return _queue.empty() && !_busy; });
}

void ProgramResolver::_run() {
  std::unique_lock guard(_lock);
  while (true) {
    _wake.wait(guard, [this] { return _stopping || !_queue.empty(); });
    if (_stopping) return;
    std::vector<Request> batch;
    batch.swap(_queue);
    _busy = true;
    guard.unlock();
    auto found = _look_up(batch);
    guard.lock();
    for (const Request& request : batch) {
      auto entry = _entries.find(request.key);
      if (entry == _entries.end()) continue;
      entry->second.queued = false;
      ++entry->second.tries;
      entry->second.owner = std::move(found[request.key]);
    }
    _busy = false;
    if (_queue.empty()) _idle.notify_all();
  }
}

std::map<ConnectionKey, std::optional<ProgramResolver::Owner>> ProgramResolver::_look_up(
    const std::vector<Request>& batch) {
  std::map<ConnectionKey, std::optional<Owner>> found;
  // One walk of the table serves every connection of the batch.
  std::optional<std::unordered_map<int, std::uint32_t>> owners;
  const bool need_table = std::any_of(batch.begin(), batch.end(), [](const Request& r) { return r.known_pid == 0; });
  if (need_table) {
    try {
      owners = port_owners(_queries->tcp_connections());
    } catch (const std::exception& error) {
      get_logger(LOGGER_ENGINE)->debug("查询连接所属程序失败: {}", error.what());
    }
  }
  std::unordered_map<std::uint32_t, std::optional<std::string>> names;
  for (const Request& request : batch) {
    std::uint32_t pid = request.known_pid;
    if (pid == 0 && owners) {
      auto owner = owners->find(request.client_port);
      if (owner != owners->end()) pid = owner->second;
    }
    if (pid == 0) continue;
    auto name = names.find(pid);
    if (name == names.end()) {
      std::optional<std::string> image;
      try {
        image = _queries->image_name(pid);
      } catch (const std::exception& error) {
        get_logger(LOGGER_ENGINE)->debug("查询连接所属程序失败: {}", error.what());
      }
      name = names.emplace(pid, std::move(image)).first;
    }
    found[request.key] = Owner{pid, name->second};
  }
  return found;
}

}  // namespace tovix::insight
