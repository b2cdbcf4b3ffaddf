#include "frame/lvl_stream.h"

namespace korvane {

int32_t CLvlStream::Read(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& err) {
  if (!port_) return 0;
  return static_cast<int32_t>(LvlReadMore(port_, buffer, count, size, timeout_ms < 0 ? 0 : timeout_ms, err));
}

int32_t CLvlStream::Write(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err) {
  if (!port_) return 0;
  return static_cast<int32_t>(LvlSend(port_, data, length, timeout_ms < 0 ? 0 : timeout_ms, err));
}

int32_t CLvlStream::Flush(int32_t, uint32_t& err) {
  err = 0;
  LvlPurge(port_);
  return 1;
}

}  // namespace korvane
