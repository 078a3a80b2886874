#pragma once
// Lets a thread that stops something end the proxy handshakes other threads are blocked in,
// instead of waiting out their time-outs. A handshake hands over each socket it opens before
// waiting on it; abort() shuts down every socket handed over so far and every later one, so
// their waits end at once with an error.
//
// Threads: any. The sockets stay their owners'; this holds only weak references to them.
#include <memory>
#include <mutex>
#include <vector>

#include "common/socket.h"
#include "engine/udp/udp_proxy_export.h"

namespace tovix {

class UDP_PROXY_EXPORT HandshakeAbort {
 public:
  // A socket about to be waited on; shut down at once when abort() came first.
  void watch(const std::shared_ptr<Socket>& socket);
  void abort();
  bool aborted() const;

 private:
  mutable std::mutex _lock;
  bool _aborted = false;
  std::vector<std::weak_ptr<Socket>> _sockets;
};

}  // namespace tovix
