#pragma once
// The Linux backend: netfilter's NFQUEUE, read with libnetfilter_queue. Opening binds the queue,
// clears rules a killed earlier run left behind and installs the rules (divert_rules_linux.h);
// closing removes them. Every captured packet gets exactly one verdict: the packet sent back
// unchanged is accepted as it was, a rewritten one is re-injected with its new bytes (and taken
// out of connection tracking), and one the engine never sends back (it drops packets that are
// not IPv4) is dropped when the next packet is received or the handle closes.
//
// Large packets arrive whole (the kernel's segmentation offload is kept), so one verdict covers
// up to 64 KiB of a bulk transfer; one receive takes what the socket holds, up to a few such
// packets, each message into a buffer of its own that its packet keeps (no copy) until the engine
// hands it back for a later receive, and a rewritten packet's verdict carries its bytes straight
// from the packet. Sockets marked
// OWN_CONNECTION_MARK (the engine's own) never reach the queue. Connections held at close are answered by firewall
// rules of their own (held_rules_linux.h) once the queue is gone.
//
// Two data paths. On the kernel path (the default) a diverted connection's SYN is accepted
// with a mark naming its relay, and a nat-table rule redirects the marked connection there:
// the kernel carries the rest of it, and the relay reads the original destination from its
// socket. On the user-space path every packet is rewritten here, as the Windows backend does;
// it also carries what the kernel path cannot (two connections on one client port).
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/divert/diverted_ports.h"
#include "engine/divert/packet_diverter.h"

namespace tovix {

class DivertRules;
class IpsetPortSet;

class PACKET_DIVERT_EXPORT NfqueueDiverter final : public PacketDiverter {
 public:
  static constexpr std::uint16_t DEFAULT_QUEUE_NUMBER = 7100;
  // The mark bit that tells a re-injected packet; no routing rule of ours uses it.
  static constexpr std::uint32_t REINJECT_MARK = 0x100;
  // The only filter the rules implement: the engine's.
  static constexpr const char* SUPPORTED_FILTER =
      "(tcp and (outbound or loopback)) or (udp and outbound and !loopback)";

  // The mark bit of a SYN handed to the kernel path; the relay port sits in the upper half.
  static constexpr std::uint32_t KERNEL_PATH_MARK = 0x400;

  enum class DataPath { kernel, user_space };

  explicit NfqueueDiverter(std::uint16_t queue_number = DEFAULT_QUEUE_NUMBER, DataPath path = DataPath::kernel);
  ~NfqueueDiverter() override;
  NfqueueDiverter(const NfqueueDiverter&) = delete;
  NfqueueDiverter& operator=(const NfqueueDiverter&) = delete;

  // Nothing to register: netfilter is part of the kernel.
  void register_driver() override {}
  void open(const std::string& filter) override;
  // QUEUE_LENGTH sets the kernel queue's length; the others have no NFQUEUE counterpart (the
  // kernel holds a packet until its verdict) and are accepted.
  void set_param(DivertParam param, std::uint64_t value) override;
  std::optional<Packet> recv() override;
  void send(const Packet& packet) override;
  // Keeps the packet's buffer for a later receive: the kernel's messages land in buffers the
  // packets then own, so a packet costs no copy or allocation of its own.
  void recycle(Packet&& packet) noexcept override;
  void drop(const Packet& packet) override;
  // Through a raw socket, under the reinject mark: out of connection tracking and the queue.
  void inject(const Packet& packet) override;
  bool carry_to_relay(const Packet& syn, int relay_port) override;
  // Removes the relay port's redirect rule.
  void release_relay(int relay_port) noexcept override;
  void recalculate_checksums(Packet& packet) override;
  void shutdown() noexcept override;
  void close() noexcept override;
  bool is_open() const noexcept override { return _open.load(); }
  std::unique_ptr<HeldConnections> hold_after_close(const std::vector<TcpTuple>& connections) override;
  bool keeps_own_connections_out() const noexcept override { return true; }

  // Packets received since open (for the benchmark's packets per second).
  std::uint64_t packets_received() const noexcept { return _packets_received.load(); }

 private:
  struct Queue;
  struct Captured {
    std::uint32_t id = 0;
    std::uint32_t mark = 0;
    Packet packet;
  };
  // Handed out, no verdict yet.
  struct Pending {
    std::uint32_t id = 0;
    std::uint32_t mark = 0;
    CapturedHeaders headers;
  };
  void _drop_unsent() noexcept;
  void _close_raw_sockets() noexcept;
  void _read_socket();
  Packet _packet_at(const unsigned char* payload, std::size_t length, const CaptureInfo& info);

  const std::uint16_t _queue_number;
  const DataPath _path;
  const int _wake_fd;  // eventfd: shutdown() wakes a blocked recv through it
  std::unique_ptr<Queue> _queue;
  // release_relay comes from other threads; the lock also keeps a rule from going between
  // the check in carry_to_relay and the verdict of the SYN it redirects.
  std::mutex _rules_lock;
  std::unique_ptr<DivertRules> _rules;
  std::unique_ptr<IpsetPortSet> _port_set;
  DivertedPorts _ports;
  std::deque<Captured> _received;
  std::optional<Pending> _pending;
  std::vector<std::vector<std::uint8_t>> _spare_buffers;  // each room for one message
  std::vector<std::uint8_t>* _receiving = nullptr;         // the message being parsed
  unsigned _loopback_index = 0;
  std::mutex _raw_lock;  // inject() comes from other threads
  int _raw4 = -1;
  int _raw6 = -1;
  std::atomic<bool> _open{false};
  std::atomic<bool> _shut_down{false};
  std::atomic<std::uint64_t> _packets_received{0};
};

}  // namespace tovix
