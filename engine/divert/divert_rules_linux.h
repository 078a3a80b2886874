#pragma once
// The netfilter rules that hand the engine its packets: iptables rules in the raw table's
// OUTPUT chain (IPv4 and IPv6) and the ipset of diverted client ports they match on. What is
// queued is only what the engine must see: every new outbound TCP connection's SYN (IPv4 and
// IPv6), the packets of connections it diverted (their client ports are in the set) and the
// relays' replies to 127.0.0.2. Packets the reader re-injects rewritten carry the reinject mark
// and leave connection tracking here; the engine's own connections carry the own mark and are
// never queued.
//
// UDP is queued from the mangle table's OUTPUT chain, after connection tracking has seen it:
// only a datagram that opens a new flow (IPv4 and IPv6) to a unicast address off this host,
// outside link-local ranges and DHCP. The engine passes a datagram it does not carry unchanged,
// so the tracker confirms that flow and its later datagrams stay in the kernel; one it carries
// or refuses is dropped here, so the flow never becomes established and every later datagram
// is queued again. The engine's own answers to programs carry the reinject mark, which keeps
// them out of tracking and of the queue.
//
// With a kernel-path mark, a chain of the nat table's OUTPUT path redirects each new connection
// whose SYN the reader marked to the relay port the mark names (127.0.0.1); one rule per relay
// port, added the first time a connection goes to it and removed once that relay is gone.
// Connection tracking keeps the redirect for the connection's later packets, which never reach
// the queue.
//
// The rules live in a chain of their own, so removing them never touches anyone else's rules.
// They are installed only while a reader is bound to the queue and never with a bypass: with
// no reader, queued TCP is held back or dropped by the kernel, never sent on unchanged.
#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace tovix {

// How long one iptables, ipset or iptables-restore call may take (they wait for the xtables lock).
inline constexpr std::chrono::seconds NETFILTER_TOOL_TIMEOUT{20};

struct DivertRuleNames {
  std::string chain = "TOVIX_DIVERT";
  std::string port_set = "tovix_divert_ports";
  std::uint16_t queue_number = 0;
  std::uint32_t reinject_mark = 0;
  std::uint32_t own_mark = 0;
  std::uint32_t kernel_path_mark = 0;  // 0: no kernel path (no nat chain)
};

class DivertRules {
 public:
  explicit DivertRules(DivertRuleNames names);
  ~DivertRules();  // removes what install() put in place
  DivertRules(const DivertRules&) = delete;
  DivertRules& operator=(const DivertRules&) = delete;

  // Removes rules and the set left by an earlier run (one that was killed); true when there
  // were any. Never throws.
  bool remove_stale() noexcept;
  // Throws DivertOsError naming the command and what it reported; whatever was installed
  // before the failure is removed again.
  void install();
  // Idempotent; never throws.
  void remove() noexcept;

  // Makes sure marked SYNs naming `relay_port` are redirected to it; false (logged) when the
  // rule could not be added. Never throws.
  bool redirect_to(std::uint16_t relay_port) noexcept;
  // Removes the redirect to a relay port that no relay listens on any more (a later
  // redirect_to adds it anew); false (logged) when it could not be removed. Never throws.
  bool remove_redirect(std::uint16_t relay_port) noexcept;
  // The relay ports that have a redirect rule.
  const std::set<std::uint16_t>& redirected() const { return _redirected; }
  // The nat rule for a relay port, as iptables arguments.
  std::vector<std::string> redirect_rule(std::uint16_t relay_port) const;

  const DivertRuleNames& names() const { return _names; }
  // The rules install() adds, as iptables / ip6tables arguments (for logs and tests).
  std::vector<std::vector<std::string>> ipv4_rules() const;
  std::vector<std::vector<std::string>> ipv6_rules() const;
  // The UDP rules of the mangle table, by IP version.
  std::vector<std::vector<std::string>> udp_rules(int ip_version) const;
  // How OUTPUT of `table` jumps to the engine's chain, as iptables arguments.
  std::vector<std::string> jump(const std::string& table) const;

 private:
  bool _remove_all() noexcept;
  // Appends ("-A") or deletes ("-D") a relay port's nat rule; false (logged) on failure.
  bool _edit_redirect(const char* action, std::uint16_t relay_port) noexcept;

  DivertRuleNames _names;
  bool _installed = false;
  std::set<std::uint16_t> _redirected;
};

// Whether this kernel has IPv6 (without it there is no IPv6 traffic to hold back).
bool kernel_has_ipv6();

}  // namespace tovix
