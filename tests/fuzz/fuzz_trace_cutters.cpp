// Arbitrary bytes in arbitrary pieces through the frame trace's cutters, both directions: frames
// (v2, v3) at the port and blocks (1.00) at the line. Nothing is written: the cutting is what runs.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "frame/frame_trace_tap.h"
#include "fuzz_input.h"
#include "legacy/block_trace.h"

namespace {

// Each read hands out the next piece the fuzzer chose.
class PieceLine final : public korvane::BlockLine {
 public:
  explicit PieceLine(korvane::fuzz::Input& in) : in_(in) {}
  bool SetupQueues(uint32_t, uint32_t) override { return true; }
  bool SetTimeouts(const korvane::SerialTimeouts&) override { return true; }
  bool GetState(korvane::SerialLineState&) override { return true; }
  bool SetState(const korvane::SerialLineState&) override { return true; }
  bool Read(uint8_t* buffer, uint32_t size, uint32_t& done) override {
    const auto piece = in_.Take(std::min<uint32_t>(size, in_.U16()));
    std::copy(piece.begin(), piece.end(), buffer);
    done = static_cast<uint32_t>(piece.size());
    return true;
  }
  bool Write(const uint8_t*, uint32_t size, uint32_t& done) override {
    done = size;
    return true;
  }
  bool PurgeAll() override { return true; }
  bool PurgeInput() override { return true; }
  uint32_t ClearError() override { return 0; }
  bool SetDtr(bool) override { return true; }
  uint32_t LastError() const override { return 0; }

 private:
  korvane::fuzz::Input& in_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  fuzz::Input in(data, size);
  auto tap = MakeFrameTraceTap("fuzz");
  auto line = TraceBlockLine(std::make_unique<PieceLine>(in), "fuzz");
  uint8_t buffer[1 << 16];
  while (!in.Empty()) {
    const uint8_t what = in.Byte();
    const auto piece = in.Take(in.U16());
    uint32_t done = 0;
    switch (what % 4) {
      case 0: tap->Sent(piece.data(), static_cast<uint32_t>(piece.size())); break;
      case 1: tap->Received(piece.data(), static_cast<uint32_t>(piece.size())); break;
      case 2: line->Write(piece.data(), static_cast<uint32_t>(piece.size()), done); break;
      default: line->Read(buffer, sizeof buffer, done); break;
    }
  }
  return 0;
}
