// Arbitrary answer bytes under the v2 exchange (tsSend / tsRecv) and arbitrary PC bytes under the
// terminal-side responder. The input is a program: operation bytes with their arguments, and the
// answers the line gives to each frame the PC writes come from the same data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "frame/frame_exchange.h"
#include "frame/frame_layout.h"
#include "terminal/v2_responder.h"
#include "platform/ticks.h"
#include "port/link_port.h"
#include "fuzz_input.h"

namespace korvane {
namespace {

constexpr uint32_t kMaxCallTimeoutMs = 5000;
constexpr uint32_t kMaxBlock = 20000;

using fuzz::Input;

// Every write is answered with the next piece of the input (which may be nothing, noise or a
// frame); an empty read lets time pass as a blocking read would.
class FuzzLine final : public PortDevice {
 public:
  FuzzLine(Input& in, ManualClock& clock) : in_(in), clock_(clock) {}
  bool HasHandle() const override { return true; }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t, uint32_t& err) override {
    if (length < kFrameHeaderSize || FrameLength(data) != length || length > kLastFrameSize) std::abort();
    const uint8_t how = in_.Byte();
    if (how == 0xFF) {
      err = 5;  // a failing port
      return 0;
    }
    err = 0;
    size_t n = how & 0x7F;
    if (how & 0x80) n = n * 64 + in_.Byte();
    for (uint8_t b : in_.Take(n)) incoming_.push_back(b);
    read_chunk_ = in_.Byte() % 16;
    return length;
  }
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    if (count > capacity || capacity > kLastFrameSize) std::abort();
    err = 0;
    if (incoming_.empty()) {
      clock_.Advance(static_cast<uint32_t>(timeout_ms > 0 ? timeout_ms : 1));
      return count;
    }
    uint32_t room = capacity - count;
    if (read_chunk_ && room > read_chunk_) room = read_chunk_;
    while (room-- && !incoming_.empty()) {
      buffer[count++] = incoming_.front();
      incoming_.pop_front();
    }
    return count;
  }
  void Purge() override { incoming_.clear(); }
  void Close() override {}

 private:
  Input& in_;
  ManualClock& clock_;
  std::deque<uint8_t> incoming_;
  uint32_t read_chunk_ = 0;
};

// A port error is reported only with the port's error number.
bool KnownResult(int32_t r, uint32_t err) { return r == kTsPortError ? err != 0 : r >= E_ALG_CRASH; }

void RunExchange(Input& in) {
  ManualClock clock;
  TsPort* port = tsAdoptPort(LvlAdopt(std::make_unique<FuzzLine>(in, clock), Serial));
  port->clock = &clock;
  std::vector<uint8_t> last(kLastFrameSize, 0);
  std::vector<uint8_t> block(kMaxBlock);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 31);
  std::vector<uint8_t> buffer;
  for (int op = 0; op < 16 && !in.Empty(); ++op) {
    uint32_t err = 0;
    const uint32_t timeout = in.U16() % kMaxCallTimeoutMs;
    switch (in.Byte() % 4) {
      case 0: {
        const uint32_t length = in.U16() % kMaxBlock;
        const int32_t r = tsSend(port, last.data(), block.data(), length, timeout, err);
        if (!KnownResult(r, err) || r > 1) std::abort();
        break;
      }
      case 1: {
        buffer.assign(1 + in.U16() % kMaxBlock, 0);
        const int32_t r = tsRecv(port, last.data(), buffer.data(), static_cast<uint32_t>(buffer.size()), timeout, err);
        if (!KnownResult(r, err) || r > static_cast<int32_t>(buffer.size())) std::abort();
        break;
      }
      case 2: {
        // What an earlier SYN may have left, including sizes a SYN never sets.
        port->remote_version = in.U16();
        port->max_frame_size = in.U16();
        break;
      }
      default:
        port->frame_timeout = static_cast<uint16_t>(50 + in.U16() % 2000);
        break;
    }
    if (port->max_frame_size > kLastFrameSize) port->max_frame_size = 0;
  }
  tsClosePort(port);
}

void RunResponder(Input& in) {
  V2Responder responder(in.Byte() & 1 ? kProtocolV2Large : kProtocolV2);
  responder.SetMaxBlockSize(1 + in.U16());
  std::vector<uint8_t> out, block;
  while (!in.Empty()) {
    const uint8_t op = in.Byte();
    if (op < 0xF0) {
      const std::vector<uint8_t> bytes = in.Take(op);
      responder.Feed(bytes.data(), bytes.size());
    } else if (op < 0xF8) {
      block.assign(in.U16() % 30000, op);
      responder.QueueBlock(block.data(), block.size());
    } else if (op < 0xFC) {
      responder.ForceNakOnce(in.Byte(), op & 1 ? -1 : in.U16());
    } else {
      out = responder.TakeOutput();
      // Every answer is a whole frame with a good CRC.
      size_t pos = 0;
      while (pos < out.size()) {
        if (out.size() - pos < kFrameHeaderSize || !FrameMarkersAt(out.data() + pos)) std::abort();
        const uint16_t len = FrameLength(out.data() + pos);
        if (len < kFrameHeaderSize || pos + len > out.size() || len > responder.FrameSize()) std::abort();
        if (!VerifyFrameCrc(out.data() + pos, len)) std::abort();
        pos += len;
      }
    }
    while (responder.PopReceived(block)) {
    }
  }
}

}  // namespace
}  // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  korvane::Input in(data + 1, size - 1);
  if (data[0] & 1) {
    korvane::RunResponder(in);
  } else {
    korvane::RunExchange(in);
  }
  return 0;
}
