// The kind whose native side is a library loaded at run time, the terminal-server channel. Until
// its engine is built it fails to open exactly as on a machine without wtsapi32.dll.
#include "port/port_kinds.h"

namespace korvane {

namespace {
constexpr uint32_t kChannelLibraryMissing = 41;
}  // namespace

std::unique_ptr<PortDevice> OpenRdpChannelPort(const std::string&, uint32_t& step_error, uint32_t& system_error) {
  step_error = kChannelLibraryMissing;
  system_error = 0;
  return nullptr;
}

}  // namespace korvane
