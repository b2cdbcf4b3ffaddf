#include "text_charset.h"

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <cerrno>
#include <vector>

namespace korvane::tools {

namespace {

constexpr const char* kUtf8 = "UTF-8";
constexpr char kReplacement = '?';
constexpr size_t kChunk = 4096;

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
}

TextConverter::~TextConverter() {
  if (cd_ != nullptr) iconv_close(Handle(cd_));
}

std::string TextConverter::Convert(std::string_view text) const {
  if (cd_ == nullptr) return std::string(text);
  iconv(Handle(cd_), nullptr, nullptr, nullptr, nullptr);
  std::string out;
  out.reserve(text.size() * 2);
  std::vector<char> chunk(kChunk);
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  while (in_left > 0) {
    char* o = chunk.data();
    size_t o_left = chunk.size();
    size_t r = iconv(Handle(cd_), &in, &in_left, &o, &o_left);
    out.append(chunk.data(), chunk.size() - o_left);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: an invalid or cut sequence; replace one byte and go on.
      out.push_back(kReplacement);
      ++in;
      --in_left;
    }
  }
  char* o = chunk.data();
  size_t o_left = chunk.size();
  iconv(Handle(cd_), nullptr, nullptr, &o, &o_left);
  out.append(chunk.data(), chunk.size() - o_left);
  return out;
}

ScreenText::ScreenText(const std::string& terminal_charset)
    : to_screen_(terminal_charset, LocaleCharset()), to_terminal_(LocaleCharset(), terminal_charset) {}

}  // namespace korvane::tools
