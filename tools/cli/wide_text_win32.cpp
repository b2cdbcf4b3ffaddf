#include <windows.h>

#include "wide_text.h"

namespace korvane::tools {

static_assert(kUtf8CodePage == CP_UTF8 && kAnsiCodePage == CP_ACP);

std::wstring Wide(std::string_view text, unsigned code_page) {
  if (text.empty()) return {};
  const int n = ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view wide, unsigned code_page) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                      nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace korvane::tools
