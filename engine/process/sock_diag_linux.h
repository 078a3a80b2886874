#pragma once
// The kernel's TCP and UDP socket tables (IPv4 and IPv6) through sock_diag netlink: one dump request
// answered with binary records, instead of formatting and parsing the text of /proc/net/tcp{,6}.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/process/tcp_table_parsing.h"

namespace tovix {

// Every TCP socket of this network namespace a process can hold, listeners included, with
// local endpoint, state and socket inode (0 for orphans no descriptor holds any more); sockets
// in TIME_WAIT and a listener's pending requests are left out. Throws ProcessQueryError when
// the kernel offers no sock_diag or the dump fails.
PROC_WATCH_EXPORT std::vector<ProcNetTcpRow> dump_tcp_sockets();

// The one IPv4 TCP socket whose own endpoint and peer are these (addresses in network byte
// order), asked of the kernel by name instead of a walk of the table: its state and inode (0
// once no descriptor holds it). Nothing when there is no such socket; a listener on the port
// does not stand in for it. Throws ProcessQueryError as above.
PROC_WATCH_EXPORT std::optional<ProcNetTcpRow> find_tcp4_socket(std::uint32_t local_address, std::uint16_t local_port,
                                                                std::uint32_t remote_address,
                                                                std::uint16_t remote_port);

// Every UDP socket of this network namespace (IPv4 and IPv6, connected or not) with its local
// endpoint and socket inode; the state says "CLOSE" for an unconnected socket. Throws
// ProcessQueryError as above.
PROC_WATCH_EXPORT std::vector<ProcNetTcpRow> dump_udp_sockets();

// How many TCP connections the calling thread's network namespace has opened so far, actively
// and passively (the ActiveOpens and PassiveOpens counters of its snmp table): reading it costs
// no walk of the connection table, and it changes whenever a connection appears, though only
// once its SYN has left. Absent when unreadable.
PROC_WATCH_EXPORT std::optional<std::uint64_t> tcp_connections_opened();
// The same sum from the text of /proc/net/snmp.
PROC_WATCH_EXPORT std::optional<std::uint64_t> parse_tcp_opens(std::string_view snmp);

}  // namespace tovix
