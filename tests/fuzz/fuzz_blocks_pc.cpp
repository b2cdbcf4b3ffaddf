// Arbitrary line bytes under the PC's side of the character-block protocol: the receive path
// (block search, noise cutting, checks, the caller's capacity), command echoes and ACK waits.
// The input is a program: an operation byte with its arguments, then the line's behaviour.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "legacy/block_engine.h"

namespace korvane {
namespace {

using fuzz::Input;

// Reads hand out the next pieces of the input; a read with nothing lets its time-out pass.
class FuzzLine final : public BlockLine {
 public:
  FuzzLine(Input& in, ManualClock& clock) : in_(in), clock_(clock) {}
  bool SetupQueues(uint32_t, uint32_t) override { return true; }
  bool SetTimeouts(const SerialTimeouts& t) override {
    t_ = t;
    return true;
  }
  bool GetState(SerialLineState&) override { return true; }
  bool SetState(const SerialLineState&) override { return true; }
  bool Read(uint8_t* buffer, uint32_t size, uint32_t& done) override {
    done = 0;
    const uint8_t how = in_.Byte();
    if (how == 0xFF) {
      flags_ = in_.Byte();
      return false;
    }
    if (how == 0 || in_.Empty()) {
      clock_.Advance(t_.read_constant);
      return true;
    }
    std::vector<uint8_t> piece = in_.Take(std::min<uint32_t>(how, size));
    std::memcpy(buffer, piece.data(), piece.size());
    done = static_cast<uint32_t>(piece.size());
    return true;
  }
  bool Write(const uint8_t*, uint32_t size, uint32_t& done) override {
    done = size;
    return true;
  }
  bool PurgeAll() override { return true; }
  bool PurgeInput() override { return true; }
  uint32_t ClearError() override { return std::exchange(flags_, 0u); }
  bool SetDtr(bool) override { return true; }
  uint32_t LastError() const override { return 0; }

 private:
  Input& in_;
  ManualClock& clock_;
  SerialTimeouts t_{};
  uint32_t flags_ = 0;
};

}  // namespace
}  // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  fuzz::Input in(data, size);
  ManualClock clock;
  FuzzLine line(in, clock);
  ElapsedCounter counter;
  BlockEngine engine(line, clock, counter);
  for (int step = 0; step < 16 && !in.Empty(); ++step) {
    switch (in.Byte() % 3) {
      case 0: {
        const int32_t capacity = in.U16() % (kBlockBufferSize + 16);
        std::vector<char> buffer(static_cast<size_t>(capacity) + 1, '\x55');
        int32_t got = capacity;
        if (engine.TryToRecv(buffer.data(), got) == 1) {
          // A taken row fits the caller's buffer with its NUL.
          if (got < 0 || got >= capacity || buffer[static_cast<size_t>(got)] != '\0') std::abort();
        } else if (got != capacity) {
          std::abort();
        }
        break;
      }
      case 1: engine.SendCmd("303"); break;
      default: engine.TryToSend("row"); break;
    }
  }
  return 0;
}
