// Bytes through the WinUSB read path (staging buffer and fake stack) at the read sizes the frame
// layers use: 1024 (a v2 frame), 2049 (the v3 receive buffer), 16384 and the whole 131072-byte
// buffer. The volume varies 16-fold: a rate that holds steady shows no byte is moved more than once.
#include <benchmark/benchmark.h>

#include <vector>

#include "platform/ticks.h"
#include "port/winusb_device.h"
#include "support/fake_winusb.h"

namespace korvane {
namespace {

constexpr uint32_t kArrivalBytes = 512;  // one bulk transfer's worth per arrival

void StagedReads(benchmark::State& st) {
  const auto read_size = static_cast<uint32_t>(st.range(0));
  const auto volume = static_cast<size_t>(st.range(1));
  ManualClock clock;
  test::FakeWinUsb fake(clock);
  fake.KeepWrites(false);
  WinUsbDevice device("\\\\?\\USB#BENCH", fake.Loader());
  uint32_t err = 0;
  if (device.Open(err) != 0) {
    st.SkipWithError("open failed");
    return;
  }
  device.SetReadTimeout(0);
  const std::vector<uint8_t> packet(kArrivalBytes, 0x5A);
  std::vector<uint8_t> out(read_size);
  for (auto _ : st) {
    st.PauseTiming();  // the device's data queue is set up outside the measurement
    fake.ClearCalls();
    for (size_t sent = 0; sent < volume; sent += kArrivalBytes) fake.Arrive(packet);
    fake.Arrive(std::vector<uint8_t>{});  // a zero-length packet ends the last read
    st.ResumeTiming();
    size_t got_total = 0;
    while (got_total < volume) {
      uint32_t got = 0;
      device.Read(out.data(), read_size, got, err);
      got_total += got;
    }
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(volume));
}

BENCHMARK(StagedReads)->ArgsProduct({{1024, 2049, 16384, 131072}, {1 << 20, 16 << 20}})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvane
