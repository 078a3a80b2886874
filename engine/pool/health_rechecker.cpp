#include "engine/pool/health_rechecker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace tovix::pool {

struct HealthRechecker::State {
  std::shared_ptr<ProxyHealth> health;
  HandshakeCheck check;
  std::chrono::milliseconds tick{};
  std::size_t parallel = 1;

  mutable std::mutex lock;
  mutable std::condition_variable changed;
  TestDestination destination;
  bool looping = false;
  std::deque<nlohmann::ordered_json> queue;
  std::set<std::string> pending;  // identity keys queued or running
  std::size_t workers = 0;

  // Called with `lock` held.
  void start_workers(const std::shared_ptr<State>& self) {
    while (workers < parallel && workers < queue.size()) {
      ++workers;
      try {
        std::thread(work, self).detach();
      } catch (...) {
        --workers;  // no thread to be had now: the next tick tries again
        return;
      }
    }
  }

  static void work(const std::shared_ptr<State>& self) {
    std::unique_lock guard(self->lock);
    while (!self->queue.empty()) {
      nlohmann::ordered_json entry = std::move(self->queue.front());
      self->queue.pop_front();
      const TestDestination destination = self->destination;
      guard.unlock();
      HandshakeCheckResult result;
      try {
        result = self->check(entry, destination);
      } catch (const std::exception& error) {
        result = {false, error.what()};
      } catch (...) {
        result = {false, "unknown failure"};
      }
      const ProxyIdentity proxy = identity_of(entry);
      self->health->record_recheck(proxy, result.succeeded, result.error);
      guard.lock();
      self->pending.erase(proxy.key());
    }
    --self->workers;
    self->changed.notify_all();
  }

  static void loop(const std::shared_ptr<State>& self) {
    std::unique_lock guard(self->lock);
    while (self->looping) {
      guard.unlock();
      queue_due(self);
      guard.lock();
      self->changed.wait_for(guard, self->tick, [&] { return !self->looping; });
    }
  }

  static std::size_t queue_due(const std::shared_ptr<State>& self) {
    std::vector<nlohmann::ordered_json> due = self->health->due_for_recheck();
    std::lock_guard guard(self->lock);
    std::size_t queued = 0;
    for (auto& entry : due) {
      if (!self->pending.insert(identity_of(entry).key()).second) continue;
      self->queue.push_back(std::move(entry));
      ++queued;
    }
    self->start_workers(self);
    return queued;
  }
};

HealthRechecker::HealthRechecker(std::shared_ptr<ProxyHealth> health, TestDestination destination, HandshakeCheck check,
                                 std::chrono::milliseconds tick, std::size_t parallel)
    : _state(std::make_shared<State>()) {
  _state->health = std::move(health);
  _state->check = check ? std::move(check) : [](const nlohmann::ordered_json& entry, const TestDestination& target) {
    return check_handshake(entry, target);
  };
  _state->tick = tick;
  _state->parallel = parallel == 0 ? 1 : parallel;
  _state->destination = std::move(destination);
}

HealthRechecker::~HealthRechecker() { stop(); }

void HealthRechecker::start() {
  std::lock_guard guard(_state->lock);
  if (_state->looping || _loop.joinable()) return;
  _state->looping = true;
  _loop = std::thread(State::loop, _state);
}

void HealthRechecker::stop() {
  {
    std::lock_guard guard(_state->lock);
    _state->looping = false;
    for (const auto& entry : _state->queue) _state->pending.erase(identity_of(entry).key());
    _state->queue.clear();
  }
  _state->changed.notify_all();
  if (_loop.joinable()) _loop.join();
}

bool HealthRechecker::is_running() const {
  std::lock_guard guard(_state->lock);
  return _state->looping;
}

void HealthRechecker::set_destination(TestDestination destination) {
  std::lock_guard guard(_state->lock);
  _state->destination = std::move(destination);
}

std::size_t HealthRechecker::run_due_checks() { return State::queue_due(_state); }

std::size_t HealthRechecker::pending() const {
  std::lock_guard guard(_state->lock);
  return _state->pending.size();
}

bool HealthRechecker::wait_until_idle(std::chrono::milliseconds timeout) const {
  std::unique_lock guard(_state->lock);
  return _state->changed.wait_for(guard, timeout, [&] { return _state->pending.empty() && _state->workers == 0; });
}

}  // namespace tovix::pool
