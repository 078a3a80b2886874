#pragma once
// `tovixproxy --restore-network`: puts the network back as it was before the engine ran, for
// when a run was killed before it could clean up (a crash, SIGKILL, power loss during a stop).
// It does what the next start of the engine does first, without starting it. On Linux that is
// removing the diversion rules a killed run left in netfilter (without them every new TCP
// connection stays queued with no reader); on Windows the driver handle ends with the process,
// so there is nothing to do. Blocking (it runs iptables and ipset).
#include <string>

namespace tovix::app {

struct NetworkRestore {
  int exit_code = 0;  // 0: restored or nothing to restore
  std::string message;
};

NetworkRestore restore_network();

}  // namespace tovix::app
