#pragma once
// One connection's tunnel opened on the relay's event loop, without blocking it: a connect that
// does not wait (each of the proxy's addresses in turn), then the handler's dialogue on
// readiness, each within the handler's time-outs. A host name is asked of the proxy first and
// the address once more when the proxy cannot resolve the name. The outcome goes to the
// relay's observer and failures to the log, as for a tunnel opened by a blocking handler.
//
// Only a proxy given by host name needs a look-up, which may block: the loop has it done
// elsewhere and hands the addresses in.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/socket.h"
#include "engine/relay/event_poller.h"
#include "engine/relay/relay_context.h"
#include "engine/relay/tunnel_opener.h"
#include "engine/relay/upstream_handler.h"

namespace tovix {

using HandshakeClock = std::chrono::steady_clock;

class TunnelHandshake {
 public:
  enum class State { resolving, connecting, talking, done, failed };

  // Null when the order's handler can only block. The socket is watched on `poller` under
  // `token` while the handshake owns it.
  static std::unique_ptr<TunnelHandshake> create(const RelayContext& context, TunnelOrder order, EventPoller& poller,
                                                 std::uint64_t token);
  // Stops watching and closes the socket unless it was taken; reports nothing.
  ~TunnelHandshake();
  TunnelHandshake(const TunnelHandshake&) = delete;
  TunnelHandshake& operator=(const TunnelHandshake&) = delete;

  // Connects when the host is an address; otherwise waits in `resolving` for resolved().
  void start(HandshakeClock::time_point now);
  // The name to look up while `resolving`.
  const std::string& host() const { return _host; }
  // The look-up's outcome: the addresses, or the failure's text.
  void resolved(const std::vector<std::string>& addresses, const std::string& failure, HandshakeClock::time_point now);
  void on_ready(const EventPoller::Event& event, HandshakeClock::time_point now);
  // Ends an attempt whose time is up; call when due() has come.
  void on_timer(HandshakeClock::time_point now);

  State state() const { return _state; }
  // When the current step's time is up; nothing while resolving or once decided.
  std::optional<HandshakeClock::time_point> due() const;
  const TunnelOrder& order() const { return _order; }
  // Once done: the tunnel's socket, no longer watched, non-blocking, and in `received` what the
  // upstream sent after its last answer (the tunnel's first bytes towards the client).
  std::shared_ptr<Socket> take_socket(std::string& received);

 private:
  TunnelHandshake(const RelayContext& context, TunnelOrder order, EventPoller& poller, std::uint64_t token,
                  HandshakePlan plan);

  void _begin(HandshakeClock::time_point now);
  void _connect_next(HandshakeClock::time_point now);
  void _connected(HandshakeClock::time_point now);
  void _exchange(bool readable, HandshakeClock::time_point now);
  void _fail(const std::exception& error, HandshakeClock::time_point now);
  void _succeed();
  void _watch(unsigned wanted);
  void _drop_socket() noexcept;
  // Runs a step of the handshake and turns its failures into the handler's errors.
  template <typename Step>
  void _guarded(HandshakeClock::time_point now, Step&& step);

  const RelayContext& _context;
  TunnelOrder _order;
  EventPoller& _poller;
  const std::uint64_t _token;
  HandshakePlan _plan;
  bool _by_name;  // the proxy is being asked for order.host_name
  std::string _host;
  int _port;

  State _state = State::resolving;
  unsigned _attempt = 0;  // counts the tries: by name, then by address
  std::vector<std::string> _addresses;
  std::size_t _next_address = 0;
  std::string _connecting_to;
  std::string _last_connect_failure;
  HandshakeClock::time_point _deadline{};
  std::shared_ptr<Socket> _socket;
  unsigned _watching = 0;
  std::string _unsent;
  std::string _received;  // received and not taken by the dialogue yet
};

}  // namespace tovix
