// On Linux the platform's diverter is netfilter's NFQUEUE.
#include "engine/divert/nfqueue_diverter_linux.h"

namespace tovix {

std::unique_ptr<PacketDiverter> make_system_diverter(const std::filesystem::path&) {
  return std::make_unique<NfqueueDiverter>();
}

}  // namespace tovix
