#include "engine/divert/held_rules_linux.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "common/logging.h"
#include "common/run_command.h"
#include "common/text.h"
#include "engine/divert/divert_error.h"
#include "engine/divert/divert_rules_linux.h"
#include "engine/divert/packet.h"

namespace tovix {
namespace {

constexpr const char* kChainPrefix = "TOVIX_HELD_";
constexpr int kMaxJumps = 16;

std::string rule_of(const TcpTuple& tuple) {
  return fmt::format("-p tcp -s {}/32 --sport {} -d {}/32 --dport {} -j REJECT --reject-with tcp-reset",
                     format_ipv4(tuple.local_addr), tuple.local_port, format_ipv4(tuple.remote_addr),
                     tuple.remote_port);
}

// Runs `lines` as one batch of the filter table; empty on success, else what went wrong.
std::string restore(const std::vector<std::string>& lines) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / fmt::format("tovix-held-{}-{}.rules", getpid(), counter.fetch_add(1));
  {
    std::ofstream out(file, std::ios::trunc);
    out << "*filter\n";
    for (const auto& line : lines) out << line << "\n";
    out << "COMMIT\n";
    if (!out) return "cannot write " + file.string();
  }
  std::string failure;
  try {
    const CommandResult result =
        run_command({"iptables-restore", "-w", "--noflush", file.string()}, NETFILTER_TOOL_TIMEOUT);
    if (result.exit_code != 0) failure = std::string(strip_whitespace(result.standard_error));
  } catch (const CommandError& error) {
    failure = error.what();
  }
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
  return failure;
}

bool run_quietly(const std::vector<std::string>& argv) {
  try {
    return run_command(argv, NETFILTER_TOOL_TIMEOUT).exit_code == 0;
  } catch (const CommandError&) {
    return false;
  }
}

void remove_chain(const std::string& chain) {
  for (int i = 0; i < kMaxJumps && run_quietly({"iptables", "-w", "-t", "filter", "-D", "OUTPUT", "-j", chain}); ++i) {
  }
  run_quietly({"iptables", "-w", "-t", "filter", "-F", chain});
  run_quietly({"iptables", "-w", "-t", "filter", "-X", chain});
}

bool process_runs(long pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

}  // namespace

HeldRules::HeldRules(std::vector<TcpTuple> connections) : _held(std::move(connections)) {
  static std::atomic<unsigned> holds{0};
  _chain = fmt::format("{}{}_{}", kChainPrefix, getpid(), holds.fetch_add(1));
  std::vector<std::string> lines{":" + _chain + " - [0:0]"};
  for (const TcpTuple& tuple : _held) lines.push_back("-A " + _chain + " " + rule_of(tuple));
  lines.push_back("-I OUTPUT 1 -j " + _chain);
  if (const std::string failure = restore(lines); !failure.empty()) {
    remove_chain(_chain);
    throw DivertOsError(DIVERT_ERROR_NOT_SUPPORTED,
                        fmt::format("holding diverted connections failed; this needs iptables-restore and the "
                                    "kernel's REJECT target: {}",
                                    failure));
  }
  get_logger(LOGGER_ENGINE)->info("停止后仍拦截 {} 个已分流连接，直至其套接字关闭 (链 {})", _held.size(), _chain);
}

HeldRules::~HeldRules() {
  std::lock_guard guard(_lock);
  if (_held.empty()) return;
  get_logger(LOGGER_ENGINE)
      ->warn("{} 个已分流连接仍可能发送，其拦截规则保留至下次启动时清除 (链 {})", _held.size(), _chain);
}

std::vector<TcpTuple> HeldRules::held() const {
  std::lock_guard guard(_lock);
  return _held;
}

void HeldRules::release(const std::vector<TcpTuple>& gone) noexcept {
  try {
    std::lock_guard guard(_lock);
    std::vector<std::string> lines;
    for (const TcpTuple& tuple : gone) {
      auto it = std::find(_held.begin(), _held.end(), tuple);
      if (it == _held.end()) continue;
      _held.erase(it);
      lines.push_back("-D " + _chain + " " + rule_of(tuple));
    }
    if (lines.empty()) return;
    if (_held.empty()) {
      remove_chain(_chain);
      return;
    }
    if (const std::string failure = restore(lines); !failure.empty())
      get_logger(LOGGER_ENGINE)->debug("解除连接拦截失败: {}", failure);
  } catch (...) {
    // What stays held is released by a later call or the next start's clean-up.
  }
}

bool HeldRules::remove_stale() noexcept {
  bool found = false;
  try {
    const CommandResult listing = run_command({"iptables", "-w", "-t", "filter", "-S"}, NETFILTER_TOOL_TIMEOUT);
    std::istringstream lines(listing.standard_output);
    const std::string declare = std::string("-N ") + kChainPrefix;
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with(declare)) continue;
      const std::string chain = line.substr(3);
      const long pid = std::strtol(chain.c_str() + std::char_traits<char>::length(kChainPrefix), nullptr, 10);
      if (pid <= 0 || pid == getpid() || process_runs(pid)) continue;
      remove_chain(chain);
      found = true;
    }
    if (found) get_logger(LOGGER_ENGINE)->warn("已清除上次运行遗留的连接拦截规则");
  } catch (...) {
  }
  return found;
}

}  // namespace tovix
