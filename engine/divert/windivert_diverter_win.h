#pragma once
// The WinDivert backend. The library is loaded on first use, not linked: a machine without it
// still starts, and opening then fails with an error that names the missing library.
//
// Where the library offers batched I/O (WinDivertRecvEx / WinDivertSendEx), packets cross
// into and out of the driver up to 64 per call: recv() hands out the packets of one batched
// receive one by one, and send() queues. The queue goes to the driver when it is full, before
// recv() blocks for the next batch, before a packet that cannot be batched, and on close(),
// so no packet waits for packets that have not arrived yet. A failure of a batched send is
// logged, as the packets it concerns were already given up by their senders.
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/divert/packet_diverter.h"

namespace tovix::windivert {
class ReceivedBatch;
class SendQueue;
}  // namespace tovix::windivert

namespace tovix {

class PACKET_DIVERT_EXPORT WinDivertDiverter final : public PacketDiverter {
 public:
  // The file name the product's packages use, and the one WinDivert's own x64 release ships.
  static constexpr const wchar_t* LIBRARY_NAME = L"WinDivert64.dll";
  static constexpr const wchar_t* RELEASE_LIBRARY_NAME = L"WinDivert.dll";

  // `library_path`: the library file to load; empty for the usual library search.
  explicit WinDivertDiverter(std::filesystem::path library_path = {});
  ~WinDivertDiverter() override;
  WinDivertDiverter(const WinDivertDiverter&) = delete;
  WinDivertDiverter& operator=(const WinDivertDiverter&) = delete;

  void register_driver() override;
  void open(const std::string& filter) override;
  void set_param(DivertParam param, std::uint64_t value) override;
  std::optional<Packet> recv() override;
  void send(const Packet& packet) override;
  // The packet's storage takes a later packet of a batched receive.
  void recycle(Packet&& packet) noexcept override;
  // Straight to the driver, past the send batch the packet thread fills.
  void inject(const Packet& packet) override;
  void recalculate_checksums(Packet& packet) override;
  void shutdown() noexcept override;
  void close() noexcept override;
  bool is_open() const noexcept override;
  std::unique_ptr<HeldConnections> hold_after_close(const std::vector<TcpTuple>& connections) override;

  // The files tried, in order, when the library is loaded.
  std::vector<std::filesystem::path> library_candidates() const;
  // Whether the loaded library moves packets in batches (false before it is loaded).
  bool batched() const noexcept;

 private:
  struct Api;
  // Loads the library and its functions on first use; throws DivertOsError.
  const Api& api();
  void* open_handle(const std::string& filter);
  std::optional<Packet> recv_one(void* handle);
  std::optional<Packet> recv_batch(void* handle);
  void send_one(void* handle, const Packet& packet);
  // Sends what the queue holds; logs a failure. Never throws.
  void flush_sends(void* handle) noexcept;

  const std::filesystem::path _library_path;
  std::mutex _lock;  // the library state, and the handle against shutdown racing close
  void* _module = nullptr;
  std::unique_ptr<Api> _api;
  std::atomic<void*> _handle{nullptr};  // null when closed
  std::vector<std::uint8_t> _receive_buffer;
  std::unique_ptr<windivert::ReceivedBatch> _received;
  std::unique_ptr<windivert::SendQueue> _sending;
};

}  // namespace tovix
