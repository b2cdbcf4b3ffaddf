#include "automation/bstr_text.h"

#include <climits>
#include <new>

namespace korvane::com {

HRESULT BstrToAnsi(BSTR text, std::string& out) {
  out.clear();
  if (!text) return S_OK;
  const size_t chars = wcsnlen(text, ::SysStringLen(text));
  if (chars == 0) return S_OK;
  if (chars > INT_MAX) return E_OUTOFMEMORY;
  const int wide = static_cast<int>(chars);
  const int bytes = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text, wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return HRESULT_FROM_WIN32(::GetLastError());
  try {
    out.resize(static_cast<size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  ::WideCharToMultiByte(CP_THREAD_ACP, 0, text, wide, out.data(), bytes, nullptr, nullptr);
  return S_OK;
}

std::string AnsiOf(BSTR text) {
  std::string out;
  if (FAILED(BstrToAnsi(text, out))) out.clear();
  return out;
}

HRESULT AnsiToBstr(std::string_view text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (text.size() > INT_MAX / 2) return E_OUTOFMEMORY;
  const int bytes = static_cast<int>(text.size());
  const int wide = bytes ? ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), bytes, nullptr, 0) : 0;
  if (bytes && wide <= 0) return HRESULT_FROM_WIN32(::GetLastError());
  BSTR result = ::SysAllocStringLen(nullptr, static_cast<UINT>(wide));
  if (!result) return E_OUTOFMEMORY;
  if (wide) ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), bytes, result, wide);
  *out = result;
  return S_OK;
}

}  // namespace korvane::com
