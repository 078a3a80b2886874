#pragma once
// What the engine needs of a packet-diversion driver: a handle that withholds matching packets
// from the network until they are sent back, possibly rewritten. One thread owns the handle
// (open, recv, send, close); shutdown() may come from any other thread to end a blocked recv.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/divert/divert_error.h"
#include "engine/divert/held_connections.h"
#include "engine/divert/packet.h"
#include "engine/divert/packet_divert_export.h"

namespace tovix {

// Tunables of an open handle, numbered as the driver numbers them.
enum class DivertParam : std::uint32_t { QUEUE_LENGTH = 0, QUEUE_TIME = 1, QUEUE_SIZE = 2 };

class PACKET_DIVERT_EXPORT PacketDiverter {
 public:
  virtual ~PacketDiverter();

  // Installs and starts the driver service if it is not there yet. Throws DivertOsError.
  virtual void register_driver() = 0;

  // Opens a handle on the network layer with default priority and flags that diverts every
  // packet matching `filter`. Throws DivertOsError; a handle already open is closed first.
  virtual void open(const std::string& filter) = 0;

  // Throws DivertOsError (an out-of-range value gives 87).
  virtual void set_param(DivertParam param, std::uint64_t value) = 0;

  // Blocks until the next matching packet. Returns std::nullopt once shutdown() was called and
  // the packets already captured have been handed out. Throws DivertOsError.
  virtual std::optional<Packet> recv() = 0;

  // Re-injects the packet, as modified, in the direction its capture info names. The engine
  // rewrites headers only: a packet whose length and headers are as captured goes back as it
  // came.
  virtual void send(const Packet& packet) = 0;

  // Takes back a packet recv handed out, once the engine is done with it: a later receive
  // reuses its buffer instead of allocating one. Any packet may come back, or none.
  virtual void recycle(Packet&& packet) noexcept { (void)packet; }

  // Withholds the captured packet for good (the last one recv handed out); the engine carries
  // or answers it some other way.
  virtual void drop(const Packet& packet) { (void)packet; }

  // Hands the system a packet the engine built for a program (an answer, a refusal) apart from
  // any captured packet, in the direction its capture info names. Safe from any thread while
  // the handle is open. Throws DivertOsError.
  virtual void inject(const Packet& packet) { send(packet); }

  // Lets the system itself carry the connection this captured SYN (the last packet recv handed
  // out, unchanged) opens to the relay listening on 127.0.0.1:`relay_port`: the relay reads
  // the original destination from its socket and no later packet of the connection reaches
  // the handle. Gives the SYN its verdict and returns true; false when this diverter has no
  // such path (the SYN still waits for send or drop). Throws DivertOsError.
  virtual bool carry_to_relay(const Packet& syn, int relay_port) {
    (void)syn;
    (void)relay_port;
    return false;
  }

  // The relay on 127.0.0.1:`relay_port` has stopped and no other listens there: what
  // carry_to_relay set up for it may go (a later carry_to_relay to that port sets it up anew).
  // Connections the system already carries there keep their way. Safe from any thread while
  // the handle is open; never throws.
  virtual void release_relay(int relay_port) noexcept { (void)relay_port; }

  // Recomputes the IPv4 header and TCP checksums and marks them valid in the capture info.
  virtual void recalculate_checksums(Packet& packet) = 0;

  // Stops capturing: a recv blocked now, or called later, returns std::nullopt when the queue
  // is empty. Safe from any thread; does nothing without an open handle.
  virtual void shutdown() noexcept = 0;

  // Closes the handle; packets still queued in the driver go on to the network. Idempotent.
  virtual void close() noexcept = 0;

  virtual bool is_open() const noexcept = 0;

  // Keeps the packets of these connections from the network once the handle has closed, until
  // released: their applications may still send on them. Safe from any thread while the
  // handle is open; throws DivertOsError.
  virtual std::unique_ptr<HeldConnections> hold_after_close(const std::vector<TcpTuple>& connections) = 0;

  // Whether the connections this process makes itself never reach the handle (the system
  // tells them apart); otherwise the engine tells them by their process.
  virtual bool keeps_own_connections_out() const noexcept { return false; }
};

// The platform's diverter. On Windows: WinDivert, loaded from `library_path` when given,
// otherwise found by the usual library search. Elsewhere there is no driver and every open
// fails with DivertOsError.
PACKET_DIVERT_EXPORT std::unique_ptr<PacketDiverter> make_system_diverter(
    const std::filesystem::path& library_path = {});

}  // namespace tovix
