#pragma once
// A kernel pipe between two TCP sockets: bytes move from one socket into the pipe and on to the
// other without passing through user space (splice on Linux). Where the system has no such
// facility open() gives nothing and the relay copies through its own buffers.
#include <cstddef>
#include <memory>
#include <optional>

#include "common/socket.h"
#include "engine/relay/relay_hub_export.h"

namespace tovix {

class RELAY_HUB_EXPORT SocketPipe {
 public:
  // Nothing where the system has no pipes between sockets, or none can be made now (out of
  // descriptors): the caller goes on with buffers.
  static std::unique_ptr<SocketPipe> open();
  virtual ~SocketPipe() = default;

  // Moves what `source` has ready into the pipe, as much as it holds: the count, 0 at
  // end-of-stream, nothing when `source` has nothing ready. Throws SocketError.
  virtual std::optional<std::size_t> fill(const Socket& source) = 0;
  // Moves what the pipe holds to `sink` until its send buffer is full: the count. Throws
  // SocketError.
  virtual std::size_t drain(const Socket& sink) = 0;
  // Bytes in the pipe that `sink` has not taken yet.
  virtual std::size_t held() const = 0;
  // What one fill takes at most.
  virtual std::size_t capacity() const = 0;
};

}  // namespace tovix
