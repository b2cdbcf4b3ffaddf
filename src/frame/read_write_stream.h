// The library's one byte-stream interface: the frame engine is written against it and is one.
#pragma once
#include <cstdint>

namespace korvane {

// Slot order Read, Write, Flush. No virtual destructor: owners delete the concrete type.
struct _tag_ReadWriteStream {
  // Appends to buffer from `count` on, never beyond `size`. err is 0 or the lower layer's error.
  virtual int32_t Read(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& err) = 0;
  virtual int32_t Write(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err) = 0;
  virtual int32_t Flush(int32_t timeout_ms, uint32_t& err) = 0;

 protected:
  ~_tag_ReadWriteStream() = default;
};

}  // namespace korvane
