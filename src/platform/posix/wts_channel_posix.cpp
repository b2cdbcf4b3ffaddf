#include "platform/wts_channel.h"

namespace korvane {

std::unique_ptr<WtsChannelApi> LoadWtsChannelApi() { return nullptr; }

// The library's charset, Windows-1251: ASCII and the Cyrillic letters.
std::string AnsiFromUtf16(const char16_t* text, size_t length) {
  constexpr char16_t kCyrillicA = 0x0410, kCyrillicYa = 0x044F, kCyrillicYo = 0x0401, kCyrillicSmallYo = 0x0451;
  constexpr uint8_t kCp1251A = 0xC0, kCp1251Yo = 0xA8, kCp1251SmallYo = 0xB8;
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    const char16_t c = text[i];
    if (c < 0x80)
      out += static_cast<char>(c);
    else if (c >= kCyrillicA && c <= kCyrillicYa)
      out += static_cast<char>(kCp1251A + (c - kCyrillicA));
    else if (c == kCyrillicYo)
      out += static_cast<char>(kCp1251Yo);
    else if (c == kCyrillicSmallYo)
      out += static_cast<char>(kCp1251SmallYo);
    else
      out += '?';
  }
  return out;
}

}  // namespace korvane
