#pragma once
// A reset made by the engine for an application whose connection nobody carries: addressed back
// to the sender of the segment it answers, injected towards that sender, with the number its
// socket accepts at once.
#include "engine/divert/packet.h"
#include "engine/divert/packet_divert_export.h"

namespace tovix {

// For a segment with ACK, the reset's sequence number is the segment's acknowledgement number
// (exactly what the sender expects next); for one without (a SYN), it acknowledges everything
// the segment carried. Both checksums are computed. `segment` must have a TCP view.
PACKET_DIVERT_EXPORT Packet reset_answering(const Packet& segment);

}  // namespace tovix
