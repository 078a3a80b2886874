// Linux has no WinDivert: the diverter exists so that the engine builds and reports the
// missing facility through the same open failure a missing driver gives on Windows.
#include "engine/divert/checksum.h"
#include "engine/divert/packet_diverter.h"

namespace tovix {
namespace {

class UnavailableDiverter final : public PacketDiverter {
 public:
  void register_driver() override { throw unavailable(); }
  void open(const std::string&) override { throw unavailable(); }
  void set_param(DivertParam, std::uint64_t) override { throw handle_not_open_error(); }
  std::optional<Packet> recv() override { throw handle_not_open_error(); }
  void send(const Packet&) override { throw handle_not_open_error(); }
  void recalculate_checksums(Packet& packet) override { compute_checksums(packet); }
  void shutdown() noexcept override {}
  void close() noexcept override {}
  bool is_open() const noexcept override { return false; }

 private:
  static DivertOsError unavailable() {
    return DivertOsError(DIVERT_ERROR_NOT_SUPPORTED, "packet diversion needs the WinDivert driver (Windows only)");
  }
};

}  // namespace

std::unique_ptr<PacketDiverter> make_system_diverter(const std::filesystem::path&) {
  return std::make_unique<UnavailableDiverter>();
}

}  // namespace tovix
