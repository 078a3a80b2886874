#include "engine/divert/packet_diverter.h"

namespace tovix {

PacketDiverter::~PacketDiverter() = default;

HeldConnections::~HeldConnections() = default;

}  // namespace tovix
