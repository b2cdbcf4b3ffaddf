// The frame layout shared by protocols v2 and v3, and its CRC.
#pragma once
#include <cstdint>

namespace korvane {

constexpr uint16_t kFrameStartMarker = 0xF855;   // bytes 55 F8
constexpr uint16_t kFrameSecondMarker = 0xFF00;  // bytes 00 FF
constexpr uint16_t kCrcPlaceholder = 0xAA55;     // bytes 55 AA while the CRC is computed
constexpr uint32_t kFrameHeaderSize = 11;
// Both markers span this many bytes; a shorter tail may still be the start of a frame.
constexpr uint32_t kMarkerSpan = 10;

// Field offsets.
constexpr uint32_t kFrameOffNumber = 2;
constexpr uint32_t kFrameOffLength = 4;
constexpr uint32_t kFrameOffCrc = 6;
constexpr uint32_t kFrameOffSecondMarker = 8;
constexpr uint32_t kFrameOffControl = 10;
constexpr uint32_t kFrameOffBody = 11;

// Control codes (byte 10). v3 uses SYN, DATA, ACK, NAK; v2 all six.
enum FrameControl : uint8_t {
  kCtlSyn = 1,
  kCtlReq = 2,
  kCtlData = 3,
  kCtlFrag = 4,
  kCtlAck = 5,
  kCtlNak = 6,
};

// Protocol and SYN-block versions carried by SYN frames.
constexpr uint16_t kProtocolV2 = 0x0200;
constexpr uint16_t kProtocolV2Large = 0x0201;
constexpr uint16_t kProtocolV3 = 0x0300;
constexpr uint16_t kSynBlockVersion = 0x0001;
// A SYN carries both versions; a REQ the fragment index after a zero byte.
constexpr uint32_t kSynFrameSize = kFrameHeaderSize + 4;
constexpr uint32_t kReqFrameSize = kFrameHeaderSize + 2;

// v2 fragments: count and index before the data.
constexpr uint32_t kFragOffCount = 11;
constexpr uint32_t kFragOffIndex = 12;
constexpr uint32_t kFragHeaderSize = 13;
constexpr uint32_t kMaxFragments = 255;

// CRC-16, polynomial 0x1021, MSB first, initial 0, augmented byte-at-a-time feed.
uint16_t tsCrc16(const uint8_t* data, uint32_t length);
// The bit-by-bit definition, kept as the reference the fast one is tested against.
uint16_t tsCrc16Reference(const uint8_t* data, uint32_t length);

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline uint16_t FrameNumber(const uint8_t* f) { return GetU16(f + kFrameOffNumber); }
inline uint16_t FrameLength(const uint8_t* f) { return GetU16(f + kFrameOffLength); }
inline uint8_t FrameControlCode(const uint8_t* f) { return f[kFrameOffControl]; }

// True when both markers stand at `f` (at least 11 bytes readable).
bool FrameMarkersAt(const uint8_t* f);
// Writes markers, number, length, control code and the CRC over `length` bytes (body in place).
void FinishFrame(uint8_t* frame, uint16_t number, uint16_t length, uint8_t control);
// Writes the CRC of a frame whose other fields are in place.
void SealFrame(uint8_t* frame, uint16_t length);
// Checks the CRC of a frame of `length` bytes; the buffer is left as it was.
bool VerifyFrameCrc(uint8_t* frame, uint16_t length);

// What a search of received bytes found. `start` is where the bytes still worth keeping begin:
// everything before it is noise. `length` 0: no whole frame yet, wait for more from `start`.
struct FrameFound {
  uint32_t start = 0;
  uint16_t length = 0;
  bool crc_ok = false;
};
// Searches bytes[from, count) for the first candidate frame: both markers and a length from the
// header size to `max_length`. A candidate that has not fully arrived holds the search, unless a
// whole good frame already follows it (then the candidate was a corrupted length).
FrameFound FindFrame(uint8_t* bytes, uint32_t count, uint32_t from, uint32_t max_length);

// Sequence order of 16-bit frame numbers: a before b.
inline bool FrameNumberBefore(uint16_t a, uint16_t b) {
  uint16_t d = static_cast<uint16_t>(b - a);
  return d >= 1 && d <= 32767;
}

}  // namespace korvane
