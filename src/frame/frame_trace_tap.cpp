#include "frame/frame_trace_tap.h"

#include "frame/frame_layout.h"
#include "log/frame_trace.h"

namespace korvane {

namespace {

constexpr uint32_t kMaxFrameLength = 0xFFFF;

class FrameCutter final : public TraceCutter {
 public:
  using TraceCutter::TraceCutter;
  ~FrameCutter() override { Finish(); }

 protected:
  bool Cut(uint8_t* bytes, uint32_t count, uint32_t& noise, TraceUnit& u) override {
    const FrameFound found = FindFrame(bytes, count, 0, kMaxFrameLength);
    noise = found.start;
    if (found.length == 0) return false;
    const uint8_t* f = bytes + found.start;
    u.unit = "frame";
    u.number = FrameNumber(f);
    u.kind = FrameKindName(FrameControlCode(f));
    u.check = found.crc_ok ? "crc-ok" : "crc-bad";
    u.length = found.length;
    // A damaged frame ends where a good one begins inside it: its length may be the damage.
    if (!found.crc_ok) u.length = GoodFrameWithin(bytes + found.start, count - found.start, found.length);
    return true;
  }

 private:
  static uint32_t GoodFrameWithin(uint8_t* f, uint32_t count, uint32_t length) {
    for (uint32_t q = 1; q < length && count - q >= kFrameHeaderSize; ++q) {
      if (!FrameMarkersAt(f + q)) continue;
      const uint16_t n = FrameLength(f + q);
      if (n >= kFrameHeaderSize && n <= count - q && VerifyFrameCrc(f + q, n)) return q;
    }
    return length;
  }
};

class FrameTraceTap final : public WireTap {
 public:
  explicit FrameTraceTap(const std::string& link) : sent_(link, kTraceSent), received_(link, kTraceReceived) {}
  void Sent(const uint8_t* data, uint32_t length) override { sent_.Feed(data, length); }
  void Received(const uint8_t* data, uint32_t length) override { received_.Feed(data, length); }

 private:
  FrameCutter sent_;
  FrameCutter received_;
};

}  // namespace

std::string FrameKindName(uint8_t control) {
  switch (control) {
    case kCtlSyn: return "SYN";
    case kCtlReq: return "REQ";
    case kCtlData: return "DATA";
    case kCtlFrag: return "FRAG";
    case kCtlAck: return "ACK";
    case kCtlNak: return "NAK";
    default: return "CODE" + std::to_string(control);
  }
}

std::unique_ptr<WireTap> MakeFrameTraceTap(const std::string& link) { return std::make_unique<FrameTraceTap>(link); }

}  // namespace korvane
