#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "frame/frame_layout.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

uint16_t CrcOf(const std::string& s) { return tsCrc16(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size())); }
uint16_t ReferenceOf(const std::string& s) {
  return tsCrc16Reference(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()));
}

Bytes Frame(uint16_t number, uint8_t control, const Bytes& body) {
  Bytes f(kFrameHeaderSize + body.size());
  std::copy(body.begin(), body.end(), f.begin() + kFrameOffBody);
  FinishFrame(f.data(), number, static_cast<uint16_t>(f.size()), control);
  return f;
}

TEST(Crc16, CheckValues) {
  EXPECT_EQ(CrcOf("abc"), 0x1EE4);
  EXPECT_EQ(CrcOf("123456789"), 0xBEEF);
  EXPECT_EQ(ReferenceOf("abc"), 0x1EE4);
  EXPECT_EQ(ReferenceOf("123456789"), 0xBEEF);
  EXPECT_EQ(CrcOf(""), 0);
}

TEST(Crc16, FastEqualsReferenceOnRandomData) {
  std::mt19937 rng(20240611);
  std::vector<uint8_t> data(70000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  std::uniform_int_distribution<uint32_t> offset(0, 15), length(0, 69000);
  for (int i = 0; i < 300; ++i) {
    // Odd starts and lengths cover every alignment of the wide tables and every tail size.
    const uint32_t at = offset(rng), n = i < 64 ? static_cast<uint32_t>(i) : length(rng);
    ASSERT_EQ(tsCrc16(data.data() + at, n), tsCrc16Reference(data.data() + at, n)) << "at " << at << " n " << n;
  }
}

TEST(FrameLayout, ExampleFramesByteForByte) {
  EXPECT_EQ(Frame(1, kCtlSyn, {0x00, 0x03, 0x01, 0x00}),
            (Bytes{0x55, 0xF8, 0x01, 0x00, 0x0F, 0x00, 0xE4, 0xC0, 0x00, 0xFF, 0x01, 0x00, 0x03, 0x01, 0x00}));
  EXPECT_EQ(Frame(5, kCtlAck, {}), (Bytes{0x55, 0xF8, 0x05, 0x00, 0x0B, 0x00, 0x6A, 0x05, 0x00, 0xFF, 0x05}));
  EXPECT_EQ(Frame(1, kCtlSyn, {0x00, 0x02, 0x01, 0x00}),
            (Bytes{0x55, 0xF8, 0x01, 0x00, 0x0F, 0x00, 0xC5, 0xD0, 0x00, 0xFF, 0x01, 0x00, 0x02, 0x01, 0x00}));
  EXPECT_EQ(Frame(1, kCtlReq, {0x00, 0x00}),
            (Bytes{0x55, 0xF8, 0x01, 0x00, 0x0D, 0x00, 0x34, 0x7F, 0x00, 0xFF, 0x02, 0x00, 0x00}));
}

TEST(FrameLayout, VerifyAcceptsGoodFramesRejectsAnyFlippedBitAndLeavesBytes) {
  Bytes f = Frame(0x1234, kCtlData, {'r', 'o', 'w', 0x1E, 0xFF});
  const Bytes original = f;
  EXPECT_TRUE(VerifyFrameCrc(f.data(), static_cast<uint16_t>(f.size())));
  EXPECT_EQ(f, original);
  EXPECT_TRUE(FrameMarkersAt(f.data()));
  for (size_t byte = 0; byte < f.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes bad = original;
      bad[byte] ^= static_cast<uint8_t>(1u << bit);
      const Bytes before = bad;
      EXPECT_FALSE(VerifyFrameCrc(bad.data(), static_cast<uint16_t>(bad.size()))) << byte << ":" << bit;
      EXPECT_EQ(bad, before);
    }
  }
}

TEST(FrameLayout, SequenceOrderAcrossTheWrap) {
  EXPECT_TRUE(FrameNumberBefore(65535, 2));
  EXPECT_FALSE(FrameNumberBefore(2, 65535));
  EXPECT_TRUE(FrameNumberBefore(1, 32768));
  EXPECT_FALSE(FrameNumberBefore(1, 32769));  // half the circle away is not "before"
  EXPECT_FALSE(FrameNumberBefore(7, 7));
}

}  // namespace
}  // namespace korvane
