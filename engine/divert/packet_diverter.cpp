#include "engine/divert/packet_diverter.h"

namespace tovix {

PacketDiverter::~PacketDiverter() = default;

}  // namespace tovix
