#pragma once
// Watches the connections a run held when its diversion closed (their applications' sockets
// could still send) and releases each once the system lists no socket on its local port any
// more. A thread looks every period while anything is held; what is still held when the watch
// goes stays held as its holder decides (see HeldConnections).
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/core/tunnel_core_export.h"
#include "engine/divert/held_connections.h"
#include "engine/process/process_queries.h"

namespace tovix {

class TUNNEL_CORE_EXPORT HeldConnectionsWatch {
 public:
  HeldConnectionsWatch(std::shared_ptr<ProcessQueries> queries, std::chrono::milliseconds period);
  ~HeldConnectionsWatch();
  HeldConnectionsWatch(const HeldConnectionsWatch&) = delete;
  HeldConnectionsWatch& operator=(const HeldConnectionsWatch&) = delete;

  void add(std::unique_ptr<HeldConnections> held);
  std::vector<TcpTuple> held() const;
  // One look at the system's connections, releasing what is gone.
  void check_now();

 private:
  void _loop();

  const std::shared_ptr<ProcessQueries> _queries;
  const std::chrono::milliseconds _period;
  mutable std::mutex _lock;
  std::condition_variable _wake;
  std::vector<std::unique_ptr<HeldConnections>> _holds;
  std::thread _thread;
  bool _watching = false;  // the thread runs its loop
  bool _stopping = false;
};

}  // namespace tovix
