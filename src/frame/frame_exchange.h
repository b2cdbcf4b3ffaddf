// Protocol v2: one block at a time in numbered frames, stop-and-wait, with coded NAKs.
#pragma once
#include <cstdint>

#include "frame/ts_port.h"

namespace korvane {

// NAK codes (byte 11 of a v2 NAK).
enum V2NakCode : uint8_t {
  E_NAK_CRC = 1,
  E_NAK_DROP = 2,
  E_NAK_OVERFLOW = 3,
  E_NAK_NUMBER = 4,
  E_NAK_REQ_WHILE_RECV = 5,
  E_NAK_SEND_ON_SEND = 6,
};

// Results of tsSend / tsRecv beside success.
constexpr int32_t kTsBadArguments = 0;
constexpr int32_t kTsTimeout = -1;
constexpr int32_t kTsOverflow = -2;
constexpr int32_t kTsCrossedStreams = -3;
constexpr int32_t E_ALG_CRASH = -4;
// The peer answered the handshake as a v3 engine, which would take v2 frames for its own stream:
// nothing more was sent, and the port's remote version is unknown again.
constexpr int32_t kTsPeerIsV3 = -6;
// The port failed (the device is gone): err holds its error, the link is reset.
constexpr int32_t kTsPortError = -7;

// Results of tsSendRecvFrame.
constexpr int32_t kStepAnswer = 1;
constexpr int32_t kStepNoAnswer = 0;
constexpr int32_t kStepWriteFailed = -1;
constexpr int32_t kStepReadFailed = -2;
constexpr int32_t kStepBadCrc = -3;

struct TsBlockState {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  uint16_t number = 0;
  uint8_t index = 0;
  uint8_t count = 0;  // 0: not planned yet
  uint16_t chunk = 0;
  uint16_t header = 0;
};

struct TsStepContext {
  TsPort* port = nullptr;
  const uint8_t* frame = nullptr;  // the frame to send (its length field gives its size)
  uint8_t* answer = nullptr;       // kLastFrameSize bytes
  uint32_t timeout_ms = 0;
  uint32_t err = 0;
};

int32_t tsSend(TsPort* port, uint8_t* last_frame, const uint8_t* data, uint32_t length, uint32_t timeout_ms,
               uint32_t& err);
int32_t tsRecv(TsPort* port, uint8_t* last_frame, uint8_t* buffer, uint32_t size, uint32_t timeout_ms, uint32_t& err);
int32_t tsSendRecvFrame(TsStepContext& ctx);
void tsResetLink(TsPort* port, uint8_t* last_frame);

uint32_t tsMakeSyn(uint8_t* frame, uint16_t number);
uint32_t tsMakeReq(uint8_t* frame, uint16_t number, uint8_t fragment);
uint32_t tsMakeNextFrame(uint8_t* frame, TsBlockState& state, const TsPort* port);

}  // namespace korvane
