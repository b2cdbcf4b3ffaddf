// How damaged the line is, judged from its recent frames: how many were wasted (sent again, lost,
// damaged, duplicated) and how long they were. A frame of L bytes gets through a line that damages
// a share q of bytes with probability (1 - q)^L, so the wasted share over the frames' mean length
// estimates q whatever the protocol's frame size. The link stops a transfer on a line this bad,
// which otherwise crawls on as long as each single record still gets through within its time-out.
#pragma once
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

namespace korvane {

// The last this many frames are judged; after a failed exchange, as few as kLineQualityFramesAfterFailure.
constexpr uint32_t kLineQualityFrames = 64;
constexpr uint32_t kLineQualityFramesAfterFailure = 16;
// A line that damages more than this share of its bytes fails a transfer. Protocols v2 and v3
// (whose frames shrink on such a line) still complete at 0.2%, at a fraction of the line's speed.
constexpr double kLineFailingByteErrors = 0.005;

class LineQuality {
 public:
  // `bytes`: what had to arrive intact for the frame to count (a frame and its answer);
  // `damaged`: the frame (or the answer) arrived with a bad CRC, or the peer said so.
  // Every frame judged since the measure was made; Reset keeps them, so a reader takes differences.
  struct Totals {
    uint64_t frames = 0;
    uint64_t wasted = 0;   // had to go again: sent again, or arrived damaged or twice
    uint64_t damaged = 0;  // a bad CRC, or the peer said it got one
  };

  void Note(bool wasted, uint32_t bytes, bool damaged = false) {
    ++totals_.frames;
    totals_.wasted += wasted ? 1 : 0;
    totals_.damaged += damaged ? 1 : 0;
    history_ = (history_ << 1) | (wasted ? 1u : 0u);
    damaged_ = (damaged_ << 1) | (damaged ? 1u : 0u);
    bytes_total_ -= lengths_[next_];
    lengths_[next_] = bytes;
    bytes_total_ += bytes;
    next_ = (next_ + 1) % kLineQualityFrames;
    if (samples_ < kLineQualityFrames) ++samples_;
  }
  void Reset() {
    const Totals kept = totals_;
    *this = LineQuality();
    totals_ = kept;
  }
  const Totals& Total() const { return totals_; }
  uint32_t Samples() const { return samples_; }
  uint32_t Wasted() const { return static_cast<uint32_t>(std::popcount(history_ & Mask())); }
  // Frames among them that arrived damaged, or that the peer said were.
  uint32_t Damaged() const { return static_cast<uint32_t>(std::popcount(damaged_ & Mask())); }
  // The share of bytes the line damages, from the frames judged; every frame wasted counts as half
  // a frame through, which keeps the estimate finite.
  double ByteErrorRate() const {
    if (samples_ == 0 || bytes_total_ == 0) return 0;
    const double mean_length = static_cast<double>(bytes_total_) / samples_;
    const double through = std::max(0.5, static_cast<double>(samples_ - Wasted())) / samples_;
    return 1.0 - std::pow(through, 1.0 / mean_length);
  }
  // Silence wastes frames too, but damages none: that is a peer gone or slow, not a bad line. Every
  // frame wasted says more than the estimate, which the half frame keeps below 0.5% for 1 KB frames.
  // `samples`: how many frames must have been judged; fewer will do once an exchange has failed.
  bool Failing(uint32_t samples = kLineQualityFrames) const {
    if (samples_ < samples || (damaged_ & Mask()) == 0) return false;
    return Wasted() == samples_ || ByteErrorRate() > kLineFailingByteErrors;
  }

 private:
  uint64_t Mask() const { return samples_ >= kLineQualityFrames ? ~uint64_t{0} : (uint64_t{1} << samples_) - 1; }

  uint64_t history_ = 0;
  uint64_t damaged_ = 0;
  std::array<uint32_t, kLineQualityFrames> lengths_{};
  uint64_t bytes_total_ = 0;
  uint32_t next_ = 0;
  uint32_t samples_ = 0;
  Totals totals_;
};

}  // namespace korvane
