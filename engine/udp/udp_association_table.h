#pragma once
// Per program socket (its local address and port), the state that carries its datagrams
// through the proxy, and how long that socket may stay quiet before the state is dropped:
// ASSOCIATION_IDLE_TIMEOUT, or DNS_ASSOCIATION_IDLE_TIMEOUT while every datagram went to port
// 53 (a resolver's socket is used for one look-up). Time comes from an injected monotonic
// clock. Not locked: its owner serialises the calls.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/ip_address.h"

namespace tovix {

using MonotonicClock = std::function<std::chrono::steady_clock::time_point()>;

inline constexpr std::chrono::seconds ASSOCIATION_IDLE_TIMEOUT{60};
inline constexpr std::chrono::seconds DNS_ASSOCIATION_IDLE_TIMEOUT{10};
inline constexpr std::uint16_t DNS_PORT = 53;

template <typename Value>
class UdpAssociationTable {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  explicit UdpAssociationTable(MonotonicClock clock) : _clock(std::move(clock)) {}

  // The value for a program socket, or null. Does not count as activity.
  Value* find(const IpEndpoint& program) {
    const auto found = _entries.find(program);
    return found == _entries.end() ? nullptr : &found->second.value;
  }

  // A datagram to or from `destination_port` passed: the idle time starts again.
  void touch(const IpEndpoint& program, std::uint16_t destination_port) {
    const auto found = _entries.find(program);
    if (found == _entries.end()) return;
    found->second.last_active = _clock();
    found->second.dns_only = found->second.dns_only && destination_port == DNS_PORT;
  }
  // Answers keep a socket alive without changing what it talks to.
  void touch(const IpEndpoint& program) {
    if (const auto found = _entries.find(program); found != _entries.end()) found->second.last_active = _clock();
  }

  // Adds (or replaces) the value for a program socket whose first datagram goes to
  // `destination_port`.
  Value& insert(const IpEndpoint& program, std::uint16_t destination_port, Value value) {
    Entry entry{std::move(value), _clock(), destination_port == DNS_PORT};
    return _entries.insert_or_assign(program, std::move(entry)).first->second.value;
  }

  std::optional<Value> remove(const IpEndpoint& program) {
    const auto found = _entries.find(program);
    if (found == _entries.end()) return std::nullopt;
    std::optional<Value> value(std::move(found->second.value));
    _entries.erase(found);
    return value;
  }

  // Removes and returns every entry that has been quiet for longer than its limit.
  std::vector<std::pair<IpEndpoint, Value>> take_idle() {
    const TimePoint now = _clock();
    std::vector<std::pair<IpEndpoint, Value>> idle;
    for (auto it = _entries.begin(); it != _entries.end();) {
      if (now - it->second.last_active >= limit(it->second)) {
        idle.emplace_back(it->first, std::move(it->second.value));
        it = _entries.erase(it);
      } else {
        ++it;
      }
    }
    return idle;
  }

  // The program socket quiet the longest, to make room when the table is full.
  std::optional<IpEndpoint> least_recently_active() const {
    const auto oldest = std::min_element(_entries.begin(), _entries.end(), [](const auto& a, const auto& b) {
      return a.second.last_active < b.second.last_active;
    });
    if (oldest == _entries.end()) return std::nullopt;
    return oldest->first;
  }

  // When the next entry falls idle, if any.
  std::optional<TimePoint> next_expiry() const {
    std::optional<TimePoint> next;
    for (const auto& [program, entry] : _entries) {
      const TimePoint at = entry.last_active + limit(entry);
      if (!next || at < *next) next = at;
    }
    return next;
  }

  std::size_t size() const { return _entries.size(); }
  bool empty() const { return _entries.empty(); }

  template <typename Visit>
  void for_each(Visit&& visit) {
    for (auto& [program, entry] : _entries) visit(program, entry.value);
  }
  template <typename Visit>
  void for_each(Visit&& visit) const {
    for (const auto& [program, entry] : _entries) visit(program, entry.value);
  }

 private:
  struct Entry {
    Value value;
    TimePoint last_active;
    bool dns_only = false;
  };
  static std::chrono::steady_clock::duration limit(const Entry& entry) {
    return entry.dns_only ? DNS_ASSOCIATION_IDLE_TIMEOUT : ASSOCIATION_IDLE_TIMEOUT;
  }

  MonotonicClock _clock;
  std::unordered_map<IpEndpoint, Entry, IpEndpointHash> _entries;
};

}  // namespace tovix
