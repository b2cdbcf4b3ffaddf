// Reads a fuzzer's input as a program: bytes, 16-bit values and runs of bytes, zero past the end.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane::fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool Empty() const { return p_ == end_; }
  uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  std::vector<uint8_t> Take(size_t n) {
    n = std::min(n, static_cast<size_t>(end_ - p_));
    std::vector<uint8_t> out(p_, p_ + n);
    p_ += n;
    return out;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace korvane::fuzz
