#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/relay/socket_pipe.h"

namespace tovix {
namespace {

// Larger than the default (16 pages) so one fill takes about what a bulk receive buffer holds;
// a smaller pipe is kept when the system allows no more.
constexpr int kPipeSize = 1 << 20;

// splice has no MSG_NOSIGNAL: a peer that has gone would raise SIGPIPE, which ends the process.
// The signal is held back on each thread that drains a pipe (the relays' loops) for the
// thread's life, which costs no system call per drain; a peer's end stays an error code.
sigset_t broken_pipe_signal() {
  sigset_t broken_pipe;
  sigemptyset(&broken_pipe);
  sigaddset(&broken_pipe, SIGPIPE);
  return broken_pipe;
}

void hold_back_broken_pipe() {
  thread_local bool held = false;
  if (held) return;
  const sigset_t broken_pipe = broken_pipe_signal();
  pthread_sigmask(SIG_BLOCK, &broken_pipe, nullptr);
  held = true;
}

class SplicePipe final : public SocketPipe {
 public:
  SplicePipe(int read_end, int write_end) : _read_end(read_end), _write_end(write_end) {
    const int size = fcntl(_write_end, F_SETPIPE_SZ, kPipeSize);
    _capacity = static_cast<std::size_t>(size > 0 ? size : fcntl(_write_end, F_GETPIPE_SZ));
  }
  ~SplicePipe() override {
    ::close(_read_end);
    ::close(_write_end);
  }
  SplicePipe(const SplicePipe&) = delete;
  SplicePipe& operator=(const SplicePipe&) = delete;

  std::optional<std::size_t> fill(const Socket& source) override {
    for (;;) {
      const ssize_t moved = splice(source.native_handle(), nullptr, _write_end, nullptr, _capacity - _held,
                                   SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      if (moved >= 0) {
        _held += static_cast<std::size_t>(moved);
        return static_cast<std::size_t>(moved);
      }
      if (errno == EAGAIN) return std::nullopt;
      if (errno != EINTR) throw SocketError(std::string("receive failed: ") + std::strerror(errno), errno);
    }
  }

  std::size_t drain(const Socket& sink) override {
    hold_back_broken_pipe();
    int error = 0;
    const std::size_t moved = _drain_into(sink.native_handle(), error);
    if (error == EPIPE) {
      // Taken at once, so a later unblocking of the signal on this thread cannot deliver it.
      const sigset_t broken_pipe = broken_pipe_signal();
      const timespec no_wait{};
      sigtimedwait(&broken_pipe, nullptr, &no_wait);
    }
    if (error != 0) throw SocketError(std::string("send failed: ") + std::strerror(error), error);
    return moved;
  }

  std::size_t held() const override { return _held; }
  std::size_t capacity() const override { return _capacity; }

 private:
  std::size_t _drain_into(int sink, int& error) {
    std::size_t moved_all = 0;
    while (_held > 0) {
      const ssize_t moved = splice(_read_end, nullptr, sink, nullptr, _held, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      if (moved > 0) {
        _held -= static_cast<std::size_t>(moved);
        moved_all += static_cast<std::size_t>(moved);
        continue;
      }
      if (moved == 0 || errno == EAGAIN) break;
      if (errno != EINTR) {
        error = errno;
        break;
      }
    }
    return moved_all;
  }

  const int _read_end;
  const int _write_end;
  std::size_t _capacity = 0;
  std::size_t _held = 0;
};

}  // namespace

std::unique_ptr<SocketPipe> SocketPipe::open() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  return std::make_unique<SplicePipe>(ends[0], ends[1]);
}

}  // namespace tovix
