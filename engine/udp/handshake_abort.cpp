#include "engine/udp/handshake_abort.h"

#include <algorithm>

namespace tovix {

void HandshakeAbort::watch(const std::shared_ptr<Socket>& socket) {
  std::lock_guard guard(_lock);
  if (_aborted) {
    socket->shutdown();
    return;
  }
  std::erase_if(_sockets, [](const std::weak_ptr<Socket>& held) { return held.expired(); });
  _sockets.push_back(socket);
}

void HandshakeAbort::abort() {
  std::lock_guard guard(_lock);
  _aborted = true;
  for (const std::weak_ptr<Socket>& held : _sockets)
    if (auto socket = held.lock()) socket->shutdown();
  _sockets.clear();
}

bool HandshakeAbort::aborted() const {
  std::lock_guard guard(_lock);
  return _aborted;
}

}  // namespace tovix
