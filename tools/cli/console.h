// The tools' standard output and error where they meet a console. On Windows a console takes
// UTF-16 (so Russian text shows right whatever its code page): the tools' UTF-8 is relayed to it,
// see console_win32.cpp. Elsewhere the terminal takes the locale's bytes as they are.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace korvane::tools {

// Whether `stream` shows on a terminal (the progress bar is drawn only there).
bool IsTerminal(FILE* stream);

// UTF-8 to UTF-16 for a console, fed in pieces as they were written: a character cut between two
// pieces waits for the rest; each byte that starts no character becomes U+FFFD.
class Utf8ToUtf16 {
 public:
  void Feed(std::string_view bytes, std::u16string& out);

 private:
  std::string pending_;
};

}  // namespace korvane::tools
