#pragma once
// Readiness of many sockets at once for one event-loop thread: epoll on Linux, WSAPoll on
// Windows. Every call but wake() belongs to the loop thread; wake() may come from any thread and
// makes the current or next wait() return.
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/socket.h"

namespace tovix {

class EventPoller {
 public:
  // Interest bits. Reading includes urgent data, which the relay treats as an exceptional condition.
  static constexpr unsigned READ = 1;
  static constexpr unsigned WRITE = 2;

  struct Event {
    std::uint64_t token = 0;
    bool readable = false;     // data, end-of-stream, or an error the next receive reports
    bool writable = false;     // room to send, or an error the next send reports
    bool exceptional = false;  // urgent (out-of-band) data
  };

  // Throws SocketError when the system refuses.
  EventPoller();
  ~EventPoller();
  EventPoller(const EventPoller&) = delete;
  EventPoller& operator=(const EventPoller&) = delete;

  // Sets what `socket` is watched for, given what it was watched for until now (`current`, 0 at
  // first). 0 stops watching it altogether: a socket nobody waits on reports nothing, not even a
  // hang-up, so a peer's end cannot make the loop spin while the relay holds that side back.
  // Stop watching a socket before closing it.
  void watch(NativeSocket socket, std::uint64_t token, unsigned current, unsigned wanted);

  // Waits up to `timeout` (negative: without limit) for readiness or wake(); replaces `events`.
  void wait(std::vector<Event>& events, std::chrono::milliseconds timeout);
  void wake() noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

}  // namespace tovix
