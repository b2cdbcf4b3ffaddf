#include <unistd.h>

#include "console.h"

namespace korvane::tools {

bool IsTerminal(FILE* stream) { return ::isatty(fileno(stream)) != 0; }

}  // namespace korvane::tools
