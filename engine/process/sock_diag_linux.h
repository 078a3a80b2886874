#pragma once
// The kernel's TCP socket table (IPv4 and IPv6) through sock_diag netlink: one dump request per
// address family, answered with binary records, instead of formatting and parsing the text of
// /proc/net/tcp{,6}.
#include <vector>

#include "engine/process/tcp_table_parsing.h"

namespace tovix {

// Every TCP socket of this network namespace, listeners included, with local endpoint, state
// and socket inode (0 for sockets no descriptor holds, such as TIME_WAIT). Throws
// ProcessQueryError when the kernel offers no sock_diag or the dump fails.
std::vector<ProcNetTcpRow> dump_tcp_sockets();

}  // namespace tovix
