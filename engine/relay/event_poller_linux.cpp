#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <system_error>

#include "engine/relay/event_poller.h"

namespace tovix {
namespace {

constexpr std::uint64_t WAKE_TOKEN = ~std::uint64_t{0};
constexpr int MAX_EVENTS = 256;

[[noreturn]] void fail(const std::string& what) {
  const int error = errno;
  throw SocketError(what + ": " + std::system_category().message(error), error);
}

std::uint32_t epoll_events(unsigned interest) {
  std::uint32_t events = 0;
  if (interest & EventPoller::READ) events |= EPOLLIN | EPOLLPRI;
  if (interest & EventPoller::WRITE) events |= EPOLLOUT;
  return events;
}

}  // namespace

struct EventPoller::Impl {
  int epoll = -1;
  int wake = -1;
  epoll_event ready[MAX_EVENTS];

  ~Impl() {
    if (wake >= 0) ::close(wake);
    if (epoll >= 0) ::close(epoll);
  }

  void control(int operation, NativeSocket socket, std::uint64_t token, unsigned interest) {
    epoll_event event{};
    event.events = epoll_events(interest);
    event.data.u64 = token;
    if (epoll_ctl(epoll, operation, static_cast<int>(socket), &event) != 0) fail("epoll_ctl failed");
  }
};

EventPoller::EventPoller() : _impl(std::make_unique<Impl>()) {
  _impl->epoll = epoll_create1(EPOLL_CLOEXEC);
  if (_impl->epoll < 0) fail("epoll_create1 failed");
  _impl->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (_impl->wake < 0) fail("eventfd failed");
  _impl->control(EPOLL_CTL_ADD, static_cast<NativeSocket>(_impl->wake), WAKE_TOKEN, READ);
}

EventPoller::~EventPoller() = default;

void EventPoller::watch(NativeSocket socket, std::uint64_t token, unsigned current, unsigned wanted) {
  if (current == wanted) return;
  if (wanted == 0) {
    epoll_event unused{};
    if (epoll_ctl(_impl->epoll, EPOLL_CTL_DEL, static_cast<int>(socket), &unused) != 0) fail("epoll_ctl failed");
    return;
  }
  _impl->control(current == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, socket, token, wanted);
}

void EventPoller::wait(std::vector<Event>& events, std::chrono::milliseconds timeout) {
  events.clear();
  const int millis = timeout.count() < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(timeout.count(), 1 << 30));
  const int count = epoll_wait(_impl->epoll, _impl->ready, MAX_EVENTS, millis);
  if (count < 0) {
    if (errno == EINTR) return;
    fail("epoll_wait failed");
  }
  for (int i = 0; i < count; ++i) {
    const epoll_event& ready = _impl->ready[i];
    if (ready.data.u64 == WAKE_TOKEN) {
      std::uint64_t drained = 0;
      (void)!::read(_impl->wake, &drained, sizeof drained);
      continue;
    }
    Event event;
    event.token = ready.data.u64;
    event.readable = (ready.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0;
    event.writable = (ready.events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0;
    event.exceptional = (ready.events & EPOLLPRI) != 0;
    events.push_back(event);
  }
}

void EventPoller::wake() noexcept {
  const std::uint64_t one = 1;
  (void)!::write(_impl->wake, &one, sizeof one);
}

}  // namespace tovix
