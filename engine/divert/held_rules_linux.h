#pragma once
// Connections held after the queue reader has closed: a rule per connection, in a chain of the
// filter table's OUTPUT path, answers the application's packets with the firewall's reset
// (which carries the number its socket accepts), until the connection is released. Each hold
// has a chain of its own named after the process, so a later start, of this program or of the
// next one after a crash, can tell chains whose process is gone and remove them.
#include <mutex>
#include <string>
#include <vector>

#include "engine/divert/held_connections.h"

namespace tovix {

class HeldRules final : public HeldConnections {
 public:
  // Installs the rules; throws DivertOsError naming the command and what it reported.
  explicit HeldRules(std::vector<TcpTuple> connections);
  // The rules of connections still held stay: their applications may still send. The clean-up
  // of a later start removes them once this process has ended.
  ~HeldRules() override;
  HeldRules(const HeldRules&) = delete;
  HeldRules& operator=(const HeldRules&) = delete;

  std::vector<TcpTuple> held() const override;
  void release(const std::vector<TcpTuple>& gone) noexcept override;
  const std::string& chain() const { return _chain; }

  // Removes the chains of processes that no longer run; true when there were any. Never throws.
  static bool remove_stale() noexcept;

 private:
  std::string _chain;
  mutable std::mutex _lock;
  std::vector<TcpTuple> _held;
};

}  // namespace tovix
