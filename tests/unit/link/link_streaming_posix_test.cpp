// A download into a sink that keeps nothing holds only a few rows at a time, on both protocols.
#include <gtest/gtest.h>
#include <malloc.h>

#include "link/link_protocol.h"
#include "link_test_util.h"

namespace korvane::test {
namespace {

size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

class HeapWatchingSink final : public RowSink {
 public:
  void Clear() override {}
  void Append(std::string_view row) override {
    ++rows;
    bytes += row.size();
    const size_t now = HeapInUse();
    if (now > peak) peak = now;
  }
  size_t rows = 0;
  size_t bytes = 0;
  size_t peak = 0;
};

class LinkStreaming : public LinkTest {};

TEST_P(LinkStreaming, DownloadHoldsOnlyAFewRows) {
  constexpr int kRows = 20000;
  constexpr size_t kRowBytes = 100;
  for (int i = 0; i < kRows; ++i) state().tables[1].push_back(std::string(kRowBytes, static_cast<char>('a' + i % 26)));
  state().lines_count = kRows;
  peer().KeepWrites(false);
  peer().Side().KeepReceived(false);
  link().SetupLogfile("", 0);
  bench_.Online();
  const size_t baseline = HeapInUse();
  if (baseline == 0) GTEST_SKIP() << "heap statistics not available (sanitizer allocator)";
  HeapWatchingSink sink;
  sink.peak = baseline;
  ASSERT_EQ(link().RecvTable(1, sink, nullptr), 0) << link().GetDiag().message;
  EXPECT_EQ(sink.rows, static_cast<size_t>(kRows));
  EXPECT_EQ(sink.bytes, kRows * kRowBytes);
  // The table is 2 MB; what the link and the terminal hold in flight stays within frames and buffers.
  EXPECT_LT(sink.peak - baseline, 256u * 1024u) << "held " << (sink.peak - baseline) << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Protocols, LinkStreaming, ::testing::Values(kV2, kV3), ProtocolName);

}  // namespace
}  // namespace korvane::test
