#include "legacy/block_trace.h"

#include <algorithm>

#include "legacy/block_format.h"
#include "log/frame_trace.h"

namespace korvane {

namespace {

class BlockCutter final : public TraceCutter {
 public:
  using TraceCutter::TraceCutter;
  ~BlockCutter() override { Finish(); }

 protected:
  bool Cut(uint8_t* bytes, uint32_t count, uint32_t& noise, TraceUnit& u) override {
    noise = 0;
    for (;;) {
      const uint8_t* start = std::find_if(bytes + noise, bytes + count, [](uint8_t b) {
        return b == kBlockACK || b == kBlockNAK || b == kBlockSOH || b == kBlockENQ || b == kBlockRS;
      });
      noise = static_cast<uint32_t>(start - bytes);
      if (noise == count) return false;
      const uint8_t* b = start;
      const uint32_t left = count - noise;
      u.unit = "block";
      switch (*b) {
        case kBlockACK:
        case kBlockNAK:
          if (left < kAnswerBlockSize) return false;
          u.kind = *b == kBlockACK ? "ACK" : "NAK";
          return Whole(u, b, kAnswerBlockSize);
        case kBlockSOH:
        case kBlockENQ:
          if (left < kCommandBlockSize) return false;
          u.kind = *b == kBlockSOH ? "CMD" : "ANSWER";
          return Whole(u, b, kCommandBlockSize);
        default: {
          const uint32_t limit = std::min(left, kBlockBufferSize);
          const uint8_t* etb = std::find(b + 1, b + limit, kBlockETB);
          if (etb + 1 < b + limit) {
            const bool end_of_data = etb == b + 2 && b[1] == kBlockEOT;
            u.kind = end_of_data ? "EOD" : "DATA";
            return Whole(u, b, static_cast<uint32_t>(etb - b) + 2);
          }
          if (left < kBlockBufferSize) return false;
          ++noise;  // an RS that no block follows
        }
      }
    }
  }

 private:
  static bool Whole(TraceUnit& u, const uint8_t* b, uint32_t length) {
    u.length = length;
    u.check = BlockChecksum(b, length - 1) == b[length - 1] ? "sum-ok" : "sum-bad";
    return true;
  }
};

class TracedBlockLine final : public ForwardingBlockLine {
 public:
  TracedBlockLine(std::unique_ptr<BlockLine> line, const std::string& link)
      : ForwardingBlockLine(std::move(line)), sent_(link, kTraceSent), received_(link, kTraceReceived) {}
  bool Read(uint8_t* buffer, uint32_t size, uint32_t& done) override {
    const bool ok = ForwardingBlockLine::Read(buffer, size, done);
    if (done > 0) received_.Feed(buffer, done);
    return ok;
  }
  bool Write(const uint8_t* data, uint32_t size, uint32_t& done) override {
    const bool ok = ForwardingBlockLine::Write(data, size, done);
    if (done > 0) sent_.Feed(data, done);
    return ok;
  }

 private:
  BlockCutter sent_;
  BlockCutter received_;
};

}  // namespace

std::unique_ptr<BlockLine> TraceBlockLine(std::unique_ptr<BlockLine> line, const std::string& link) {
  if (!line) return line;
  return std::make_unique<TracedBlockLine>(std::move(line), link);
}

}  // namespace korvane
