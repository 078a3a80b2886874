#include <winsock2.h>
#include <windows.h>

#include "tests/support/os_knobs.h"

namespace tovix::testing {

bool set_soft_descriptor_limit(std::uint64_t) { return false; }

bool closes_with_linger_zero_in_order() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void share_local_port(Socket& socket) {
  BOOL one = TRUE;
  if (setsockopt(static_cast<SOCKET>(socket.native_handle()), SOL_SOCKET, SO_REUSEADDR,
                 reinterpret_cast<const char*>(&one), sizeof one) != 0)
    throw SocketError("setsockopt SO_REUSEADDR failed");
}

}  // namespace tovix::testing
