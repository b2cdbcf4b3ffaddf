// Each tool's program, called by the platform's entry point (entry_posix.cpp, entry_win32.cpp)
// with its arguments in the tool's own text: the locale's bytes, or UTF-8 on Windows.
#pragma once

int ToolMain(int argc, char** argv);
