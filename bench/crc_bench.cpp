#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "frame/frame_layout.h"

namespace korvane {
namespace {

constexpr size_t kCrcBufferBytes = 64 * 1024;
constexpr uint16_t kBenchFrameBytes = 1024;

std::vector<uint8_t> RandomBytes(size_t n) {
  std::mt19937 rng(7);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

void BM_Crc16(benchmark::State& state) {
  const auto data = RandomBytes(kCrcBufferBytes);
  for (auto _ : state) benchmark::DoNotOptimize(tsCrc16(data.data(), static_cast<uint32_t>(data.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Crc16);

void BM_Crc16Reference(benchmark::State& state) {
  const auto data = RandomBytes(kCrcBufferBytes);
  for (auto _ : state) benchmark::DoNotOptimize(tsCrc16Reference(data.data(), static_cast<uint32_t>(data.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Crc16Reference);

void BM_BuildFrame1024(benchmark::State& state) {
  auto frame = RandomBytes(kBenchFrameBytes);
  uint16_t number = 0;
  for (auto _ : state) {
    FinishFrame(frame.data(), ++number, kBenchFrameBytes, kCtlData);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBenchFrameBytes);
}
BENCHMARK(BM_BuildFrame1024);

void BM_VerifyFrame1024(benchmark::State& state) {
  auto frame = RandomBytes(kBenchFrameBytes);
  FinishFrame(frame.data(), 1, kBenchFrameBytes, kCtlData);
  for (auto _ : state) {
    bool ok = VerifyFrameCrc(frame.data(), kBenchFrameBytes);
    if (!ok) state.SkipWithError("frame did not verify");
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBenchFrameBytes);
}
BENCHMARK(BM_VerifyFrame1024);

}  // namespace
}  // namespace korvane
