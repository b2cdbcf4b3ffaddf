// What the fuzz targets that play against an in-process terminal report: a broken invariant (which
// aborts the input), and with KORVANE_FUZZ_TRACE set each step of a reproducer's run, with
// KORVANE_FUZZ_STATS set how often each operation gave each result, to see how deep inputs reach.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace korvane::fuzz {

inline bool g_trace = false;
inline bool g_stats = false;
inline std::map<std::string, std::map<int32_t, uint64_t>> g_results;

inline void PrintStats() {
  for (const auto& [operation, results] : g_results) {
    std::fprintf(stderr, "%s:", operation.c_str());
    for (const auto& [code, times] : results)
      std::fprintf(stderr, " %d x%llu", code, static_cast<unsigned long long>(times));
    std::fprintf(stderr, "\n");
  }
}

// Reads the switches; called once from LLVMFuzzerInitialize.
inline void InitReport() {
  g_trace = std::getenv("KORVANE_FUZZ_TRACE") != nullptr;
  g_stats = std::getenv("KORVANE_FUZZ_STATS") != nullptr;
  if (g_stats) std::atexit(PrintStats);
}

inline std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes.substr(0, 40)) {
    char hex[8];
    std::snprintf(hex, sizeof(hex), c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
    out += hex;
  }
  return bytes.size() > 40 ? out + "...(" + std::to_string(bytes.size()) + ")" : out;
}

[[noreturn]] inline void Fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace korvane::fuzz
