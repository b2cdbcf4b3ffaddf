// The frame-protocol handle: an open port plus what protocol v2 learnt about the terminal.
#pragma once
#include <cstdint>
#include <string>

#include "frame/frame_layout.h"
#include "frame/line_quality.h"
#include "platform/ticks.h"
#include "port/link_port.h"

namespace korvane {

constexpr uint16_t kV2DefaultFrameSize = 230;
constexpr uint16_t kV2LargeFrameSize = 8096;
constexpr uint16_t kV2InitialFrameTimeoutMs = 400;
constexpr uint16_t kV2MaxFrameTimeoutMs = 1600;
// The caller's lastFrame buffer and every frame buffer of the v2 exchange.
constexpr uint32_t kLastFrameSize = 8096;

struct TsPort {
  LinkPort* port = nullptr;  // owned
  uint16_t remote_version = 0;
  uint16_t remote_syn_block = 0;
  uint16_t max_frame_size = 0;  // 0 means 230
  uint16_t frame_timeout = kV2InitialFrameTimeoutMs;
  const Clock* clock = &SystemClock();
  // Steps that had to be repeated, among the last ones, and the length of the last answer.
  LineQuality quality;
  uint16_t last_answer_length = kFrameHeaderSize;
};

// Opens `name` as `kind` through the port layer; err (may be null) gets the open's error.
TsPort* tsOpenPort(const std::string& name, uint32_t kind, uint32_t* err);
void tsClosePort(TsPort* port);
// Wraps an already open port (tests, in-memory links); takes ownership.
TsPort* tsAdoptPort(LinkPort* port);

}  // namespace korvane
