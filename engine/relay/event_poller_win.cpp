#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <unordered_map>

#include "engine/relay/event_poller.h"

namespace tovix {
namespace {

[[noreturn]] void fail(const std::string& what) {
  const int error = WSAGetLastError();
  throw SocketError(what + ": " + std::system_category().message(error), error);
}

SHORT poll_events(unsigned interest) {
  SHORT events = 0;
  if (interest & EventPoller::READ) events |= POLLRDNORM | POLLRDBAND;
  if (interest & EventPoller::WRITE) events |= POLLWRNORM;
  return events;
}

}  // namespace

// WSAPoll over one array kept between waits. Entry 0 is a UDP socket connected to itself: a
// datagram sent to it is the wake-up.
//
// Winsock reports a peer's half close as a hang-up on every wait, whatever was asked for. A
// socket that hung up and is watched only for room to send (the relay still delivers to a peer
// that ended its own side) would make each wait return at once; such a socket leaves the array
// and is offered as writable every PARKED_RETRY instead.
constexpr std::chrono::milliseconds PARKED_RETRY{20};

struct EventPoller::Impl {
  std::vector<WSAPOLLFD> entries;
  std::vector<std::uint64_t> tokens;
  std::unordered_map<SOCKET, std::size_t> index;
  std::unordered_map<SOCKET, std::uint64_t> parked;
  SOCKET wake = INVALID_SOCKET;

  void drop(SOCKET s) {
    auto found = index.find(s);
    if (found == index.end()) return;
    const std::size_t at = found->second;
    const std::size_t last = entries.size() - 1;
    if (at != last) {
      entries[at] = entries[last];
      tokens[at] = tokens[last];
      index[entries[at].fd] = at;
    }
    entries.pop_back();
    tokens.pop_back();
    index.erase(s);
  }

  ~Impl() {
    if (wake != INVALID_SOCKET) closesocket(wake);
  }
};

EventPoller::EventPoller() : _impl(std::make_unique<Impl>()) {
  // Socket::create_tcp starts Winsock for the process; a poller is only made after a socket.
  SOCKET wake = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (wake == INVALID_SOCKET) fail("cannot create the wake-up socket");
  _impl->wake = wake;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  u_long non_blocking = 1;
  if (bind(wake, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(wake, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(wake, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ioctlsocket(wake, FIONBIO, &non_blocking) != 0) {
    fail("cannot set up the wake-up socket");
  }
  _impl->entries.push_back(WSAPOLLFD{wake, POLLRDNORM, 0});
  _impl->tokens.push_back(0);
}

EventPoller::~EventPoller() = default;

void EventPoller::watch(NativeSocket socket, std::uint64_t token, unsigned current, unsigned wanted) {
  if (current == wanted) return;
  const SOCKET s = static_cast<SOCKET>(socket);
  if (_impl->parked.erase(s) > 0 && wanted == WRITE) {
    _impl->parked.emplace(s, token);
    return;
  }
  if (wanted == 0) {
    _impl->drop(s);
    return;
  }
  auto found = _impl->index.find(s);
  if (found == _impl->index.end()) {
    _impl->index.emplace(s, _impl->entries.size());
    _impl->entries.push_back(WSAPOLLFD{s, poll_events(wanted), 0});
    _impl->tokens.push_back(token);
    return;
  }
  _impl->entries[found->second].events = poll_events(wanted);
  _impl->tokens[found->second] = token;
}

void EventPoller::wait(std::vector<Event>& events, std::chrono::milliseconds timeout) {
  events.clear();
  if (!_impl->parked.empty() && (timeout.count() < 0 || timeout > PARKED_RETRY)) timeout = PARKED_RETRY;
  const INT millis = timeout.count() < 0 ? -1 : static_cast<INT>(std::min<std::int64_t>(timeout.count(), 1 << 30));
  for (auto& entry : _impl->entries) entry.revents = 0;
  const int count = WSAPoll(_impl->entries.data(), static_cast<ULONG>(_impl->entries.size()), millis);
  if (count == SOCKET_ERROR) fail("WSAPoll failed");
  for (const auto& [s, token] : _impl->parked) events.push_back(Event{token, false, true, false});
  if (count == 0) return;
  if (_impl->entries[0].revents != 0) {
    char drained[64];
    while (recv(_impl->wake, drained, sizeof drained, 0) > 0) {
    }
  }
  std::vector<SOCKET> to_park;
  for (std::size_t i = 1; i < _impl->entries.size(); ++i) {
    const WSAPOLLFD& entry = _impl->entries[i];
    if (entry.revents == 0) continue;
    const bool failed = (entry.revents & (POLLERR | POLLNVAL)) != 0;
    const bool hung_up = (entry.revents & POLLHUP) != 0;
    Event event;
    event.token = _impl->tokens[i];
    event.readable = (entry.revents & POLLRDNORM) != 0 || failed || hung_up;
    event.writable = (entry.revents & POLLWRNORM) != 0 || failed;
    event.exceptional = (entry.revents & POLLRDBAND) != 0;
    if (hung_up && !failed && entry.events == POLLWRNORM && !event.writable) {
      to_park.push_back(entry.fd);
      _impl->parked.emplace(entry.fd, event.token);
      continue;
    }
    events.push_back(event);
  }
  for (SOCKET s : to_park) _impl->drop(s);
}

void EventPoller::wake() noexcept {
  const char one = 1;
  (void)send(_impl->wake, &one, 1, 0);
}

}  // namespace tovix
