// The invalid-parameter handler that loading the library installs: what it writes to the add-in
// trace, and a setter standing in for the run-time library's.
#include <fstream>
#include <iterator>
#include <utility>

#include "automation/invalid_parameter_trace.h"
#include "com_unit_util.h"
#include "log/addin_trace.h"

namespace korvane::com::test {
namespace {

_invalid_parameter_handler g_installed = nullptr;

_invalid_parameter_handler __cdecl Setter(_invalid_parameter_handler handler) {
  return std::exchange(g_installed, handler);
}
void __cdecl Foreign(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {}
void __cdecl Later(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {}

std::string Ansi(const wchar_t* text) {
  char out[64] = {};
  ::WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr);
  return out;
}

TEST(InvalidParameterTrace, WritesTheAddinTraceAndLeavesWithTheLibrary) {
  const std::string trace = ::testing::TempDir() + "korvane_invalid_parameter.log";
  ::DeleteFileA(trace.c_str());
  AddinTrace& addin = AddinTrace::Instance();
  const uint32_t level = addin.Threshold();
  const std::string file = addin.FileName();
  addin.Set(0, trace);

  g_installed = &Foreign;
  InstallInvalidParameterTrace(&Setter);
  ASSERT_EQ(g_installed, &TraceInvalidParameter);
  g_installed(L"n > 0", L"Сверка", L"file.c", 12, 0);
  g_installed(nullptr, nullptr, nullptr, 0, 0);  // what a release run-time library passes
  std::ifstream in(trace, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  EXPECT_NE(written.find("Invalid parameter detected in function " + Ansi(L"Сверка") +
                         ". File: file.c Line: 12\nExpression: n > 0\n\r\n"),
            std::string::npos)
      << written;
  EXPECT_NE(written.find("Invalid parameter detected in function (null). File: (null) Line: 0\nExpression: (null)\n"),
            std::string::npos)
      << written;

  // Unloading puts back the handler that was there, but not over one installed since.
  UninstallInvalidParameterTrace(&Setter);
  EXPECT_EQ(g_installed, &Foreign);
  InstallInvalidParameterTrace(&Setter);
  g_installed = &Later;
  UninstallInvalidParameterTrace(&Setter);
  EXPECT_EQ(g_installed, &Later);
  // A run-time library without a handler of its own: nothing to install.
  InstallInvalidParameterTrace(nullptr);
  UninstallInvalidParameterTrace(nullptr);

  addin.Set(level, file);
  ::DeleteFileA(trace.c_str());
}

}  // namespace
}  // namespace korvane::com::test
