// Conversion between the terminal's charset (the library's strings) and the user's locale, for
// what the tools show on the screen and take from the command line.
#pragma once
#include <string>
#include <string_view>

namespace korvane::tools {

// The charset of the user's locale after setlocale(LC_ALL, ""); a C or POSIX locale gets UTF-8,
// since its ASCII would turn every Cyrillic letter into a question mark.
std::string LocaleCharset();

// A charset the terminal can speak: one byte a character, and ASCII as ASCII, since the protocol's
// control bytes, digits and separators travel inside the rows and commands.
bool IsTerminalCharset(const std::string& name);
// Why `name` cannot be the terminal's charset (empty: it can), for both tools' --charset.
std::string TerminalCharsetProblem(const std::string& name);

class TextConverter {
 public:
  // `from` and `to` are charset names (iconv's; on Windows the same names of code pages). Same names (or an open
  // failure) make a pass-through.
  TextConverter(const std::string& from, const std::string& to);
  ~TextConverter();
  TextConverter(const TextConverter&) = delete;
  TextConverter& operator=(const TextConverter&) = delete;

  bool Ok() const { return ok_; }
  // A character that does not convert (or a byte that is no character) comes out as one '?', so a
  // message is never lost for one bad byte.
  std::string Convert(std::string_view text) const;
  // False at the first character that does not convert; `out` then holds what converted before it.
  bool ConvertExact(std::string_view text, std::string& out) const;

 private:
  // Converts `text` into `out`; at a character that does not convert, stops (false) or writes '?'.
  bool Run(std::string_view text, std::string& out, bool replace) const;
  // Bytes of the source character at `p` (1 when they are no character of the source charset).
  size_t CharLength(const char* p, size_t left) const;

  void* cd_ = nullptr;
  void* measure_cd_ = nullptr;  // source charset to UTF-32, to step over a whole character
  unsigned from_page_ = 0;      // Windows: the code pages instead of iconv's descriptors
  unsigned to_page_ = 0;
  bool ok_ = false;
};

// The pair a tool needs: terminal -> screen and command line -> terminal.
class ScreenText {
 public:
  explicit ScreenText(const std::string& terminal_charset);
  bool Ok() const { return to_screen_.Ok() && to_terminal_.Ok(); }
  std::string ToScreen(std::string_view terminal_text) const { return to_screen_.Convert(terminal_text); }
  std::string ToTerminal(std::string_view screen_text) const { return to_terminal_.Convert(screen_text); }

 private:
  TextConverter to_screen_;
  TextConverter to_terminal_;
};

}  // namespace korvane::tools
