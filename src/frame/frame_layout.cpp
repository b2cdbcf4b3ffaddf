#include "frame/frame_layout.h"

#include <array>
#include <cstddef>

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

constexpr size_t kSlices = 8;
using SliceTables = std::array<std::array<uint16_t, 256>, kSlices>;

// Table k maps a byte b to b * x^(16 + 8k) mod P, so eight bytes fold in with eight lookups.
constexpr SliceTables MakeSliceTables() {
  SliceTables t{};
  for (uint16_t i = 0; i < 256; ++i) t[0][i] = HighByteFold(i);
  for (size_t k = 1; k < kSlices; ++k)
    for (uint16_t i = 0; i < 256; ++i) {
      const uint16_t v = t[k - 1][i];
      t[k][i] = static_cast<uint16_t>((v << 8) ^ t[0][v >> 8]);
    }
  return t;
}

constexpr SliceTables kSlice = MakeSliceTables();

// The usual (non-augmented) form: message * x^16 mod P.
uint16_t ShiftedRemainder(const uint8_t* data, uint32_t length) {
  uint16_t crc = 0;
  while (length >= kSlices) {
    const uint8_t b0 = static_cast<uint8_t>(data[0] ^ (crc >> 8));
    const uint8_t b1 = static_cast<uint8_t>(data[1] ^ (crc & 0xFF));
    crc = static_cast<uint16_t>(kSlice[7][b0] ^ kSlice[6][b1] ^ kSlice[5][data[2]] ^ kSlice[4][data[3]] ^
                                kSlice[3][data[4]] ^ kSlice[2][data[5]] ^ kSlice[1][data[6]] ^ kSlice[0][data[7]]);
    data += kSlices;
    length -= kSlices;
  }
  while (length-- > 0) crc = static_cast<uint16_t>((crc << 8) ^ kSlice[0][(crc >> 8) ^ *data++]);
  return crc;
}

}  // namespace

// The augmented register ends as message mod P. Splitting off the last two bytes t gives
// (rest * x^16 mod P) XOR t, and the first term is the sliced table form.
uint16_t tsCrc16(const uint8_t* data, uint32_t length) {
  if (length < 2) return length == 1 ? data[0] : 0;
  const uint16_t tail = static_cast<uint16_t>((data[length - 2] << 8) | data[length - 1]);
  return static_cast<uint16_t>(ShiftedRemainder(data, length - 2) ^ tail);
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

namespace {

// A plausible start: both markers and a length the caller can hold.
bool Candidate(const uint8_t* f, uint32_t max_length) {
  if (!FrameMarkersAt(f)) return false;
  const uint16_t length = FrameLength(f);
  return length >= kFrameHeaderSize && length <= max_length;
}

}  // namespace

FrameFound FindFrame(uint8_t* bytes, uint32_t count, uint32_t from, uint32_t max_length) {
  FrameFound found;
  uint32_t p = from;
  for (; p < count && count - p >= kFrameHeaderSize; ++p) {
    if (!Candidate(bytes + p, max_length)) continue;
    const uint16_t length = FrameLength(bytes + p);
    if (length <= count - p) {
      found.length = length;
      found.crc_ok = VerifyFrameCrc(bytes + p, length);
      break;
    }
    // Incomplete: wait for the rest, unless a whole good frame already follows. A corrupted length
    // would otherwise hold every later frame back until that many bytes came in.
    uint32_t q = p + 1;
    for (; count - q >= kFrameHeaderSize; ++q) {
      if (!Candidate(bytes + q, max_length) || FrameLength(bytes + q) > count - q) continue;
      if (VerifyFrameCrc(bytes + q, FrameLength(bytes + q))) break;
    }
    if (count - q >= kFrameHeaderSize) {
      p = q;
      found.length = FrameLength(bytes + q);
      found.crc_ok = true;
    }
    break;
  }
  found.start = p < count ? p : count;
  return found;
}

}  // namespace korvane
