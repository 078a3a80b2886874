#pragma once
// The rows of the live-connections table: the engine's snapshot of diverted connections,
// merged once a second, with each finished connection kept for a few seconds (fading) so a
// short connection can still be seen. The wall clock is injected.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/insight/insight_core_export.h"

namespace tovix::insight {

// One diverted connection as the engine reports it.
struct ConnectionSample {
  int client_port = 0;
  std::uint32_t pid = 0;
  std::string program;      // image name, empty when unknown
  std::string destination;  // original destination "ip:port"
  std::string proxy;        // proxy host the relay uses
  std::uint64_t upload = 0;
  std::uint64_t download = 0;
  double started_at = 0.0;  // wall-clock seconds
  std::string host_name;    // the name the relay read from the connection; empty when none
  std::string rule;         // the routing rule that chose its way; empty: none matched
  bool udp = false;         // a program's UDP socket carried through the proxy, not a TCP connection
};

// A client port is reused by later connections; with the start time it names one connection.
using ConnectionKey = std::pair<int, double>;
inline ConnectionKey key_of(const ConnectionSample& sample) { return {sample.client_port, sample.started_at}; }

struct LedgerRow {
  ConnectionSample connection;
  std::optional<double> ended_at;  // set once the connection left the snapshot
};

class INSIGHT_CORE_EXPORT ConnectionLedger {
 public:
  static constexpr double FADE_SECONDS = 5.0;

  explicit ConnectionLedger(std::function<double()> wall_clock);

  // Live connections keep their place and take the new counts; connections missing from
  // `live` are finished; finished ones older than the fade are dropped; new ones go last.
  void update(const std::vector<ConnectionSample>& live);
  const std::vector<LedgerRow>& rows() const { return _rows; }

  // Seconds the connection has lasted (until its end for finished ones), never negative.
  double duration(const LedgerRow& row) const;
  // 1 for a live row, falling to 0 over the fade of a finished one.
  double opacity(const LedgerRow& row) const;

 private:
  std::function<double()> _clock;
  std::vector<LedgerRow> _rows;
};

}  // namespace tovix::insight
