// Text across the automation edge: BSTR (UTF-16) in, the library's 8-bit text out, both through
// the calling thread's ANSI code page.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace korvane::com {

// The text ends at the BSTR's first zero character; a null BSTR is the empty text.
HRESULT BstrToAnsi(BSTR text, std::string& out);
// Convenience for callers that cannot fail half-way: the empty text when conversion fails.
std::string AnsiOf(BSTR text);
// A new BSTR of the whole text, embedded zero bytes included. On failure *out is null.
HRESULT AnsiToBstr(std::string_view text, BSTR* out);

}  // namespace korvane::com
