#include "engine/divert/fake_diverter.h"

#include <algorithm>

#include "engine/divert/checksum.h"

namespace tovix {

DivertOsError FakeDiverter::access_denied() { return DivertOsError(DIVERT_ERROR_ACCESS_DENIED, "拒绝访问。"); }

DivertOsError FakeDiverter::invalid_parameter() { return DivertOsError(DIVERT_ERROR_INVALID_PARAMETER, "参数错误。"); }

DivertOsError FakeDiverter::invalid_image_hash() {
  return DivertOsError(DIVERT_ERROR_INVALID_IMAGE_HASH, "Windows 无法验证此文件的数字签名。");
}

DivertOsError FakeDiverter::not_loaded() {
  return library_not_loaded_error(DIVERT_ERROR_MOD_NOT_FOUND, "WinDivert64.dll, WinDivert.dll: 找不到指定的模块。");
}

void FakeDiverter::push(Packet packet) {
  std::lock_guard lock(_lock);
  _queue.push_back(std::move(packet));
  if (_blocked_receivers > 0) _packets.notify_all();
}

void FakeDiverter::push_all(std::vector<Packet> packets) {
  std::lock_guard lock(_lock);
  for (Packet& packet : packets) _queue.push_back(std::move(packet));
  if (_blocked_receivers > 0) _packets.notify_all();
}

void FakeDiverter::script(std::mutex& lock, std::deque<DivertOsError>& failures, DivertOsError error) {
  std::lock_guard guard(lock);
  failures.push_back(std::move(error));
}

void FakeDiverter::fail_next_register(DivertOsError error) { script(_lock, _register_failures, std::move(error)); }

void FakeDiverter::fail_next_open(DivertOsError error) { script(_lock, _open_failures, std::move(error)); }

void FakeDiverter::fail_next_recv(DivertOsError error) {
  std::lock_guard lock(_lock);
  _recv_failures.push_back(std::move(error));
  ++_recv_failures_scripted;
}

void FakeDiverter::fail_next_send(DivertOsError error) { script(_record_lock, _send_failures, std::move(error)); }

std::vector<Packet> FakeDiverter::sent() const {
  std::lock_guard lock(_record_lock);
  return {_sent.begin(), _sent.end()};
}

std::vector<std::string> FakeDiverter::opened_filters() const {
  std::lock_guard lock(_lock);
  return _filters;
}

std::vector<std::pair<DivertParam, std::uint64_t>> FakeDiverter::params() const {
  std::lock_guard lock(_lock);
  return _params;
}

int FakeDiverter::register_calls() const {
  std::lock_guard lock(_lock);
  return _register_calls;
}

bool FakeDiverter::wait_until_idle(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_lock);
  ++_idle_waiters;
  const bool idle = _idle.wait_for(lock, timeout, [this] { return _blocked_receivers > 0 && _queue.empty(); });
  --_idle_waiters;
  return idle;
}

bool FakeDiverter::wait_for_sent(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_record_lock);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Each waiter asks to be woken at its count; send wakes the waiters only then, so that a
  // waiter does not cost the packet loop a wake-up per packet.
  while (_sent.size() < count) {
    _sent_wanted = std::min(_sent_wanted, count);
    if (_observed.wait_until(lock, deadline) == std::cv_status::timeout) return _sent.size() >= count;
  }
  return true;
}

void FakeDiverter::throw_scripted(std::deque<DivertOsError>& failures) {
  if (failures.empty()) return;
  DivertOsError error = std::move(failures.front());
  failures.pop_front();
  throw error;
}

void FakeDiverter::register_driver() {
  std::lock_guard lock(_lock);
  ++_register_calls;
  throw_scripted(_register_failures);
}

void FakeDiverter::open(const std::string& filter) {
  std::lock_guard lock(_lock);
  _open = false;
  _filters.push_back(filter);
  throw_scripted(_open_failures);
  _open = true;
  _shut_down = false;
  _wake_all();
}

void FakeDiverter::set_param(DivertParam param, std::uint64_t value) {
  std::lock_guard lock(_lock);
  if (!_open) throw handle_not_open_error();
  _params.emplace_back(param, value);
}

std::optional<Packet> FakeDiverter::_next_taken() {
  if (!_open || _recv_failures_scripted > 0) return std::nullopt;
  return _pop_taken();
}

std::optional<Packet> FakeDiverter::_pop_taken() {
  std::lock_guard taken(_taken_lock);
  if (_taken.empty()) return std::nullopt;
  Packet packet = std::move(_taken.front());
  _taken.pop_front();
  return packet;
}

