#include "engine/core/housekeeping.h"

#include <algorithm>

namespace tovix {

using Clock = std::chrono::steady_clock;

Housekeeping::~Housekeeping() { stop(); }

void Housekeeping::arm() {
  std::lock_guard guard(_lock);
  _stopped = false;
}

void Housekeeping::start(std::vector<Task> tasks) {
  std::lock_guard guard(_lock);
  if (_stopped || _thread.joinable()) return;
  _thread = std::thread([this, tasks = std::move(tasks)]() mutable { _loop(std::move(tasks)); });
}

void Housekeeping::stop() {
  std::thread thread;
  {
    std::lock_guard guard(_lock);
    _stopped = true;
    thread = std::move(_thread);
  }
  _wake.notify_all();
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // ends right after the task that stopped it
  } else {
    thread.join();
  }
}

bool Housekeeping::running() {
  std::lock_guard guard(_lock);
  return _thread.joinable() && !_stopped;
}

void Housekeeping::_loop(std::vector<Task> tasks) {
  std::vector<Clock::time_point> due;
  for (const auto& task : tasks) due.push_back(Clock::now() + task.period);
  std::unique_lock lock(_lock);
  while (!_stopped && !tasks.empty()) {
    _wake.wait_until(lock, *std::min_element(due.begin(), due.end()), [&] { return _stopped; });
    if (_stopped) break;
    lock.unlock();
    const auto now = Clock::now();
    bool go_on = true;
    for (std::size_t i = 0; i < tasks.size() && go_on; ++i) {
      if (now < due[i]) continue;
      go_on = tasks[i].run();
      due[i] = now + tasks[i].period;
    }
    lock.lock();
    if (!go_on) break;
  }
}

}  // namespace tovix
