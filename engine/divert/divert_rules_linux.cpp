#include "engine/divert/divert_rules_linux.h"

#include <unistd.h>

#include <chrono>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "common/logging.h"
#include "common/run_command.h"
#include "common/text.h"
#include "engine/divert/divert_error.h"

namespace tovix {
namespace {

constexpr int kMaxStaleJumps = 16;

using Argv = std::vector<std::string>;

struct ToolOutcome {
  bool ok = false;
  std::string message;
};

// Runs one iptables / ip6tables / ipset command. A missing program is a failure like any other.
ToolOutcome run_tool(const Argv& argv) {
  try {
    const CommandResult result = run_command(argv, NETFILTER_TOOL_TIMEOUT);
    if (result.exit_code == 0) return {true, {}};
    return {false, std::string(strip_whitespace(result.standard_error.empty() ? result.standard_output
                                                                              : result.standard_error))};
  } catch (const CommandError& error) {
    return {false, error.what()};
  }
}

Argv with_prefix(Argv prefix, const Argv& rest) {
  prefix.insert(prefix.end(), rest.begin(), rest.end());
  return prefix;
}

DivertOsError install_error(const Argv& argv, const std::string& message) {
  return DivertOsError(
      DIVERT_ERROR_NOT_SUPPORTED,
      fmt::format("installing the diversion rules failed; this needs iptables and ipset with the kernel's raw, "
                  "mangle and nat tables, NFQUEUE, CT and REDIRECT targets and set, conntrack, addrtype and multiport "
                  "matches: `{}`: {}",
                  fmt::join(argv, " "), message));
}

}  // namespace

bool kernel_has_ipv6() { return access("/proc/net/if_inet6", F_OK) == 0; }

DivertRules::DivertRules(DivertRuleNames names) : _names(std::move(names)) {}

DivertRules::~DivertRules() { remove(); }

namespace {

std::string mark_match(std::uint32_t mark) { return fmt::format("{0:#x}/{0:#x}", mark); }

}  // namespace

std::vector<std::vector<std::string>> DivertRules::ipv4_rules() const {
  const Argv to_queue{"-j", "NFQUEUE", "--queue-num", std::to_string(_names.queue_number)};
  const std::string reinjected = mark_match(_names.reinject_mark);
  return {
      // The engine's own connections (the relays' to their proxies), whatever the address.
      {"-m", "mark", "--mark", mark_match(_names.own_mark), "-j", "ACCEPT"},
      // Re-injected rewritten packets: each direction of a rewritten flow would look like a
      // one-sided connection to the tracker and be marked INVALID.
      {"-m", "mark", "--mark", reinjected, "-j", "CT", "--notrack"},
      {"-m", "mark", "--mark", reinjected, "-j", "ACCEPT"},
      with_prefix({"-p", "tcp", "!", "-d", "127.0.0.0/8", "-m", "set", "--match-set", _names.port_set, "src"},
                  to_queue),
      with_prefix({"-p", "tcp", "--syn", "!", "-d", "127.0.0.0/8"}, to_queue),
      with_prefix({"-p", "tcp", "-s", "127.0.0.1", "-d", "127.0.0.2"}, to_queue),
  };
}

// Only new connections: the engine refuses a chosen program's at once and passes every other;
// connections that were open before the start are never queued.
std::vector<std::vector<std::string>> DivertRules::ipv6_rules() const {
  const std::string reinjected = mark_match(_names.reinject_mark);
  return {
      {"-m", "mark", "--mark", mark_match(_names.own_mark), "-j", "ACCEPT"},
      {"-m", "mark", "--mark", reinjected, "-j", "CT", "--notrack"},
      {"-m", "mark", "--mark", reinjected, "-j", "ACCEPT"},
      {"-p", "tcp", "--syn", "!", "-d", "::1", "-j", "NFQUEUE", "--queue-num", std::to_string(_names.queue_number)},
  };
}

std::vector<std::vector<std::string>> DivertRules::udp_rules(int ip_version) const {
  const bool v4 = ip_version == 4;
  return {
      {"-m", "mark", "--mark", mark_match(_names.own_mark), "-j", "RETURN"},
      {"-m", "mark", "--mark", mark_match(_names.reinject_mark), "-j", "RETURN"},
      {"-p",
       "udp",
       "-m",
       "conntrack",
       "--ctstate",
       "NEW",
       "-m",
       "addrtype",
       "--dst-type",
       "UNICAST",
       "!",
       "-d",
       v4 ? "169.254.0.0/16" : "fe80::/10",
       "-m",
       "multiport",
       "!",
       "--ports",
       v4 ? "67,68" : "546,547",
       "-j",
       "NFQUEUE",
       "--queue-num",
       std::to_string(_names.queue_number)},
  };
}

std::vector<std::string> DivertRules::redirect_rule(std::uint16_t relay_port) const {
  const std::uint32_t mark = _names.kernel_path_mark | (std::uint32_t{relay_port} << 16);
  const std::uint32_t mask = _names.kernel_path_mark | 0xFFFF0000u;
  return {"-p",         "tcp",
          "-m",         "mark",
          "--mark",     fmt::format("{:#x}/{:#x}", mark, mask),
          "-j",         "REDIRECT",
          "--to-ports", std::to_string(relay_port)};
}

std::vector<std::string> DivertRules::jump(const std::string& table) const {
  // The mangle chain holds only UDP rules: TCP, the bulk of what leaves, does not even enter it.
  if (table == "mangle") return {"-p", "udp", "-j", _names.chain};
  return {"-j", _names.chain};
}

bool DivertRules::redirect_to(std::uint16_t relay_port) noexcept {
  if (_names.kernel_path_mark == 0 || !_installed) return false;
  if (_redirected.count(relay_port) != 0) return true;
  if (!_edit_redirect("-A", relay_port)) return false;
  _redirected.insert(relay_port);
  return true;
}

bool DivertRules::remove_redirect(std::uint16_t relay_port) noexcept {
  if (_redirected.count(relay_port) == 0) return true;
  if (!_edit_redirect("-D", relay_port)) return false;
  _redirected.erase(relay_port);
  return true;
}

bool DivertRules::_edit_redirect(const char* action, std::uint16_t relay_port) noexcept {
  try {
    const ToolOutcome outcome =
        run_tool(with_prefix({"iptables", "-w", "-t", "nat", action, _names.chain}, redirect_rule(relay_port)));
    if (!outcome.ok) {
      get_logger(LOGGER_ENGINE)
          ->warn("无法{}中继端口 {} 的内核转发规则: {}", action == std::string_view("-A") ? "添加" : "删除", relay_port,
                 outcome.message);
    }
    return outcome.ok;
  } catch (...) {
    return false;
  }
}

void DivertRules::install() {
  remove();
  const auto run_or_throw = [&](const Argv& argv) {
    if (auto outcome = run_tool(argv); !outcome.ok) {
      _remove_all();
      throw install_error(argv, outcome.message);
    }
  };
  _installed = true;  // from here on, a failure removes the partial installation
  run_or_throw({"ipset", "create", _names.port_set, "bitmap:port", "range", "0-65535"});
  struct Chain {
    std::string tool;
    std::string table;
    std::vector<Argv> rules;
  };
  std::vector<Chain> chains{{"iptables", "raw", ipv4_rules()}, {"iptables", "mangle", udp_rules(4)}};
  // Empty at first: redirect_to() adds a rule per relay port.
  if (_names.kernel_path_mark != 0) chains.push_back({"iptables", "nat", {}});
  if (kernel_has_ipv6()) {
    chains.push_back({"ip6tables", "raw", ipv6_rules()});
    chains.push_back({"ip6tables", "mangle", udp_rules(6)});
  }
  for (const Chain& chain : chains) {
    run_or_throw({chain.tool, "-w", "-t", chain.table, "-N", _names.chain});
    for (const Argv& rule : chain.rules)
      run_or_throw(with_prefix({chain.tool, "-w", "-t", chain.table, "-A", _names.chain}, rule));
  }
  // The jumps go in last, so traffic is diverted only once every rule is in place.
  for (const Chain& chain : chains)
    run_or_throw(with_prefix({chain.tool, "-w", "-t", chain.table, "-I", "OUTPUT", "1"}, jump(chain.table)));
  get_logger(LOGGER_ENGINE)
      ->debug("分流规则已安装: 链 {}, 端口集 {}, 队列 {}", _names.chain, _names.port_set, _names.queue_number);
}

void DivertRules::remove() noexcept {
  if (!_installed) return;
  _remove_all();
}

bool DivertRules::remove_stale() noexcept {
  const bool found = _remove_all();
  if (found) get_logger(LOGGER_ENGINE)->warn("已清除上次运行遗留的分流规则: {}", _names.chain);
  return found;
}

bool DivertRules::_remove_all() noexcept {
  bool found = false;
  try {
    for (const char* tool : {"iptables", "ip6tables"}) {
      for (const char* table : {"raw", "mangle", "nat"}) {
        // The jump first, so nothing is queued into a chain that is being emptied.
        // Earlier versions jumped to the mangle chain with every packet, this one with UDP only.
        std::vector<Argv> jumps{jump(table)};
        if (jumps.front().size() > 2) jumps.push_back({"-j", _names.chain});
        for (const Argv& one_jump : jumps) {
          for (int i = 0;
               i < kMaxStaleJumps && run_tool(with_prefix({tool, "-w", "-t", table, "-D", "OUTPUT"}, one_jump)).ok;
               ++i) {
            found = true;
          }
        }
        if (run_tool({tool, "-w", "-t", table, "-F", _names.chain}).ok) found = true;
        run_tool({tool, "-w", "-t", table, "-X", _names.chain});
      }
    }
    if (run_tool({"ipset", "destroy", _names.port_set}).ok) found = true;
  } catch (...) {
    // Logging or allocation failed: what could not be removed is cleaned up by the next start.
  }
  _installed = false;
  _redirected.clear();
  return found;
}

}  // namespace tovix
