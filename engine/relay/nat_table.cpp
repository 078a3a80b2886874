#include "engine/relay/nat_table.h"

#include <chrono>

namespace tovix {

double nat_clock_now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::optional<NatEntry> NatTable::get(int port) const {
  std::lock_guard guard(_lock);
  auto it = _entries.find(port);
  if (it == _entries.end()) return std::nullopt;
  return it->second.entry;
}

bool NatTable::holds(int port, const NatEntry& expected) const {
  std::lock_guard guard(_lock);
  auto it = _entries.find(port);
  return it != _entries.end() && it->second.entry == expected;
}

void NatTable::set(int port, NatEntry entry) {
  std::lock_guard guard(_lock);
  _entries.insert_or_assign(port, Slot{std::move(entry), false});
}

NatClaim NatTable::claim(int port) {
  std::lock_guard guard(_lock);
  auto it = _entries.find(port);
  if (it == _entries.end()) return {};
  if (it->second.claimed) return {std::nullopt, true};
  it->second.claimed = true;
  return {it->second.entry, false};
}

bool NatTable::remove(int port) {
  std::lock_guard guard(_lock);
  return _entries.erase(port) > 0;
}

bool NatTable::remove_if_same(int port, const NatEntry& expected) {
  std::lock_guard guard(_lock);
  auto it = _entries.find(port);
  if (it == _entries.end() || !(it->second.entry == expected)) return false;
  _entries.erase(it);
  return true;
}

std::size_t NatTable::remove_where(const std::function<bool(int, const NatEntry&)>& expired) {
  std::lock_guard guard(_lock);
  return std::erase_if(_entries, [&](const auto& item) { return expired(item.first, item.second.entry); });
}

void NatTable::clear() {
  std::lock_guard guard(_lock);
  _entries.clear();
}

std::size_t NatTable::size() const {
  std::lock_guard guard(_lock);
  return _entries.size();
}

}  // namespace tovix
