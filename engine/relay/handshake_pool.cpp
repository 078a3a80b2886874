#include "engine/relay/handshake_pool.h"

#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace tovix {

struct HandshakePool::Core {
  struct Upstream {
    std::deque<Job> queued;
    std::size_t running = 0;
  };

  Core(std::size_t max_threads, std::chrono::milliseconds idle_exit)
      : max_threads(std::max<std::size_t>(max_threads, 1)),
        per_upstream(std::max<std::size_t>(max_threads / 2, 1)),
        idle_exit(idle_exit) {}

  const std::size_t max_threads;
  const std::size_t per_upstream;
  const std::chrono::milliseconds idle_exit;

  mutable std::mutex lock;
  std::condition_variable work_ready;
  std::map<std::string, Upstream> upstreams;
  // Upstreams with queued jobs, in the order they are served (round robin).
  std::list<std::string> waiting;
  std::size_t threads = 0;
  std::size_t idle = 0;
  std::size_t queued = 0;
  bool closed = false;

  // The next job any thread may run, with its upstream's name; false when none may run now.
  bool take(Job& job, std::string& upstream) {
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
      Upstream& entry = upstreams[*it];
      if (entry.running >= per_upstream) continue;
      job = std::move(entry.queued.front());
      entry.queued.pop_front();
      --queued;
      ++entry.running;
      upstream = *it;
      waiting.erase(it);
      if (!entry.queued.empty()) waiting.push_back(upstream);
      return true;
    }
    return false;
  }

  void finished(const std::string& upstream) {
    auto it = upstreams.find(upstream);
    if (--it->second.running == 0 && it->second.queued.empty()) upstreams.erase(it);
  }

  static void run(const std::shared_ptr<Core>& self) {
    std::unique_lock guard(self->lock);
    for (;;) {
      Job job;
      std::string upstream;
      if (!self->closed && self->take(job, upstream)) {
        guard.unlock();
        try {
          job();
        } catch (...) {
          // A job reports its own failures; nothing may end the thread.
        }
        job = nullptr;  // what the job holds goes before the next wait
        guard.lock();
        self->finished(upstream);
        // A job of an upstream that was at its share may run now.
        if (self->queued > 0) self->work_ready.notify_one();
        continue;
      }
      if (self->closed) break;
      ++self->idle;
      const bool woken = self->work_ready.wait_for(guard, self->idle_exit) == std::cv_status::no_timeout;
      --self->idle;
      if (!woken && self->queued == 0) break;
    }
    --self->threads;
  }
};

HandshakePool::HandshakePool(std::size_t max_threads, std::chrono::milliseconds idle_exit)
    : _core(std::make_shared<Core>(max_threads, idle_exit)) {}

HandshakePool::~HandshakePool() { close(); }

bool HandshakePool::submit(const std::string& upstream, Job job) {
  std::unique_lock guard(_core->lock);
  if (_core->closed) return false;
  Core::Upstream& entry = _core->upstreams[upstream];
  entry.queued.push_back(std::move(job));
  if (entry.queued.size() == 1) _core->waiting.push_back(upstream);
  ++_core->queued;
  if (_core->idle > 0 || _core->threads >= _core->max_threads) {
    _core->work_ready.notify_one();
    return true;
  }
  ++_core->threads;
  try {
    // Detached, but it owns what it uses: it ends on its own once idle, closed, or done.
    std::thread(Core::run, _core).detach();
  } catch (...) {
    --_core->threads;
    if (_core->threads > 0) return true;  // a running thread will take the job
    Job unrun = std::move(entry.queued.back());
    entry.queued.pop_back();
    --_core->queued;
    if (entry.queued.empty()) {
      _core->waiting.remove(upstream);
      if (entry.running == 0) _core->upstreams.erase(upstream);
    }
    guard.unlock();
    throw;
  }
  return true;
}

void HandshakePool::close() {
  std::vector<Job> dropped;
  {
    std::lock_guard guard(_core->lock);
    _core->closed = true;
    for (auto& [name, entry] : _core->upstreams) {
      for (auto& job : entry.queued) dropped.push_back(std::move(job));
      entry.queued.clear();
    }
    _core->waiting.clear();
    _core->queued = 0;
  }
  _core->work_ready.notify_all();
  // Outside the lock: a job's captures may do anything when they go.
  dropped.clear();
}

std::size_t HandshakePool::threads() const {
  std::lock_guard guard(_core->lock);
  return _core->threads;
}

}  // namespace tovix
