// korvane doctor: which port a terminal answers on, what keeps the others from working, and how
// good the line is. It only opens, checks and queries: nothing on the terminal is changed.
#pragma once
#include "cli_args.h"
#include "text_charset.h"

namespace korvane::tools {

// Checks every listed port and every --port at once and prints a table (or, with --json, one
// JSON object per port and line). kExitOk when a terminal answered somewhere, kExitFailure if not.
int RunDoctor(const CliOptions& o, const ScreenText& text);

}  // namespace korvane::tools
