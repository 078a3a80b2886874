#include "engine/pool/proxy_selector.h"

#include <utility>

namespace tovix::pool {
namespace {

// The first proxy that is up, looking from `start` on and wrapping round.
std::optional<std::size_t> first_usable_from(std::size_t start, std::size_t count, const ProxyUsable& usable) {
  for (std::size_t step = 0; step < count; ++step) {
    const std::size_t index = (start + step) % count;
    if (!usable || usable(index)) return index;
  }
  return std::nullopt;
}

}  // namespace

ProxySelector::ProxySelector(SpreadMode mode, PortOwner port_owner) : _port_owner(std::move(port_owner)), _mode(mode) {}

std::size_t ProxySelector::_take_turn(std::size_t count, const ProxyUsable& usable, bool& found) {
  const std::size_t start = _next % count;
  const std::optional<std::size_t> index = first_usable_from(start, count, usable);
  found = index.has_value();
  const std::size_t chosen = index.value_or(start);
  _next = chosen + 1;
  return chosen;
}

std::optional<ProxyChoice> ProxySelector::choose(const NewConnection& connection, std::size_t proxy_count,
                                                 const ProxyUsable& usable) {
  if (proxy_count == 0) return std::nullopt;
  const SpreadMode mode = this->mode();
  // The port map may refresh itself to answer: asked outside the lock.
  std::uint32_t program = 0;
  if (mode == SpreadMode::per_program) {
    program = connection.packet_pid;
    if (program == 0 && _port_owner) program = _port_owner(connection.src_port);
  }
  std::lock_guard guard(_lock);
  ProxyChoice choice;
  choice.program = program;
  if (mode == SpreadMode::first_available) {
    const std::optional<std::size_t> index = first_usable_from(0, proxy_count, usable);
    choice.index = index.value_or(0);
    choice.usable = index.has_value();
    return choice;
  }
  if (program != 0) {
    if (auto own = _program_proxies.find(program); own != _program_proxies.end() && own->second < proxy_count) {
      // The program keeps its own proxy; while that is down it borrows the next one up and
      // returns once its own is back.
      const std::optional<std::size_t> index = first_usable_from(own->second, proxy_count, usable);
      choice.index = index.value_or(own->second);
      choice.usable = index.has_value();
      return choice;
    }
  }
  choice.index = _take_turn(proxy_count, usable, choice.usable);
  if (program != 0) _program_proxies[program] = choice.index;
  return choice;
}

void ProxySelector::reset() {
  std::lock_guard guard(_lock);
  _next = 0;
  _program_proxies.clear();
}

void ProxySelector::set_mode(SpreadMode mode) {
  std::lock_guard guard(_lock);
  _mode = mode;
}

SpreadMode ProxySelector::mode() const {
  std::lock_guard guard(_lock);
  return _mode;
}

std::map<std::uint32_t, std::size_t> ProxySelector::program_proxies() const {
  std::lock_guard guard(_lock);
  return _program_proxies;
}

std::size_t ProxySelector::next_index() const {
  std::lock_guard guard(_lock);
  return _next;
}

}  // namespace tovix::pool
