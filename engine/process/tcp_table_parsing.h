#pragma once
// Turns the raw connection and socket tables of each OS into TcpConnection and UdpSocketEntry
// records. Pure functions, kept
// apart from the OS calls so that both formats are checked on every platform.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/process/proc_watch_export.h"
#include "engine/process/process_queries.h"

namespace tovix {

enum class AddressFamily { ipv4, ipv6 };

PROC_WATCH_EXPORT std::string format_ipv4(const std::uint8_t* bytes);
// RFC 5952 text: lower case, the longest run of two or more zero groups shortened to "::".
PROC_WATCH_EXPORT std::string format_ipv6(const std::uint8_t* bytes);

// The state name of the kernel's numbering (include/net/tcp_states.h); "NONE" when unknown.
PROC_WATCH_EXPORT const char* linux_tcp_state_name(unsigned state);

// One row of /proc/net/tcp or /proc/net/tcp6, before its socket inode is traced to a process.
struct ProcNetTcpRow {
  TcpEndpoint local;
  std::string state;
  std::uint64_t inode = 0;
};

// Rows of the whole file; the heading line and malformed lines are skipped. The addresses are
// words printed in this machine's byte order, as the kernel writes them.
PROC_WATCH_EXPORT std::vector<ProcNetTcpRow> parse_proc_net_tcp(std::string_view text, AddressFamily family);

// Rows of a MIB_TCPTABLE_OWNER_PID / MIB_TCP6TABLE_OWNER_PID buffer as GetExtendedTcpTable fills
// it (little-endian words, ports in network order in the low 16 bits). Rows that the buffer does
// not hold completely are left out.
PROC_WATCH_EXPORT std::vector<TcpConnection> decode_tcp_owner_pid_table(const std::uint8_t* data, std::size_t size,
                                                                        AddressFamily family);

// Rows of a MIB_UDPTABLE_OWNER_PID / MIB_UDP6TABLE_OWNER_PID buffer as GetExtendedUdpTable
// fills it; the same conventions.
PROC_WATCH_EXPORT std::vector<UdpSocketEntry> decode_udp_owner_pid_table(const std::uint8_t* data, std::size_t size,
                                                                         AddressFamily family);

}  // namespace tovix
