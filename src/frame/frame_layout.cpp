#include "frame/frame_layout.h"

#include <array>

namespace korvane {

namespace {

constexpr uint16_t kCrcPolynomial = 0x1021;

// The register's high byte alone decides what is folded in; the byte itself enters the low end.
constexpr uint16_t HighByteFold(uint16_t high) {
  uint16_t x = static_cast<uint16_t>(high << 8), h = 0;
  for (int i = 0; i < 8; ++i) {
    h = ((x ^ h) & 0x8000) ? static_cast<uint16_t>((h << 1) ^ kCrcPolynomial) : static_cast<uint16_t>(h << 1);
    x = static_cast<uint16_t>(x << 1);
  }
  return h;
}

constexpr std::array<uint16_t, 256> MakeFoldTable() {
  std::array<uint16_t, 256> t{};
  for (uint16_t i = 0; i < 256; ++i) t[i] = HighByteFold(i);
  return t;
}

constexpr std::array<uint16_t, 256> kFold = MakeFoldTable();

}  // namespace

uint16_t tsCrc16(const uint8_t* data, uint32_t length) {
  uint16_t reg = 0;
  for (uint32_t i = 0; i < length; ++i) reg = static_cast<uint16_t>((reg << 8) ^ data[i] ^ kFold[reg >> 8]);
  return reg;
}

uint16_t tsCrc16Reference(const uint8_t* data, uint32_t length) {
  uint16_t reg = 0;
  for (uint32_t i = 0; i < length; ++i) {
    uint16_t x = reg & 0xFF00, h = 0;
    for (int bit = 0; bit < 8; ++bit) {
      h = ((x ^ h) & 0x8000) ? static_cast<uint16_t>((h << 1) ^ kCrcPolynomial) : static_cast<uint16_t>(h << 1);
      x = static_cast<uint16_t>(x << 1);
    }
    reg = static_cast<uint16_t>((reg << 8) ^ data[i] ^ h);
  }
  return reg;
}

bool FrameMarkersAt(const uint8_t* f) {
  return GetU16(f) == kFrameStartMarker && GetU16(f + kFrameOffSecondMarker) == kFrameSecondMarker;
}

void SealFrame(uint8_t* frame, uint16_t length) {
  PutU16(frame + kFrameOffCrc, kCrcPlaceholder);
  PutU16(frame + kFrameOffCrc, tsCrc16(frame, length));
}

void FinishFrame(uint8_t* frame, uint16_t number, uint16_t length, uint8_t control) {
  PutU16(frame, kFrameStartMarker);
  PutU16(frame + kFrameOffNumber, number);
  PutU16(frame + kFrameOffLength, length);
  PutU16(frame + kFrameOffSecondMarker, kFrameSecondMarker);
  frame[kFrameOffControl] = control;
  SealFrame(frame, length);
}

bool VerifyFrameCrc(uint8_t* frame, uint16_t length) {
  const uint16_t saved = GetU16(frame + kFrameOffCrc);
  PutU16(frame + kFrameOffCrc, kCrcPlaceholder);
  const uint16_t crc = tsCrc16(frame, length);
  PutU16(frame + kFrameOffCrc, saved);
  return crc == saved;
}

}  // namespace korvane
