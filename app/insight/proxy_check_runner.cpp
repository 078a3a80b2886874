#include "app/insight/proxy_check_runner.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace tovix::insight {

struct ProxyCheckRunner::State {
  Check check;
  std::size_t parallel = 1;

  mutable std::mutex lock;
  mutable std::condition_variable changed;
  std::deque<std::pair<std::string, nlohmann::ordered_json>> queue;
  std::set<std::string> pending;  // queued or running
  std::size_t workers = 0;

  // Separate from `lock`, so a `done` that submits again does not deadlock.
  std::mutex done_lock;
  Done done;

  static void work(const std::shared_ptr<State>& self) {
    for (;;) {
      std::pair<std::string, nlohmann::ordered_json> job;
      {
        std::lock_guard guard(self->lock);
        if (self->queue.empty()) {
          --self->workers;
          self->changed.notify_all();
          return;
        }
        job = std::move(self->queue.front());
        self->queue.pop_front();
      }
      ProxyCheckResult result;
      try {
        result = self->check(job.second);
      } catch (const std::exception& error) {
        result.error = error.what();
      } catch (...) {
        result.error = "unknown failure";
      }
      {
        std::lock_guard guard(self->done_lock);
        if (self->done) {
          try {
            self->done(job.first, result);
          } catch (...) {
            // A receiver's failure must not end the worker.
          }
        }
      }
      {
        std::lock_guard guard(self->lock);
        self->pending.erase(job.first);
      }
      self->changed.notify_all();
    }
  }
};

ProxyCheckRunner::ProxyCheckRunner(Check check, Done done, std::size_t parallel) : _state(std::make_shared<State>()) {
  _state->check = std::move(check);
  _state->done = std::move(done);
  _state->parallel = parallel == 0 ? 1 : parallel;
}

ProxyCheckRunner::~ProxyCheckRunner() {
  {
    std::lock_guard guard(_state->lock);
    for (const auto& [key, entry] : _state->queue) _state->pending.erase(key);
    _state->queue.clear();
  }
  std::lock_guard guard(_state->done_lock);
  _state->done = nullptr;
}

bool ProxyCheckRunner::submit(const std::string& key, nlohmann::ordered_json proxy_entry) {
  std::lock_guard guard(_state->lock);
  if (!_state->pending.insert(key).second) return false;
  _state->queue.emplace_back(key, std::move(proxy_entry));
  if (_state->workers < _state->parallel) {
    ++_state->workers;
    try {
      std::thread(State::work, _state).detach();
    } catch (...) {
      --_state->workers;
      _state->queue.pop_back();
      _state->pending.erase(key);
      throw;
    }
  }
  return true;
}

std::size_t ProxyCheckRunner::pending() const {
  std::lock_guard guard(_state->lock);
  return _state->pending.size();
}

bool ProxyCheckRunner::wait_until_idle(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_state->lock);
  return _state->changed.wait_for(lock, timeout, [&] { return _state->pending.empty() && _state->workers == 0; });
}

}  // namespace tovix::insight
