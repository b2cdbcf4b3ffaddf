#include "automation/invalid_parameter_trace.h"

#include <windows.h>

#include <cstdlib>
#include <string>

#include "automation/com_object.h"
#include "log/addin_trace.h"

namespace korvane::com {

namespace {

_invalid_parameter_handler g_previous = nullptr;

std::string AnsiText(const wchar_t* text) {
  if (!text) return "(null)";
  const int n = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

}  // namespace

void __cdecl TraceInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                   unsigned int line, uintptr_t) {
  Quietly([&] {
    AddinTrace::Instance().TraceInvalidParameter(AnsiText(function), AnsiText(file), static_cast<int>(line),
                                                 AnsiText(expression));
  });
}

SetInvalidParameterHandler RunTimeInvalidParameterSetter() {
  HMODULE crt = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&std::free)), &crt))
    return nullptr;
  return reinterpret_cast<SetInvalidParameterHandler>(
      reinterpret_cast<void*>(::GetProcAddress(crt, "_set_invalid_parameter_handler")));
}

void InstallInvalidParameterTrace(SetInvalidParameterHandler set) {
  if (set) g_previous = set(&TraceInvalidParameter);
}

void UninstallInvalidParameterTrace(SetInvalidParameterHandler set) {
  if (!set) return;
  const _invalid_parameter_handler current = set(g_previous);
  if (current != &TraceInvalidParameter) set(current);
  g_previous = nullptr;
}

}  // namespace korvane::com
