#pragma once
// The netfilter rules that hand the engine its packets: iptables rules in the raw table's
// OUTPUT chain (IPv4 and IPv6) and the ipset of diverted client ports they match on. What is
// queued is only what the engine must see: every new outbound TCP connection's SYN (IPv4 and
// IPv6), the packets of connections it diverted (their client ports are in the set) and the
// relays' replies to 127.0.0.2. Packets the reader re-injects rewritten carry the reinject mark
// and leave connection tracking here; the engine's own connections carry the own mark and are
// never queued.
//
// The rules live in a chain of their own, so removing them never touches anyone else's rules.
// They are installed only while a reader is bound to the queue and never with a bypass: with
// no reader, queued TCP is held back or dropped by the kernel, never sent on unchanged.
#include <chrono>
#include <cstdint>
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

  const DivertRuleNames& names() const { return _names; }
  // The rules install() adds, as iptables / ip6tables arguments (for logs and tests).
  std::vector<std::vector<std::string>> ipv4_rules() const;
  std::vector<std::vector<std::string>> ipv6_rules() const;

 private:
  bool _remove_all() noexcept;

  DivertRuleNames _names;
  bool _installed = false;
};

// Whether this kernel has IPv6 (without it there is no IPv6 traffic to hold back).
bool kernel_has_ipv6();

}  // namespace tovix
