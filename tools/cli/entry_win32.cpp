// Windows entry: arguments come as UTF-16 (so any character typed reaches the tool) and go on as
// UTF-8; output to a console is relayed to it as UTF-16.
#include <string>
#include <vector>

#include "console_win32.h"
#include "tool_entry.h"
#include "wide_text.h"

int wmain(int argc, wchar_t** argv) {
  korvane::tools::StartConsoleRelay();
  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(korvane::tools::Utf8(argv[i]));
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  const int status = ToolMain(argc, pointers.data());
  korvane::tools::StopConsoleRelay();
  return status;
}