std::optional<Packet> FakeDiverter::recv() {
  if (std::optional<Packet> packet = _next_taken()) return packet;
  std::unique_lock lock(_lock);
  if (!_open) throw handle_not_open_error();
  if (!_recv_failures.empty()) {
    --_recv_failures_scripted;
    throw_scripted(_recv_failures);
  }
  // What another receiver took and left goes first. The taken packets' lock is only ever taken
  // after the queue's, and never held while waiting.
  if (std::optional<Packet> packet = _pop_taken()) return packet;
  ++_blocked_receivers;
  if (_queue.empty() && _idle_waiters > 0) _idle.notify_all();
  _packets.wait(lock, [this] { return !_queue.empty() || _shut_down || !_open; });
  --_blocked_receivers;
  if (_queue.empty()) return std::nullopt;
  Packet packet = std::move(_queue.front());
  _queue.pop_front();
  std::lock_guard taken(_taken_lock);
  for (std::size_t i = 1; i < TAKE_AT_ONCE && !_queue.empty(); ++i) {
    _taken.push_back(std::move(_queue.front()));
    _queue.pop_front();
  }
  return packet;
}

void FakeDiverter::send(const Packet& packet) {
  if (!_open) throw handle_not_open_error();
  std::lock_guard lock(_record_lock);
  throw_scripted(_send_failures);
  _sent.push_back(packet);
  if (_sent.size() >= _sent_wanted) {
    _sent_wanted = NOBODY_WAITS;
    _observed.notify_all();
  }
}

void FakeDiverter::_wake_all() {
  _packets.notify_all();
  _idle.notify_all();
  _observed.notify_all();
}

void FakeDiverter::drop(const Packet&) {
  if (!_open) throw handle_not_open_error();
  std::lock_guard lock(_record_lock);
  ++_dropped;
  _observed.notify_all();
}

void FakeDiverter::carry_to_relays(bool carry) {
  std::lock_guard lock(_record_lock);
  _carries = carry;
}

std::vector<int> FakeDiverter::carried() const {
  std::lock_guard lock(_record_lock);
  return _carried;
}

bool FakeDiverter::carry_to_relay(const Packet&, int relay_port) {
  if (!_open) throw handle_not_open_error();
  std::lock_guard lock(_record_lock);
  if (!_carries) return false;
  _carried.push_back(relay_port);
  _observed.notify_all();
  return true;
}

std::vector<int> FakeDiverter::released() const {
  std::lock_guard lock(_record_lock);
  return _released;
}

void FakeDiverter::release_relay(int relay_port) noexcept {
  std::lock_guard lock(_record_lock);
  _released.push_back(relay_port);
}

void FakeDiverter::inject(const Packet& packet) {
  if (!_open) throw handle_not_open_error();
  std::lock_guard lock(_record_lock);
  _injected.push_back(packet);
  _observed.notify_all();
}

std::vector<Packet> FakeDiverter::injected() const {
  std::lock_guard lock(_record_lock);
  return _injected;
}

int FakeDiverter::dropped() const {
  std::lock_guard lock(_record_lock);
  return _dropped;
}

bool FakeDiverter::wait_for_injected(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_record_lock);
  return _observed.wait_for(lock, timeout, [&] { return _injected.size() >= count; });
}

void FakeDiverter::recalculate_checksums(Packet& packet) { compute_checksums(packet); }

void FakeDiverter::shutdown() noexcept {
  std::lock_guard lock(_lock);
  if (!_open) return;
  _shut_down = true;
  _wake_all();
}

void FakeDiverter::close() noexcept {
  std::lock_guard lock(_lock);
  _open = false;
  _wake_all();
}

// What a hold keeps, in the diverter's record until released or destroyed.
class FakeDiverter::Hold final : public HeldConnections {
 public:
  Hold(std::shared_ptr<Holds> holds, std::vector<TcpTuple> mine) : _holds(std::move(holds)), _mine(std::move(mine)) {
    std::lock_guard lock(_holds->lock);
    _holds->held.insert(_holds->held.end(), _mine.begin(), _mine.end());
  }
  ~Hold() override { release(_mine); }
  std::vector<TcpTuple> held() const override {
    std::lock_guard lock(_holds->lock);
    return _mine;
  }
  void release(const std::vector<TcpTuple>& gone) noexcept override {
    std::lock_guard lock(_holds->lock);
    for (const TcpTuple& tuple : std::vector<TcpTuple>(gone)) {
      auto mine = std::find(_mine.begin(), _mine.end(), tuple);
      if (mine == _mine.end()) continue;
      _mine.erase(mine);
      auto all = std::find(_holds->held.begin(), _holds->held.end(), tuple);
      if (all != _holds->held.end()) _holds->held.erase(all);
    }
  }

 private:
  std::shared_ptr<Holds> _holds;
  std::vector<TcpTuple> _mine;
};

std::unique_ptr<HeldConnections> FakeDiverter::hold_after_close(const std::vector<TcpTuple>& connections) {
  {
    std::lock_guard lock(_lock);
    if (!_open) throw handle_not_open_error();
  }
  return std::make_unique<Hold>(_holds, connections);
}

std::vector<TcpTuple> FakeDiverter::held() const {
  std::lock_guard lock(_holds->lock);
  return _holds->held;
}

bool FakeDiverter::is_open() const noexcept {
  std::lock_guard lock(_lock);
  return _open;
}

}  // namespace tovix
