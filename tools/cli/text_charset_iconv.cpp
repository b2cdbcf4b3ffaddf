#include "text_charset.h"

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace korvane::tools {

namespace {

constexpr const char* kUtf8 = "UTF-8";
constexpr char kReplacement = '?';
constexpr size_t kChunk = 4096;
// Any charset's characters map one to one into it; only used to measure a source character.
constexpr const char* kUtf32 = "UTF-32LE";
constexpr size_t kUtf32CharSize = 4;

iconv_t Handle(void* cd) { return static_cast<iconv_t>(cd); }

}  // namespace

std::string LocaleCharset() {
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || *codeset == 0 || strcasecmp(codeset, "ANSI_X3.4-1968") == 0 ||
      strcasecmp(codeset, "ASCII") == 0 || strcasecmp(codeset, "US-ASCII") == 0)
    return kUtf8;
  return codeset;
}

TextConverter::TextConverter(const std::string& from, const std::string& to) {
  if (strcasecmp(from.c_str(), to.c_str()) == 0) {
    ok_ = true;
    return;
  }
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return;
  cd_ = cd;
  ok_ = true;
  iconv_t measure = iconv_open(kUtf32, from.c_str());
  if (measure != reinterpret_cast<iconv_t>(-1)) measure_cd_ = measure;
}

TextConverter::~TextConverter() {
  if (cd_ != nullptr) iconv_close(Handle(cd_));
  if (measure_cd_ != nullptr) iconv_close(Handle(measure_cd_));
}

size_t TextConverter::CharLength(const char* p, size_t left) const {
  if (measure_cd_ == nullptr || left == 0) return 1;
  iconv(Handle(measure_cd_), nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(p);
  size_t in_left = left;
  char one[kUtf32CharSize];
  char* o = one;
  size_t o_left = sizeof one;
  // One character's room: the call stops after it (E2BIG) or fails on a byte that starts none.
  iconv(Handle(measure_cd_), &in, &in_left, &o, &o_left);
  const size_t used = left - in_left;
  return used > 0 && o_left == 0 ? used : 1;
}

bool TextConverter::Run(std::string_view text, std::string& out, bool replace) const {
  out.clear();
  if (cd_ == nullptr) {
    out.assign(text);
    return true;
  }
  iconv(Handle(cd_), nullptr, nullptr, nullptr, nullptr);
  out.reserve(text.size() * 2);
  std::vector<char> chunk(kChunk);
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  bool exact = true;
  while (in_left > 0) {
    char* o = chunk.data();
    size_t o_left = chunk.size();
    size_t r = iconv(Handle(cd_), &in, &in_left, &o, &o_left);
    out.append(chunk.data(), chunk.size() - o_left);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: a character the target lacks, or an invalid or cut sequence.
      exact = false;
      if (!replace) return false;
      out.push_back(kReplacement);
      const size_t skip = CharLength(in, in_left);
      in += skip;
      in_left -= skip;
    }
  }
  char* o = chunk.data();
  size_t o_left = chunk.size();
  iconv(Handle(cd_), nullptr, nullptr, &o, &o_left);
  out.append(chunk.data(), chunk.size() - o_left);
  return exact;
}

bool IsTerminalCharset(const std::string& name) {
  if (name.empty()) return false;  // iconv would take the locale's
  iconv_t cd = iconv_open(kUtf32, name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  constexpr int kByteValues = 256;
  constexpr unsigned kAsciiEnd = 0x80;
  bool ok = true;
  for (int b = 0; b < kByteValues && ok; ++b) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char in = static_cast<char>(b);
    char* in_p = &in;
    size_t in_left = 1;
    uint32_t out[4] = {};
    char* out_p = reinterpret_cast<char*>(out);
    size_t out_left = sizeof out;
    const size_t r = iconv(cd, &in_p, &in_left, &out_p, &out_left);
    const size_t chars = (sizeof out - out_left) / sizeof out[0];
    if (r == static_cast<size_t>(-1)) {
      // A byte the charset leaves undefined is fine; one that starts a longer sequence is not.
      ok = errno == EILSEQ && static_cast<unsigned>(b) >= kAsciiEnd;
    } else {
      ok = chars == 1 && (static_cast<unsigned>(b) >= kAsciiEnd || out[0] == static_cast<uint32_t>(b));
    }
  }
  iconv_close(cd);
  return ok;
}

}  // namespace korvane::tools
