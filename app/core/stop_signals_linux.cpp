#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>

#include "app/core/stop_signals.h"

namespace tovix::app {
namespace {

// The handler may only do async-signal-safe work: it writes one byte into a socket pair whose
// other end the event loop watches.
std::atomic<int> wake_fd{-1};

void on_stop_signal(int) {
  const int fd = wake_fd.load();
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  }
}

}  // namespace

struct StopSignals::Platform {
  int fds[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> notifier;
  struct sigaction previous_int {};
  struct sigaction previous_term {};
};

StopSignals::StopSignals(QObject* parent) : QObject(parent), _platform(std::make_unique<Platform>()) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, _platform->fds) != 0) return;
  wake_fd.store(_platform->fds[0]);
  _platform->notifier = std::make_unique<QSocketNotifier>(_platform->fds[1], QSocketNotifier::Read);
  connect(_platform->notifier.get(), &QSocketNotifier::activated, this, [this] {
    char bytes[16];
    while (::read(_platform->fds[1], bytes, sizeof bytes) > 0) {
    }
    emit stop_requested();
  });
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &_platform->previous_int);
  sigaction(SIGTERM, &action, &_platform->previous_term);
}

StopSignals::~StopSignals() {
  if (_platform->fds[0] < 0) return;
  sigaction(SIGINT, &_platform->previous_int, nullptr);
  sigaction(SIGTERM, &_platform->previous_term, nullptr);
  wake_fd.store(-1);
  _platform->notifier.reset();
  ::close(_platform->fds[0]);
  ::close(_platform->fds[1]);
}

}  // namespace tovix::app
