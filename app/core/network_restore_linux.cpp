#include <fstream>
#include <sstream>

#include "app/core/network_restore.h"
#include "engine/divert/divert_rules_linux.h"
#include "engine/divert/nfqueue_diverter_linux.h"
#include "engine/driver_setup/driver_setup.h"

namespace tovix::app {
namespace {

// Whether a program reads the engine's queue in this network namespace: then the rules are a
// running engine's, and removing them would let its diverted connections go out directly.
bool queue_has_reader(std::uint16_t queue_number) {
  std::ifstream bound("/proc/net/netfilter/nfnetlink_queue");
  std::string line;
  while (std::getline(bound, line)) {
    std::istringstream fields(line);
    unsigned number = 0;
    if (fields >> number && number == queue_number) return true;
  }
  return false;
}

}  // namespace

NetworkRestore restore_network() {
  if (!is_admin()) return {1, "恢复网络需要 root 权限: sudo tovixproxy --restore-network"};
  if (queue_has_reader(NfqueueDiverter::DEFAULT_QUEUE_NUMBER)) {
    return {1, "代理引擎正在运行，分流规则由它管理，未作改动；请先停止正在运行的云貂代理"};
  }
  DivertRuleNames names;
  names.queue_number = NfqueueDiverter::DEFAULT_QUEUE_NUMBER;
  names.reinject_mark = NfqueueDiverter::REINJECT_MARK;
  DivertRules rules(names);
  if (!rules.remove_stale()) return {0, "没有遗留的分流规则，网络无需恢复"};
  return {0, "已清除遗留的分流规则: iptables/ip6tables raw 表的 " + names.chain + " 链及 OUTPUT 中的跳转, ipset " +
                 names.port_set + "，网络已恢复"};
}

}  // namespace tovix::app
