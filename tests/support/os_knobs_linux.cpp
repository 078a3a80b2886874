#include <sys/resource.h>
#include <sys/socket.h>

#include "tests/support/os_knobs.h"

namespace tovix::testing {

bool set_soft_descriptor_limit(std::uint64_t limit) {
  rlimit current{};
  if (getrlimit(RLIMIT_NOFILE, &current) != 0) return false;
  current.rlim_cur = static_cast<rlim_t>(limit);
  return setrlimit(RLIMIT_NOFILE, &current) == 0;
}

bool closes_with_linger_zero_in_order() { return false; }

void share_local_port(Socket& socket) {
  int one = 1;
  if (setsockopt(static_cast<int>(socket.native_handle()), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
    throw SocketError("setsockopt SO_REUSEADDR failed");
}

}  // namespace tovix::testing
