// What TextConverter does the same way everywhere; the conversion itself is iconv's
// (text_charset_iconv.cpp) or the Windows code pages' (text_charset_win32.cpp).
#include "text_charset.h"

namespace korvane::tools {

std::string TerminalCharsetProblem(const std::string& name) {
  if (name.empty() || !ScreenText(name).Ok()) return "unknown charset '" + name + "'";
  if (!IsTerminalCharset(name))
    return name + " is not a charset the terminal can use (one byte a character, ASCII as ASCII)";
  return {};
}

std::string TextConverter::Convert(std::string_view text) const {
  std::string out;
  Run(text, out, true);
  return out;
}

bool TextConverter::ConvertExact(std::string_view text, std::string& out) const { return Run(text, out, false); }

ScreenText::ScreenText(const std::string& terminal_charset)
    : to_screen_(terminal_charset, LocaleCharset()), to_terminal_(LocaleCharset(), terminal_charset) {}

}  // namespace korvane::tools
