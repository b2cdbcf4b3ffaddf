// The block format shared by the PC's engine and the terminal's side: control bytes, checksum,
// and building and checking blocks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

constexpr uint8_t kBlockSOH = 0x01;
constexpr uint8_t kBlockEOT = 0x04;
constexpr uint8_t kBlockENQ = 0x05;
constexpr uint8_t kBlockACK = 0x06;
constexpr uint8_t kBlockNAK = 0x15;
constexpr uint8_t kBlockETB = 0x17;
constexpr uint8_t kBlockRS = 0x1E;

constexpr uint32_t kBlockBufferSize = 8192;
// RS, ETB and the checksum around the text.
constexpr uint32_t kDataBlockOverhead = 3;
constexpr uint32_t kMaxBlockText = kBlockBufferSize - kDataBlockOverhead;
constexpr uint32_t kCommandBlockSize = 5;
constexpr uint32_t kAnswerBlockSize = 2;
constexpr uint32_t kCommandChars = 3;

// The 8-bit additive sum of the bytes.
uint8_t BlockChecksum(const uint8_t* bytes, size_t count);

// RS, text, ETB, checksum.
std::vector<uint8_t> MakeDataBlock(const std::string& text);
// `lead` (SOH or ENQ), three characters, checksum.
std::vector<uint8_t> MakeCommandBlock(uint8_t lead, const char* chars);
// ACK or NAK and its checksum (the same byte).
inline std::vector<uint8_t> MakeAnswerBlock(uint8_t code) { return {code, code}; }

}  // namespace korvane
