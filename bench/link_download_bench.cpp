// Downloading a table of 100,000 rows of 100 bytes from an in-process terminal over v2 and v3:
// rows per second, and the process's peak memory while the rows stream through a sink that keeps
// none of them (or, for comparison, are all kept in a list).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <memory>
#include <string>

#include "frame/ts_port.h"
#include "link/terminal_link.h"
#include "port/link_port.h"
#include "terminal/terminal_side.h"

namespace korvane {
namespace {

constexpr int kRows = 100000;
constexpr size_t kRowBytes = 100;

double PeakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

class DiscardingSink final : public RowSink {
 public:
  void Clear() override { rows = 0; }
  void Append(std::string_view row) override {
    ++rows;
    bytes += row.size();
  }
  size_t rows = 0;
  size_t bytes = 0;
};

void Download(benchmark::State& st, uint16_t protocol, bool keep_rows) {
  TerminalState terminal;
  terminal.tables[kTableJournal2].reserve(kRows);
  for (int i = 0; i < kRows; ++i) {
    std::string row = std::to_string(i) + ";";
    row.resize(kRowBytes, 'x');
    terminal.tables[kTableJournal2].push_back(std::move(row));
  }
  terminal.lines_count = kRows;
  TerminalSide side(terminal);
  side.KeepReceived(false);
  TerminalLink link;
  link.SetPort("INPROC");
  link.SetPortOpener([&](const std::string&, uint32_t kind, uint32_t*) -> TsPort* {
    auto line = std::make_shared<InProcessLine>(side, protocol);
    return tsAdoptPort(LvlAdopt(InProcessLine::MakePort(line), kind));
  });
  if (link.OpenPort() != 0 || link.IsTerminalOnline(kConnectCheckTimeoutMs) != 0) {
    st.SkipWithError("in-process terminal did not answer");
    return;
  }
  const double rss_before = PeakRssMiB();
  for (auto _ : st) {
    int32_t r = 0;
    if (keep_rows) {
      StringRowList rows;
      r = link.RecvTable(kTableJournal2, rows, nullptr);
      if (rows.Rows().size() != static_cast<size_t>(kRows)) st.SkipWithError("row count");
    } else {
      DiscardingSink sink;
      r = link.RecvTable(kTableJournal2, sink, nullptr);
      if (sink.rows != static_cast<size_t>(kRows) || sink.bytes != kRows * kRowBytes) st.SkipWithError("row count");
    }
    if (r != 0) st.SkipWithError(link.GetDiag().message.c_str());
  }
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * kRows);
  st.counters["peak_rss_MiB"] = PeakRssMiB();
  st.counters["rss_growth_MiB"] = PeakRssMiB() - rss_before;
}

void BM_LinkDownloadStreamV2(benchmark::State& st) { Download(st, 0x0200, false); }
void BM_LinkDownloadStreamV3(benchmark::State& st) { Download(st, 0x0300, false); }
void BM_LinkDownloadKeepV2(benchmark::State& st) { Download(st, 0x0200, true); }
void BM_LinkDownloadKeepV3(benchmark::State& st) { Download(st, 0x0300, true); }

BENCHMARK(BM_LinkDownloadStreamV2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_LinkDownloadStreamV3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_LinkDownloadKeepV2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_LinkDownloadKeepV3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
}  // namespace korvane
