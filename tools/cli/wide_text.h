// UTF-8 <-> UTF-16 for the Windows halves of the tools: the tools' own text is UTF-8 there, the
// system's names and the console are UTF-16.
#pragma once
#include <string>
#include <string_view>

namespace korvane::tools {

std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);
// The system's narrow texts (error messages) are in the ANSI code page.
std::string AnsiToUtf8(std::string_view ansi);

}  // namespace korvane::tools
