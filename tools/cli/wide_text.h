// UTF-8 <-> UTF-16 for the Windows halves of the tools: the tools' own text is UTF-8 there, the
// system's names and the console are UTF-16; the library's narrow system calls take the ANSI code
// page.
#pragma once
#include <string>
#include <string_view>

namespace korvane::tools {

inline constexpr unsigned kUtf8CodePage = 65001;
inline constexpr unsigned kAnsiCodePage = 0;

std::wstring Wide(std::string_view text, unsigned code_page = kUtf8CodePage);
std::string Narrow(std::wstring_view wide, unsigned code_page);
inline std::string Utf8(std::wstring_view wide) { return Narrow(wide, kUtf8CodePage); }
// The system's narrow texts (error messages) are in the ANSI code page.
inline std::string AnsiToUtf8(std::string_view ansi) { return Utf8(Wide(ansi, kAnsiCodePage)); }

}  // namespace korvane::tools
