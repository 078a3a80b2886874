#pragma once
// Settings of this process and its sockets that tests need to recreate a user's situation.
#include <cstdint>

#include "common/socket.h"

namespace tovix::testing {

// Lowers (or raises) the soft limit on open descriptors, as a desktop session may hand it down.
// False where the system has no such limit (Windows) or refuses.
bool set_soft_descriptor_limit(std::uint64_t limit);

// Lets another socket bind the same local address and port before connecting elsewhere, the way
// a second program can take a port number that a live connection uses. Call before bind().
void share_local_port(Socket& socket);

// Wine's Winsock ends a socket closed with a zero linger in order instead of with a reset, so a
// peer reads end-of-stream there where Windows and Linux report the reset.
bool closes_with_linger_zero_in_order();

}  // namespace tovix::testing
