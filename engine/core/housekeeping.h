#pragma once
// A thread that runs periodic tasks for a run of the engine (the NAT clean-up, the retirement of
// relays a hot update replaced), each at its own period. A stop that comes before the start is
// kept: the start then does nothing, so a run being stopped while it starts never leaves the
// thread behind.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/core/tunnel_core_export.h"

namespace tovix {

class TUNNEL_CORE_EXPORT Housekeeping {
 public:
  struct Task {
    std::chrono::milliseconds period;
    std::function<bool()> run;  // false ends the housekeeping
  };

  Housekeeping() = default;
  ~Housekeeping();
  Housekeeping(const Housekeeping&) = delete;
  Housekeeping& operator=(const Housekeeping&) = delete;

  // A new run may start the thread.
  void arm();
  // Starts the thread unless stopped since arm() or already started.
  void start(std::vector<Task> tasks);
  // Ends the thread and waits for it (unless called from the thread itself).
  void stop();
  bool running();

 private:
  void _loop(std::vector<Task> tasks);

  std::mutex _lock;
  std::condition_variable _wake;
  std::thread _thread;
  bool _stopped = true;
};

}  // namespace tovix
