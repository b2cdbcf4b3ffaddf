// Arbitrary bytes from the line under the v3 frame engine, with the owner's calls interleaved.
// The input is a program: each step takes an operation byte and its arguments from the data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "frame/frame_buffer.h"
#include "frame/frame_layout.h"
#include "fuzz_input.h"

namespace korvane {
namespace {

constexpr uint32_t kMaxCallTimeoutMs = 1500;

using fuzz::Input;

// The line: bytes the fuzzer feeds arrive in reads; a read that finds nothing lets time pass as a
// blocking read would.
class FuzzLine final : public _tag_ReadWriteStream {
 public:
  explicit FuzzLine(ManualClock& clock) : clock_(clock) {}
  std::deque<uint8_t> incoming;
  uint32_t read_error = 0;
  uint32_t write_error = 0;
  uint32_t read_chunk = 0;

  int32_t Read(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& err) override {
    if (count > size) std::abort();
    if (read_error) {
      err = read_error;
      read_error = 0;
      return static_cast<int32_t>(count);
    }
    err = 0;
    uint32_t n = std::min<uint32_t>(size - count, static_cast<uint32_t>(incoming.size()));
    if (read_chunk) n = std::min(n, read_chunk);
    if (n == 0) {
      clock_.Advance(timeout_ms > 0 ? static_cast<uint32_t>(timeout_ms) : 1);
      return static_cast<int32_t>(count);
    }
    for (uint32_t i = 0; i < n; ++i) {
      buffer[count + i] = incoming.front();
      incoming.pop_front();
    }
    count += n;
    return static_cast<int32_t>(count);
  }
  int32_t Write(int32_t, const uint8_t* data, uint32_t length, uint32_t& err) override {
    if (write_error) {
      err = write_error;
      return 0;
    }
    err = 0;
    // Touch every byte so a frame read out of bounds shows up under the address sanitizer.
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < length; ++i) sink = sink ^ data[i];
    return static_cast<int32_t>(length);
  }
  int32_t Flush(int32_t, uint32_t& err) override {
    err = 0;
    return 1;
  }

 private:
  ManualClock& clock_;
};

void FeedFrame(FuzzLine& line, Input& in) {
  const uint16_t number = in.U16();
  const uint8_t control = static_cast<uint8_t>(in.Byte() % 8);
  const uint8_t body_len = in.Byte();
  std::vector<uint8_t> frame(kFrameHeaderSize);
  std::vector<uint8_t> body = in.Take(body_len);
  frame.insert(frame.end(), body.begin(), body.end());
  FinishFrame(frame.data(), number, static_cast<uint16_t>(frame.size()), control);
  line.incoming.insert(line.incoming.end(), frame.begin(), frame.end());
}

}  // namespace
}  // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  Input in(data, size);
  ManualClock clock(in.U16() | (static_cast<uint32_t>(in.Byte()) << 24));
  FuzzLine line(clock);
  CFrameBuffer fb(clock);
  const uint8_t setup = in.Byte();
  fb.Configure(12 + (setup & 0x7F) * 8, 1 + (setup >> 7) * 2);
  fb.SetInitiator(setup & 1);
  fb.SetNextExpected(in.U16());
  fb.SetLower(&line);

  std::vector<uint8_t> buffer;
  uint32_t err = 0;
  while (!in.Empty()) {
    const uint32_t timeout = in.Byte() * kMaxCallTimeoutMs / 255;
    switch (in.Byte() % 10) {
      case 0: {
        std::vector<uint8_t> raw = in.Take(in.Byte());
        line.incoming.insert(line.incoming.end(), raw.begin(), raw.end());
        break;
      }
      case 1:
      case 2:
        FeedFrame(line, in);
        break;
      case 3: {
        const uint32_t size = in.Byte();
        buffer.assign(size + 1, 0);
        uint32_t count = in.Byte() % (size + 1);
        fb.Read(static_cast<int32_t>(timeout), buffer.data(), size, count, err);
        if (count > size) std::abort();
        break;
      }
      case 4: {
        std::vector<uint8_t> payload(in.U16() % 4096, 0x5A);
        fb.Write(static_cast<int32_t>(timeout), payload.data(), static_cast<uint32_t>(payload.size()), err);
        break;
      }
      case 5:
        fb.Flush(static_cast<int32_t>(timeout), err);
        break;
      case 6: {
        uint16_t version = 0;
        fb.Sync(static_cast<int32_t>(timeout), version, err);
        break;
      }
      case 7:
        clock.Advance(in.U16());
        break;
      case 8: {
        const uint8_t what = in.Byte();
        if (what & 1) line.read_error = what;
        if (what & 2) line.write_error = line.write_error ? 0 : what;
        line.read_chunk = (what >> 2) & 0x0F;
        break;
      }
      case 9:
        fb.SetInitiator(in.Byte() & 1);
        break;
    }
  }
  return 0;
}
