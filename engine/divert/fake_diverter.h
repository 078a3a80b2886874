#pragma once
// A diverter without a driver, for tests: it hands out the packets a test queued, records what
// was sent, and fails the calls a test scripted to fail. Scripting and observing are safe from
// any thread while the code under test uses the diverter.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/divert/packet_diverter.h"

namespace tovix {

class FakeDiverter final : public PacketDiverter {
 public:
  // Open failures as a Chinese-language Windows reports them.
  static DivertOsError access_denied();       // 5, not an elevated administrator
  static DivertOsError invalid_parameter();   // 87, driver missing or a bad filter
  static DivertOsError invalid_image_hash();  // 577, driver signature rejected
  static DivertOsError not_loaded();          // 126, the library file is missing

  // recv hands these out in order.
  void push(Packet packet);
  void push_all(std::vector<Packet> packets);
  // Each makes the next call of that kind throw the error instead of doing its work.
  void fail_next_register(DivertOsError error);
  void fail_next_open(DivertOsError error);
  void fail_next_recv(DivertOsError error);
  void fail_next_send(DivertOsError error);
  // Whether carry_to_relay takes connections, as a system that redirects them does (off at first).
  void carry_to_relays(bool carry);

  std::vector<Packet> sent() const;
  // Packets the code under test built and injected, and how many captured ones it dropped.
  std::vector<Packet> injected() const;
  int dropped() const;
  // The relay ports of the SYNs carry_to_relay took, in order.
  std::vector<int> carried() const;
  // The relay ports release_relay was told of, in order.
  std::vector<int> released() const;
  bool wait_for_injected(std::size_t count, std::chrono::milliseconds timeout) const;
  std::vector<std::string> opened_filters() const;
  std::vector<std::pair<DivertParam, std::uint64_t>> params() const;
  int register_calls() const;
  // Waits until a recv is blocked with nothing left to hand out, i.e. every packet pushed so
  // far was taken and its handling finished. False when the time-out passed first.
  bool wait_until_idle(std::chrono::milliseconds timeout) const;
  // Waits until at least `count` packets were sent in total.
  bool wait_for_sent(std::size_t count, std::chrono::milliseconds timeout) const;
  // Connections held by hold_after_close and not released yet (their holders still exist).
  std::vector<TcpTuple> held() const;

  void register_driver() override;
  void open(const std::string& filter) override;
  void set_param(DivertParam param, std::uint64_t value) override;
  std::optional<Packet> recv() override;
  void send(const Packet& packet) override;
  void drop(const Packet& packet) override;
  void inject(const Packet& packet) override;
  bool carry_to_relay(const Packet& syn, int relay_port) override;
  void release_relay(int relay_port) noexcept override;
  void recalculate_checksums(Packet& packet) override;
  void shutdown() noexcept override;
  void close() noexcept override;
  bool is_open() const noexcept override;
  std::unique_ptr<HeldConnections> hold_after_close(const std::vector<TcpTuple>& connections) override;

 private:
  struct Holds {
    std::mutex lock;
    std::vector<TcpTuple> held;
  };
  class Hold;

  void script(std::mutex& lock, std::deque<DivertOsError>& failures, DivertOsError error);
  // Throws the first scripted failure of `failures`, if any. Call with its lock held.
  static void throw_scripted(std::deque<DivertOsError>& failures);
  // The next packet of what a receiver took from the queue in one go, if any and nothing
  // scripted or closed stands in its way.
  std::optional<Packet> _next_taken();
  std::optional<Packet> _pop_taken();

  // Call with _lock held: wakes receivers and observers (open, shut down, closed).
  void _wake_all();

  static constexpr std::size_t NOBODY_WAITS = std::numeric_limits<std::size_t>::max();
  // Packets a receiver takes from the queue under one lock, as a batching driver hands them out.
  static constexpr std::size_t TAKE_AT_ONCE = 64;

  // The queue side: what tests push and receivers take, the scripted failures of the calls
  // before a packet moves, and the handle's state. Receivers wait on _packets, idle waiters on
  // _idle; each is woken only when someone waits on it.
  mutable std::mutex _lock;
  std::condition_variable _packets;
  mutable std::condition_variable _idle;
  mutable int _idle_waiters = 0;
  std::deque<Packet> _queue;
  std::vector<std::string> _filters;
  std::vector<std::pair<DivertParam, std::uint64_t>> _params;
  std::deque<DivertOsError> _register_failures, _open_failures, _recv_failures;
  int _register_calls = 0;
  int _blocked_receivers = 0;
  bool _shut_down = false;
  // Changed under _lock; read without it by the receiver's and the sender's quick checks.
  std::atomic<bool> _open{false};
  std::atomic<int> _recv_failures_scripted{0};

  // Taken from the queue, not yet handed out; only receivers use it.
  std::mutex _taken_lock;
  std::deque<Packet> _taken;

  // The record side: what the code under test sent, injected and dropped. Kept apart from the
  // queue so that a test pushing packets does not contend with the packet loop's sends.
  mutable std::mutex _record_lock;
  mutable std::condition_variable _observed;
  mutable std::size_t _sent_wanted = NOBODY_WAITS;
  std::deque<Packet> _sent;
  std::vector<Packet> _injected;
  int _dropped = 0;
  std::deque<DivertOsError> _send_failures;
  bool _carries = false;
  std::vector<int> _carried;
  std::vector<int> _released;

  std::shared_ptr<Holds> _holds = std::make_shared<Holds>();
};

}  // namespace tovix
