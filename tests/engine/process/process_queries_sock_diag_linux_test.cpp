// Both Linux connection tables, sock_diag and /proc/net/tcp{,6}, against sockets this test
// owns: each must list them with the same local endpoint, state and owner.
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "common/socket.h"
#include "engine/process/process_queries_linux.h"
#include "engine/process/sock_diag_linux.h"

namespace tovix {
namespace {

using Seen = std::map<std::pair<std::string, int>, std::pair<std::string, std::uint32_t>>;  // endpoint → (state, pid)

Seen listing(LinuxSocketTable table, const std::vector<int>& ports) {
  Seen seen;
  for (const TcpConnection& connection : make_linux_process_queries(table)->tcp_connections()) {
    if (!connection.local) continue;
    for (int port : ports) {
      if (connection.local->port == port) {
        seen.emplace(std::pair{connection.local->address, port}, std::pair{connection.state, connection.pid});
      }
    }
  }
  return seen;
}

int ipv6_loopback_listener() {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 1) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

int port_of(int fd) {
  sockaddr_in6 address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin6_port);
}

TEST(SockDiagTest, ListsTheSameSocketsAsTheTextTables) {
  auto listener = Socket::create_tcp();
  listener->bind("127.0.0.1", 0);
  listener->listen(4);
  const int listen_port = listener->local_address().second;
  auto client = connect_tcp("127.0.0.1", listen_port, std::chrono::seconds(10));
  SocketAddress peer;
  auto accepted = listener->accept(peer);
  const int client_port = client->local_address().second;
  const int v6 = ipv6_loopback_listener();
  std::vector<int> ports{listen_port, client_port};
  if (v6 >= 0) ports.push_back(port_of(v6));

  const Seen from_diag = listing(LinuxSocketTable::sock_diag, ports);
  Seen from_text = listing(LinuxSocketTable::proc_net_tcp, ports);
  // sock_diag leaves out what no process holds any more: TIME_WAIT, a listener's pending
  // requests (shown as SYN_RECV). Other programs' sockets may sit on the same port numbers.
  std::erase_if(from_text, [](const auto& item) {
    const auto& [state, pid] = item.second;
    return pid == 0 && (state == "TIME_WAIT" || state == "SYN_RECV");
  });
  if (v6 >= 0) close(v6);

  const auto self = static_cast<std::uint32_t>(getpid());
  const Seen expected_subset{
      {{"127.0.0.1", listen_port}, {"LISTEN", self}},
      {{"127.0.0.1", client_port}, {"ESTABLISHED", self}},
  };
  for (const auto& [endpoint, value] : expected_subset) {
    ASSERT_TRUE(from_diag.contains(endpoint)) << endpoint.first << ":" << endpoint.second;
    EXPECT_EQ(from_diag.at(endpoint), value) << endpoint.first << ":" << endpoint.second;
  }
  if (v6 >= 0) {
    const std::pair<std::string, int> endpoint{"::1", ports.back()};
    ASSERT_TRUE(from_diag.contains(endpoint));
    EXPECT_EQ(from_diag.at(endpoint), (std::pair<std::string, std::uint32_t>{"LISTEN", self}));
  }
  EXPECT_EQ(from_diag, from_text);
}

TEST(SockDiagTest, OpenedConnectionsAreCountedFromTheSnmpTable) {
  const std::string ip_line = "Ip: Forwarding DefaultTTL\nIp: 1 64\n";
  const std::string names = "Tcp: RtoAlgorithm RtoMin ActiveOpens PassiveOpens AttemptFails\n";
  EXPECT_EQ(parse_tcp_opens(ip_line + names + "Tcp: 1 200 8137 7956 165\nUdp: InDatagrams\nUdp: 3\n"), 16093u);
  EXPECT_EQ(parse_tcp_opens(ip_line), std::nullopt);
  EXPECT_EQ(parse_tcp_opens(names + "Tcp: 1 200 8137\n"), std::nullopt) << "values missing";
  EXPECT_EQ(parse_tcp_opens(names + "Tcp: 1 200 81x7 7956 165\n"), std::nullopt);
  EXPECT_EQ(parse_tcp_opens("Tcp: RtoAlgorithm ActiveOpens\nTcp: 1 5\n"), std::nullopt) << "PassiveOpens missing";

  const auto before = tcp_connections_opened();
  ASSERT_TRUE(before);
  auto listener = Socket::create_tcp();
  listener->bind("127.0.0.1", 0);
  listener->listen(1);
  auto client = connect_tcp("127.0.0.1", listener->local_address().second, std::chrono::seconds(10));
  const auto after = tcp_connections_opened();
  ASSERT_TRUE(after);
  EXPECT_GT(*after, *before);
}

bool lists_port(const std::vector<TcpConnection>& connections, int port) {
  return std::any_of(connections.begin(), connections.end(), [&](const TcpConnection& connection) {
    return connection.local && connection.local->port == port && connection.pid == static_cast<std::uint32_t>(getpid());
  });
}

// A periodic refresh may accept an answer up to some age; a SYN's own refresh never does.
TEST(SockDiagTest, ANewConnectionIsListedAtOnceUnlessTheCallerAcceptsARecentListing) {
  auto queries = make_linux_process_queries(LinuxSocketTable::sock_diag);
  (void)queries->tcp_connections();
  auto listener = Socket::create_tcp();
  listener->bind("127.0.0.1", 0);
  listener->listen(1);
  // A listener opens no connection: the count of opened ones stays as it was, as it does while
  // a new connection's SYN waits in the queue (the kernel counts it once the SYN has left).
  EXPECT_TRUE(lists_port(queries->tcp_connections(), listener->local_address().second))
      << "a listing of now, though the count is unchanged";
  auto client = connect_tcp("127.0.0.1", listener->local_address().second, std::chrono::seconds(10));
  const int port = client->local_address().second;
  EXPECT_FALSE(lists_port(queries->recent_tcp_connections(std::chrono::hours(1)), port))
      << "a listing younger than the age accepted is answered again";
  EXPECT_TRUE(lists_port(queries->tcp_connections(), port)) << "right after an earlier listing";
  EXPECT_TRUE(lists_port(queries->recent_tcp_connections(std::chrono::milliseconds(0)), port));
}

// A new connection is judged while its SYN waits: its socket is found by its own addresses and
// ports, and only that socket counts.
TEST(SockDiagTest, AConnectingSocketsOwnerIsFoundByItsAddressesAndPorts) {
  auto queries = make_linux_process_queries(LinuxSocketTable::sock_diag);
  auto listener = Socket::create_tcp();
  listener->bind("127.0.0.1", 0);
  listener->listen(0);
  const auto server_port = static_cast<std::uint16_t>(listener->local_address().second);
  // The first connection fills the accept queue, so the second one's SYN goes unanswered.
  auto first = connect_tcp("127.0.0.1", server_port, std::chrono::seconds(10));
  const int connecting = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(connecting, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(server_port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_NE(connect(connecting, reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
  sockaddr_in own{};
  socklen_t own_length = sizeof own;
  ASSERT_EQ(getsockname(connecting, reinterpret_cast<sockaddr*>(&own), &own_length), 0);
  const auto port = ntohs(own.sin_port);
  constexpr std::uint32_t loopback = INADDR_LOOPBACK;
  const auto self = static_cast<std::uint32_t>(getpid());

  EXPECT_EQ(queries->tcp4_socket_owner(loopback, port, loopback, server_port), self);
  EXPECT_EQ(queries->tcp4_socket_owner(loopback, static_cast<std::uint16_t>(first->local_address().second), loopback,
                                       server_port),
            self);
  EXPECT_EQ(queries->tcp4_socket_owner(loopback, port, loopback, static_cast<std::uint16_t>(server_port + 1)), 0u)
      << "another peer is another socket";
  EXPECT_EQ(queries->tcp4_socket_owner(loopback, server_port, loopback, 9), 0u) << "the listener does not stand in";
  EXPECT_TRUE(lists_port(queries->tcp_connections(), port)) << "listings still trace owners";
  EXPECT_EQ(queries->tcp4_socket_owner(loopback, port, loopback, server_port), self);
  close(connecting);
  EXPECT_EQ(make_linux_process_queries(LinuxSocketTable::proc_net_tcp)
                ->tcp4_socket_owner(loopback, port, loopback, server_port),
            std::nullopt)
      << "from the text tables: no look-up of one socket";
}

// A thread in a network namespace of its own (as the engine's threads are when it runs in one)
// counts and lists that namespace's connections, not those of the process's main thread.
TEST(SockDiagTest, AThreadInAnotherNetworkNamespaceSeesItsOwnConnections) {
  std::string failure;
  std::thread([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      failure = "skip";
      return;
    }
    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback{};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    loopback.ifr_flags = IFF_UP;
    if (ioctl(control, SIOCSIFFLAGS, &loopback) != 0) failure = "loopback not up";
    close(control);
    auto queries = make_linux_process_queries(LinuxSocketTable::sock_diag);
    (void)queries->recent_tcp_connections(std::chrono::milliseconds(0));
    const auto before = tcp_connections_opened();
    auto listener = Socket::create_tcp();
    listener->bind("127.0.0.1", 0);
    listener->listen(1);
    auto client = connect_tcp("127.0.0.1", listener->local_address().second, std::chrono::seconds(10));
    if (!before || tcp_connections_opened() <= before) failure += " count unchanged;";
    if (!lists_port(queries->recent_tcp_connections(std::chrono::milliseconds(0)), client->local_address().second))
      failure += " the new connection is not listed;";
  }).join();
  if (failure == "skip") GTEST_SKIP() << "no new network namespace here (needs root)";
  EXPECT_EQ(failure, "");
}

int udp_socket_on(int family, const void* address, socklen_t length, bool connect_to_self) {
  const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, static_cast<const sockaddr*>(address), length) != 0) return -1;
  if (connect_to_self) {
    sockaddr_storage self{};
    socklen_t self_length = sizeof self;
    getsockname(fd, reinterpret_cast<sockaddr*>(&self), &self_length);
    if (connect(fd, reinterpret_cast<sockaddr*>(&self), self_length) != 0) return -1;
  }
  return fd;
}

TEST(UdpSocketTableTest, BothTablesListThisProcessesUdpSocketsConnectedOrNot) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_addr = in6addr_loopback;
  const int unconnected = udp_socket_on(AF_INET, &v4, sizeof v4, false);
  const int connected = udp_socket_on(AF_INET, &v4, sizeof v4, true);
  const int ipv6 = udp_socket_on(AF_INET6, &v6, sizeof v6, false);
  ASSERT_GE(unconnected, 0);
  ASSERT_GE(connected, 0);
  std::map<int, std::string> expected{{port_of(unconnected), "127.0.0.1"}, {port_of(connected), "127.0.0.1"}};
  if (ipv6 >= 0) expected.emplace(port_of(ipv6), "::1");

  const auto self = static_cast<std::uint32_t>(getpid());
  for (const auto table : {LinuxSocketTable::sock_diag, LinuxSocketTable::proc_net_tcp}) {
    std::map<int, std::string> seen;
    for (const UdpSocketEntry& entry : make_linux_process_queries(table)->udp_sockets()) {
      if (entry.pid == self && expected.contains(entry.local.port)) seen.emplace(entry.local.port, entry.local.address);
    }
    EXPECT_EQ(seen, expected) << (table == LinuxSocketTable::sock_diag ? "sock_diag" : "/proc/net/udp");
  }
  for (int fd : {unconnected, connected, ipv6}) {
    if (fd >= 0) close(fd);
  }
}

TEST(ProcessStartTimeTest, StartTimeTellsProcessesUnderOnePidApart) {
  struct Case {
    const char* stat;
    std::optional<std::uint64_t> expected;
  };
  const Case cases[] = {
      {"42 (bash) S 1 42 42 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 1 0 987654 1000 10", 987654},
      {"42 (a) b (c)) R 1 42 42 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 1 0 55 1000 10\n", 55},
      {"42 (defunct) Z 1 42 42 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 1 0 55 1000 10", std::nullopt},
      {"42 (short) S 1 42", std::nullopt},
      {"42 (bad) S 1 42 42 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 1 0 5x5 1000", std::nullopt},
      {"no parenthesis", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_process_start_time(c.stat), c.expected) << c.stat;

  auto queries = platform_process_queries();
  const auto self = static_cast<std::uint32_t>(getpid());
  const auto own = queries->process_start_time(self);
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(queries->process_start_time(self), own);

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    char byte;
    (void)!read(ready[0], &byte, 1);
    _exit(0);
  }
  const auto child_start = queries->process_start_time(static_cast<std::uint32_t>(child));
  EXPECT_TRUE(child_start.has_value());
  (void)!write(ready[1], "x", 1);
  int status = 0;
  waitpid(child, &status, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(queries->process_start_time(static_cast<std::uint32_t>(child)), std::nullopt) << "gone";
}

}  // namespace
}  // namespace tovix
