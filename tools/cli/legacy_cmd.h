// `korvane legacy ...` through the legacy port object.
#pragma once
#include "cli_args.h"
#include "text_charset.h"

namespace korvane::tools {

int RunLegacy(const CliOptions& o, const ScreenText& text);

}  // namespace korvane::tools
