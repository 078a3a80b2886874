#include "engine/relay/socket_pipe.h"

namespace tovix {

// Winsock has no pipe between two sockets: the relay's buffers carry the bytes.
std::unique_ptr<SocketPipe> SocketPipe::open() { return nullptr; }

}  // namespace tovix
