#include <arpa/inet.h>
#include <netinet/in.h>

#include "engine/process/process_queries.h"
#include "engine/process/sock_diag_linux.h"
#include "engine/relay/application_socket.h"

namespace tovix {
namespace {

bool to_address(const std::string& text, std::uint32_t& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = parsed.s_addr;
  return true;
}

}  // namespace

std::optional<bool> application_closed(const SocketAddress& local, const SocketAddress& remote) {
  std::uint32_t local_address = 0;
  std::uint32_t remote_address = 0;
  if (!to_address(local.first, local_address) || !to_address(remote.first, remote_address)) return std::nullopt;
  try {
    const std::optional<ProcNetTcpRow> found =
        find_tcp4_socket(local_address, static_cast<std::uint16_t>(local.second), remote_address,
                         static_cast<std::uint16_t>(remote.second));
    // A socket no descriptor holds any more has no inode.
    if (found) return found->inode == 0;
  } catch (const ProcessQueryError&) {
  }
  return std::nullopt;
}

}  // namespace tovix
