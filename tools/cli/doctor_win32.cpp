// The Windows build has no doctor yet: its checks read Linux's /proc, groups and sysfs.
#include <cstdio>

#include "doctor.h"

namespace korvane::tools {

int RunDoctor(const CliOptions&, const ScreenText&) {
  std::fprintf(stderr, "korvane: doctor is not available on Windows yet; 'korvane ports' lists the ports\n");
  return kExitUsage;
}

}  // namespace korvane::tools
