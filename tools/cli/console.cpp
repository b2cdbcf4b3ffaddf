#include "console.h"

namespace korvane::tools {

namespace {

constexpr char16_t kReplacementChar = 0xFFFD;
constexpr uint32_t kFirstSupplementary = 0x10000;
constexpr uint32_t kLastCodePoint = 0x10FFFF;
constexpr char16_t kHighSurrogate = 0xD800;
constexpr char16_t kLowSurrogate = 0xDC00;
constexpr unsigned kSurrogateBits = 10;
constexpr uint32_t kSurrogateMask = 0x3FF;
constexpr unsigned kContinuationBits = 6;
constexpr uint8_t kContinuationMask = 0x3F;

bool IsContinuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Length of the sequence a lead byte starts (0: none), and the bounds of its second byte, which
// rule out overlong forms, surrogates and code points past U+10FFFF.
int SequenceLength(uint8_t lead, uint8_t& low, uint8_t& high) {
  low = 0x80;
  high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    return 4;
  }
  return 0;
}

void Append(uint32_t cp, std::u16string& out) {
  if (cp < kFirstSupplementary) {
    out.push_back(static_cast<char16_t>(cp));
    return;
  }
  cp -= kFirstSupplementary;
  out.push_back(static_cast<char16_t>(kHighSurrogate + (cp >> kSurrogateBits)));
  out.push_back(static_cast<char16_t>(kLowSurrogate + (cp & kSurrogateMask)));
}

}  // namespace

void Utf8ToUtf16::Feed(std::string_view bytes, std::u16string& out) {
  pending_.append(bytes);
  const auto* p = reinterpret_cast<const uint8_t*>(pending_.data());
  const size_t size = pending_.size();
  size_t i = 0;
  while (i < size) {
    uint8_t low = 0;
    uint8_t high = 0;
    const int n = SequenceLength(p[i], low, high);
    if (n == 1) {
      out.push_back(p[i++]);
      continue;
    }
    // How many bytes after the lead are there and fit the sequence.
    int fit = 0;
    for (int k = 1; k < n && i + k < size; ++k) {
      const bool ok = k == 1 ? p[i + k] >= low && p[i + k] <= high : IsContinuation(p[i + k]);
      if (!ok) break;
      ++fit;
    }
    if (n > 1 && fit == n - 1) {
      uint32_t cp = p[i] & (0xFF >> (n + 1));
      for (int k = 1; k < n; ++k) cp = (cp << kContinuationBits) | (p[i + k] & kContinuationMask);
      if (cp <= kLastCodePoint) Append(cp, out);
      i += static_cast<size_t>(n);
      continue;
    }
    if (n > 1 && i + 1 + fit == size) break;  // cut: the rest comes with the next piece
    out.push_back(kReplacementChar);
    ++i;
  }
  pending_.erase(0, i);
}

}  // namespace korvane::tools
