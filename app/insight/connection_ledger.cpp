#include "app/insight/connection_ledger.h"

#include <algorithm>
#include <map>

namespace tovix::insight {

ConnectionLedger::ConnectionLedger(std::function<double()> wall_clock) : _clock(std::move(wall_clock)) {}

void ConnectionLedger::update(const std::vector<ConnectionSample>& live) {
  const double now = _clock();
  std::map<ConnectionKey, const ConnectionSample*> fresh;
  for (const ConnectionSample& sample : live) fresh.emplace(key_of(sample), &sample);

  std::erase_if(_rows, [&](const LedgerRow& row) {
    return row.ended_at && !fresh.contains(key_of(row.connection)) && now - *row.ended_at >= FADE_SECONDS;
  });
  for (LedgerRow& row : _rows) {
    auto it = fresh.find(key_of(row.connection));
    if (it == fresh.end()) {
      if (!row.ended_at) row.ended_at = now;
      continue;
    }
    row.connection = *it->second;
    row.ended_at.reset();
    fresh.erase(it);
  }
  // New connections in the engine's order, not the key order of the map.
  for (const ConnectionSample& sample : live) {
    if (fresh.erase(key_of(sample)) > 0) _rows.push_back({sample, std::nullopt});
  }
}

double ConnectionLedger::duration(const LedgerRow& row) const {
  const double end = row.ended_at.value_or(_clock());
  return std::max(0.0, end - row.connection.started_at);
}

double ConnectionLedger::opacity(const LedgerRow& row) const {
  if (!row.ended_at) return 1.0;
  return std::clamp(1.0 - (_clock() - *row.ended_at) / FADE_SECONDS, 0.0, 1.0);
}

}  // namespace tovix::insight
