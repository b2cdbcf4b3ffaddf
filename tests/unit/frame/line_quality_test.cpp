#include "frame/line_quality.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

namespace korvane {
namespace {

// Frames of `length` bytes through a line that damages each byte with probability `q`.
LineQuality Line(double q, uint32_t length, uint32_t frames, uint32_t seed) {
  std::mt19937 rng(seed);
  std::bernoulli_distribution through(std::pow(1 - q, length));
  LineQuality quality;
  for (uint32_t i = 0; i < frames; ++i) {
    const bool wasted = !through(rng);
    quality.Note(wasted, length, wasted);
  }
  return quality;
}

TEST(LineQuality, FailsOnlyALineThatDamagesMostBytesWhateverTheFrameSize) {
  struct Case {
    double q;
    uint32_t length;
    bool failing;
  };
  // v2 (125 bytes a step), v3 (1 KB frames): 0.1% and 0.2% pass on every seed, 1% fails.
  const Case cases[] = {{0.001, 125, false}, {0.002, 125, false}, {0.001, 1046, false}, {0.002, 1046, false},
                        {0.01, 125, true},   {0.01, 1046, true},  {0.02, 240, true}};
  for (const Case& c : cases) {
    for (uint32_t seed = 1; seed <= 50; ++seed) {
      const LineQuality quality = Line(c.q, c.length, 400, seed);
      EXPECT_EQ(quality.Failing(), c.failing) << c.q << " " << c.length << " seed " << seed;
    }
  }
  // The estimate names the line: about 1% for a 1%-line of short frames.
  EXPECT_NEAR(Line(0.01, 125, 64, 7).ByteErrorRate(), 0.01, 0.004);

  // Silence wastes every frame and damages none: not a bad line. Too few frames judge nothing.
  LineQuality silent;
  for (uint32_t i = 0; i < 100; ++i) silent.Note(true, 230);
  EXPECT_FALSE(silent.Failing());
  LineQuality few;
  for (uint32_t i = 0; i < kLineQualityFramesAfterFailure; ++i) few.Note(true, 1046, true);
  EXPECT_FALSE(few.Failing());
  EXPECT_TRUE(few.Failing(kLineQualityFramesAfterFailure));
  few.Note(false, 1046);
  few.Reset();
  EXPECT_FALSE(few.Failing(0));
  // The totals outlive the reset: a reader takes differences over a stretch of its own.
  EXPECT_EQ((std::array<uint64_t, 3>{few.Total().frames, few.Total().wasted, few.Total().damaged}),
            (std::array<uint64_t, 3>{kLineQualityFramesAfterFailure + 1, kLineQualityFramesAfterFailure,
                                     kLineQualityFramesAfterFailure}));
}

}  // namespace
}  // namespace korvane
