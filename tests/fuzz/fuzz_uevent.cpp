// Arbitrary datagrams as the kernel's device event socket could deliver them: the parser and the
// change filter must hold their promises on every input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "port/uevent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  const auto event = ParseUevent(data, size);
  if (!event) return 0;
  if (event->action.empty() || event->devpath.empty() || event->devpath[0] != '/' || event->subsystem.empty())
    std::abort();
  if (event->action.size() + event->devpath.size() + 1 > size) std::abort();
  if (const auto change = DeviceChangeOf(*event)) {
    if (change->name.empty() || change->name.find('/') != std::string::npos) std::abort();
    if (!change->hardware_id.empty() && change->hardware_id.size() != 30) std::abort();
  }
  return 0;
}
