// The frame trace of a frame port: both directions cut into v2/v3 frames as they cross the wire.
#pragma once
#include <memory>
#include <string>

#include "port/link_port.h"

namespace korvane {

// A tap that traces the frames of the link named `link` (log/frame_trace.h).
std::unique_ptr<WireTap> MakeFrameTraceTap(const std::string& link);

// The name of a control code in the trace: SYN, REQ, DATA, FRAG, ACK, NAK, else CODE<n>.
std::string FrameKindName(uint8_t control);

}  // namespace korvane
