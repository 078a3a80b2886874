#pragma once
// A connection as the engine diverts it on a FakeDiverter: the SYN of process `pid` towards
// 127.0.0.1:`dst_port` goes in, the engine rewrites it towards one of its relays, and a real
// socket from the relays' source address connects there.
#include <cstdint>
#include <memory>

#include "common/socket.h"
#include "engine/divert/fake_diverter.h"

namespace tovix::testing {

std::shared_ptr<Socket> open_diverted_connection(FakeDiverter& diverter, int dst_port, std::uint32_t pid);

}  // namespace tovix::testing
