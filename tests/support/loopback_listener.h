#pragma once
// A raw TCP listener on a free loopback port for the failures an HTTP server cannot show: it
// either closes every connection at once or accepts and never answers. Stopped and joined by
// the destructor, which closes every held connection.
#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace tovix::testing {

class LoopbackListener {
 public:
  enum class Mode { close_at_once, never_answer };

  explicit LoopbackListener(Mode mode);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int port() const { return _port; }
  std::size_t accepted() const { return _accepted; }

 private:
  void _run();

  Mode _mode;
  int _listen_fd = -1;
  int _wake_pipe[2] = {-1, -1};
  int _port = 0;
  std::atomic<std::size_t> _accepted{0};
  std::vector<int> _held;
  std::thread _thread;
};

}  // namespace tovix::testing
