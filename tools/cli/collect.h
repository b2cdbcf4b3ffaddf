// korvane collect: one table from many terminals at once, each into a CSV file named by the
// terminal's device ID. The end-of-shift job of a rack of docked terminals.
#pragma once
#include "cli_args.h"
#include "text_charset.h"

namespace korvane::tools {

// Downloads table `o.args[0]` from every --port (or every port the system lists, and the one in
// KORVANE_PORT) in parallel into the folder `o.output`. kExitOk when every terminal's file was
// written, kExitFailure when any was not (or no terminal was found), kExitUsage for bad arguments.
int RunCollect(const CliOptions& o, const ScreenText& text);

}  // namespace korvane::tools
