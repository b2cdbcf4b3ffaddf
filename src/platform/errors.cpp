#include "platform/errors.h"

namespace korvane {

namespace {
// What Windows drivers report on a read or write after the adapter was pulled.
constexpr uint32_t kErrBadCommand = 22;
constexpr uint32_t kErrGenFailure = 31;
constexpr uint32_t kErrNoSuchDevice = 433;
constexpr uint32_t kErrDeviceRemoved = 1617;
}  // namespace

bool IsDeviceLostError(uint32_t err) {
  return err == kErrDeviceLost || err == kErrBadCommand || err == kErrGenFailure || err == kErrNoSuchDevice ||
         err == kErrDeviceRemoved;
}

}  // namespace korvane
