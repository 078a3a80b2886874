#pragma once
// Runs the blocking upstream handshakes of one relay off its event loop, on a bounded set of
// threads started on demand and ended after a quiet spell, so an idle relay keeps none.
//
// Jobs are grouped by upstream (a proxy's address, or "direct"); one upstream never holds more
// than half of the threads, so a proxy that swallows connections until their time-out only slows
// its own connections while every other upstream keeps its share.
//
// Threads share ownership of the pool's state: close() returns at once even while a handshake
// still blocks in its time-out, and that thread ends as soon as its handshake does.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace tovix {

class HandshakePool {
 public:
  using Job = std::function<void()>;

  HandshakePool(std::size_t max_threads, std::chrono::milliseconds idle_exit);
  ~HandshakePool();
  HandshakePool(const HandshakePool&) = delete;
  HandshakePool& operator=(const HandshakePool&) = delete;

  // Queues `job` under `upstream`. False after close(); the job is then destroyed unrun. Throws
  // only when no thread can be started and none runs.
  bool submit(const std::string& upstream, Job job);
  // Destroys every queued job unrun and lets each thread end after its current job.
  void close();
  // Threads alive right now.
  std::size_t threads() const;

 private:
  struct Core;
  std::shared_ptr<Core> _core;
};

}  // namespace tovix
