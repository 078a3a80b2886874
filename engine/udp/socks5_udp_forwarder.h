#pragma once
// Carries programs' UDP datagrams through one SOCKS5 proxy: one association per program socket
// (its local address and port), opened when its first datagram comes and closed when it has
// been quiet too long (see UdpAssociationTable), when the proxy ends it, or when an answer
// from its relay is malformed; the next datagram then opens a new one. Answers come back
// through a callback with the address they came from, so the program can be handed them as
// if from there. A proxy that refuses UDP ASSOCIATE is remembered: every later datagram is
// refused at once.
//
// Threads: send() and expire_idle() may be called from any thread and never block on the
// network. Answers are read on the forwarder's own thread; associations are opened on opener
// threads. The callbacks run on those threads, must return quickly and must not call stop().
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "common/ip_address.h"
#include "engine/udp/socks5_udp_association.h"
#include "engine/udp/udp_association_table.h"
#include "engine/udp/udp_proxy_export.h"

namespace tovix {

enum class UdpSendResult {
  sent,     // on its way to the proxy
  held,     // the association is being opened; sent once it stands
  refused,  // the proxy does not carry UDP: refuse the datagram to the program
  dropped,  // not sent (no room, too large, or stopping); a datagram may be lost
};

class UDP_PROXY_EXPORT Socks5UdpForwarder {
 public:
  struct Callbacks {
    // An answer for the program socket `program` from `remote`.
    std::function<void(const IpEndpoint& program, const IpEndpoint& remote, std::span<const std::uint8_t> payload)>
        deliver;
    // A datagram that was held while its association opened and will never be sent:
    // `proxy_refused` when the proxy refused UDP (answer it with a port unreachable), otherwise
    // the association could not be opened (proxy unreachable, sign-in refused, time-out).
    std::function<void(const IpEndpoint& program, const IpEndpoint& destination, std::span<const std::uint8_t> payload,
                       bool proxy_refused)>
        undeliverable;
  };
  // One program socket's traffic through the proxy while its association stands.
  struct FlowTraffic {
    IpEndpoint program;
    IpEndpoint destination;        // where its latest datagram went
    std::uint64_t bytes_up = 0;    // payload bytes sent towards the proxy
    std::uint64_t bytes_down = 0;  // payload bytes of the answers handed back
    double started_at = 0.0;       // wall-clock seconds of its first datagram
  };
  struct Options {
    // For opening an association; stop() ends one being opened at once.
    HandshakeTimeouts timeouts{std::chrono::seconds(5), std::chrono::seconds(5)};
    // More program sockets than this close the quietest association. Each association holds two
    // sockets, and Windows waits on at most 1024 at once.
    std::size_t max_associations = 256;
    std::size_t max_held_per_association = 32;
    std::size_t opener_threads = 2;
    MonotonicClock clock = [] { return std::chrono::steady_clock::now(); };
  };

  Socks5UdpForwarder(Socks5Server server, Callbacks callbacks, Options options);
  Socks5UdpForwarder(Socks5Server server, Callbacks callbacks)
      : Socks5UdpForwarder(std::move(server), std::move(callbacks), Options{}) {}
  ~Socks5UdpForwarder();  // stop()
  Socks5UdpForwarder(const Socks5UdpForwarder&) = delete;
  Socks5UdpForwarder& operator=(const Socks5UdpForwarder&) = delete;

  // Sends one datagram of the program socket `program` towards `destination`.
  UdpSendResult send(const IpEndpoint& program, const IpEndpoint& destination, std::span<const std::uint8_t> payload);

  // The proxy answered UDP ASSOCIATE with a failure code.
  bool refuses_udp() const { return _refuses_udp.load(); }
  // Closes the associations quiet for longer than their limit, by the injected clock. The
  // forwarder's thread does this about once a second.
  void expire_idle();
  std::size_t association_count() const;
  // The program sockets carried now, for the window.
  std::vector<FlowTraffic> flow_traffic() const;
  // Closes every association and joins the threads. Idempotent.
  void stop();

 private:
  struct HeldDatagram {
    IpEndpoint destination;
    std::vector<std::uint8_t> payload;
  };
  struct Flow {
    std::shared_ptr<Socks5UdpAssociation> association;  // null while opening
    std::vector<HeldDatagram> held;
    std::uint64_t id = 0;  // tells this flow from a later one of the same program socket
    IpEndpoint destination;
    std::uint64_t bytes_up = 0;
    std::uint64_t bytes_down = 0;
    double started_at = 0.0;
  };
  struct Watched {
    IpEndpoint program;
    std::uint64_t id;
    std::shared_ptr<Socks5UdpAssociation> association;
  };

  void _run_io();
  void _run_opener();
  void _open(const IpEndpoint& program, std::uint64_t id);
  void _read_answers(const Watched& watched, std::vector<std::uint8_t>& buffer);
  // Under _lock: removes the flow if it is still `id` and hands its association to the reader
  // thread to close.
  void _end_flow_locked(const IpEndpoint& program, std::optional<std::uint64_t> id);
  void _end_flow(const IpEndpoint& program, std::uint64_t id);
  void _wake();

  const Socks5Server _server;
  const Callbacks _callbacks;
  const Options _options;

  mutable std::mutex _lock;
  std::condition_variable _open_wanted;
  UdpAssociationTable<Flow> _flows;
  std::deque<std::pair<IpEndpoint, std::uint64_t>> _to_open;
  // Associations out of the table; closed by the reader thread, the only one that waits on
  // their sockets.
  std::vector<std::shared_ptr<Socks5UdpAssociation>> _to_close;
  std::uint64_t _next_id = 0;
  bool _stopping = false;
  std::atomic<bool> _refuses_udp{false};
  HandshakeAbort _abort;  // ends the openers' handshakes at stop()

  std::shared_ptr<Socket> _wake_socket;  // a datagram to itself wakes the reader thread
  std::mutex _stop_lock;
  bool _stopped = false;
  std::thread _io_thread;
  std::vector<std::thread> _openers;
};

}  // namespace tovix
