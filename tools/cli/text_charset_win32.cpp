// Windows: charsets are code pages, converted through UTF-16. The tools' own text (arguments,
// messages) is UTF-8; the console writer turns it into UTF-16 for the console.
#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "text_charset.h"

namespace korvane::tools {

namespace {

constexpr const char* kUtf8 = "UTF-8";
constexpr char kReplacement = '?';
constexpr unsigned kAsciiEnd = 0x80;

struct NamedPage {
  const char* name;
  unsigned page;
};
// Names iconv knows that carry no number of their own.
constexpr NamedPage kNamedPages[] = {
    {"UTF-8", CP_UTF8},    {"UTF8", CP_UTF8},     {"KOI8-R", 20866},      {"KOI8-U", 21866},
    {"US-ASCII", 20127},   {"ASCII", 20127},      {"MACCYRILLIC", 10007}, {"ISO-8859-1", 28591},
    {"ISO-8859-2", 28592}, {"ISO-8859-5", 28595}, {"LATIN1", 28591},
};
// Prefixes before a code page's number: CP1251, WINDOWS-1251, IBM866, MS-1251.
constexpr const char* kNumberedPrefixes[] = {"CP", "WINDOWS-", "IBM", "MS-"};

std::string Upper(const std::string& s) {
  std::string u = s;
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

// The code page of an iconv-style name, 0 when Windows has none by that name.
unsigned CodePageOf(const std::string& name) {
  const std::string u = Upper(name);
  for (const NamedPage& p : kNamedPages)
    if (u == p.name) return ::IsValidCodePage(p.page) ? p.page : 0;
  for (const char* prefix : kNumberedPrefixes) {
    const size_t n = std::strlen(prefix);
    if (u.size() <= n || u.compare(0, n, prefix) != 0) continue;
    char* end = nullptr;
    const unsigned long page = std::strtoul(u.c_str() + n, &end, 10);
    // UTF-16 and UTF-32 pages convert only through other calls; they are no byte charset here.
    if (*end != 0 || page == 0 || page == 1200 || page == 1201 || page > 65535) return 0;
    return ::IsValidCodePage(static_cast<UINT>(page)) ? static_cast<unsigned>(page) : 0;
  }
  return 0;
}

bool SingleByte(unsigned page) {
  CPINFO info{};
  return ::GetCPInfo(page, &info) && info.MaxCharSize == 1;
}

// Bytes of the character at `p` in `page` (1 when they are no character).
size_t CharLength(unsigned page, const char* p, size_t left) {
  const auto lead = static_cast<unsigned char>(*p);
  size_t n = 1;
  if (page == CP_UTF8) {
    n = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    // A sequence cut short is one bad byte: what follows it is a character of its own.
    for (size_t k = 1; k < n; ++k)
      if (k >= left || (static_cast<unsigned char>(p[k]) & 0xC0) != 0x80) return 1;
  } else if (!SingleByte(page) && ::IsDBCSLeadByteEx(page, lead)) {
    n = 2;
  }
  return n <= left ? n : 1;
}

// One piece: `text` from `from` to `to` exactly; false when a character does not convert.
bool ConvertPiece(unsigned from, unsigned to, std::string_view text, std::string& out) {
  if (text.empty()) return true;
  const int in_size = static_cast<int>(text.size());
  const int wide_size = ::MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), in_size, nullptr, 0);
  if (wide_size <= 0) return false;
  std::wstring wide(static_cast<size_t>(wide_size), L'\0');
  ::MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), in_size, wide.data(), wide_size);
  // UTF-8 takes every character and allows neither flag nor default-character report.
  const bool to_utf8 = to == CP_UTF8;
  BOOL defaulted = FALSE;
  const DWORD flags = to_utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL* used_default = to_utf8 ? nullptr : &defaulted;
  const int size = ::WideCharToMultiByte(to, flags, wide.data(), wide_size, nullptr, 0, nullptr, used_default);
  if (size <= 0 || defaulted) return false;
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(size));
  ::WideCharToMultiByte(to, flags, wide.data(), wide_size, out.data() + at, size, nullptr, nullptr);
  return true;
}

}  // namespace

std::string LocaleCharset() { return kUtf8; }

bool IsTerminalCharset(const std::string& name) {
  const unsigned page = CodePageOf(name);
  if (page == 0 || !SingleByte(page)) return false;
  for (int b = 0; b < static_cast<int>(kAsciiEnd); ++b) {
    const char in = static_cast<char>(b);
    wchar_t out = 0;
    if (::MultiByteToWideChar(page, 0, &in, 1, &out, 1) != 1 || out != static_cast<wchar_t>(b)) return false;
  }
  return true;
}

TextConverter::TextConverter(const std::string& from, const std::string& to) {
  from_page_ = CodePageOf(from);
  to_page_ = CodePageOf(to);
  ok_ = from_page_ != 0 && to_page_ != 0;
}

TextConverter::~TextConverter() = default;

size_t TextConverter::CharLength(const char* p, size_t left) const {
  return left == 0 ? 1 : tools::CharLength(from_page_, p, left);
}

bool TextConverter::Run(std::string_view text, std::string& out, bool replace) const {
  out.clear();
  if (!ok_ || from_page_ == to_page_) {
    out.assign(text);
    return true;
  }
  if (ConvertPiece(from_page_, to_page_, text, out)) return true;
  // Something does not convert: character by character, to find it.
  out.clear();
  bool exact = true;
  for (size_t at = 0; at < text.size();) {
    const size_t n = CharLength(text.data() + at, text.size() - at);
    if (!ConvertPiece(from_page_, to_page_, text.substr(at, n), out)) {
      exact = false;
      if (!replace) return false;
      out.push_back(kReplacement);
    }
    at += n;
  }
  return exact;
}

}  // namespace korvane::tools
