#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "legacy/block_engine.h"
#include "link/link_protocol.h"
#include "platform/ticks.h"
#include "port/link_port.h"

namespace korvane {
namespace {

// A failed block costs the engine this long (instead of 5000 ms) before the caller tries again.
constexpr uint32_t kShortReadTimeoutMs = 1000;
// The terminal sends an unacknowledged block again after about 6 s: a row may take that long.
constexpr uint32_t kRowDeadlineMs = 20000;

std::string StateDir() {
  const char* dir = std::getenv("KORVANE_LEGACY_SIM_STATE");
  return dir ? dir : "";
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// A row whose answer was lost or damaged is sent again and taken twice: 1.00 blocks carry no
// number, so nothing tells a repeat from a new row. Removes immediate repeats and counts them.
size_t DropRepeats(std::vector<std::string>& rows) {
  const auto end = std::unique(rows.begin(), rows.end());
  const auto repeats = static_cast<size_t>(rows.end() - end);
  rows.erase(end, rows.end());
  return repeats;
}

// One engine on a TCP connection to the simulator, retrying what the protocol gives up on.
class Session {
 public:
  explicit Session(const std::string& port_text) {
    std::string name = "LAN:127.0.0.1:" + port_text;
    const uint32_t kind = ResolvePortKind(name);
    uint32_t err = 0;
    LinkPort* port = LvlOpen(name, kind, err);
    if (port != nullptr) line_ = MakePortBlockLine(std::unique_ptr<LinkPort>(port));
    if (line_) {
      engine_ = std::make_unique<BlockEngine>(*line_, SystemClock(), counter_);
      engine_->SetReadTimeout(kShortReadTimeoutMs);
    }
  }
  bool Ok() const { return engine_ != nullptr; }
  template <typename Op>
  bool Retry(Op op) {
    const uint32_t deadline = TickCount() + kRowDeadlineMs;
    while (!TickReached(TickCount(), deadline)) {
      if (op()) return true;
      ++retries_;
    }
    return false;
  }
  bool Cmd(const char* code) {
    return Retry([&] { return engine_->SendCmd(code) == 1; });
  }
  bool Send(const std::string& row) {
    return Retry([&] { return engine_->TryToSend(row) == 1; });
  }
  bool Recv(std::string& row) {
    std::vector<char> b(kBlockBufferSize);
    return Retry([&] {
      int32_t size = static_cast<int32_t>(b.size());
      if (engine_->TryToRecv(b.data(), size) != 1) return false;
      row.assign(b.data(), static_cast<size_t>(size));
      return true;
    });
  }
  int Retries() const { return retries_; }

 private:
  std::unique_ptr<BlockLine> line_;
  ElapsedCounter counter_;
  std::unique_ptr<BlockEngine> engine_;
  int retries_ = 0;
};

// Every row arrives, in order and unaltered; on the lossy line a row may arrive twice in a row
// (see DropRepeats), never lost. The clean line needs no retry at all.
TEST(LegacyAgainstSimulator, ThousandRowsEachWayCleanAndLossy) {
  const std::string state = StateDir();
  ASSERT_FALSE(state.empty()) << "KORVANE_LEGACY_SIM_STATE not set";
  for (const std::string sim : {"clean", "lossy"}) {
    SCOPED_TRACE(sim);
    const std::string dir = state + "/" + sim;
    const std::string port = ReadText(dir + "/port");
    if (port.empty()) GTEST_SKIP() << "no simulator (no native build beside this one)";
    Session s(port.substr(0, port.find_first_of("\r\n")));
    ASSERT_TRUE(s.Ok());

    // Download the journal and compare it with the terminal's file.
    const std::vector<std::string> journal = Lines(ReadText(dir + "/data/journal.csv"));
    ASSERT_EQ(journal.size(), 1000u);
    ASSERT_TRUE(s.Cmd(kCmdDownloadJournal));
    std::vector<std::string> got;
    for (std::string row; got.size() <= 2 * journal.size();) {
      ASSERT_TRUE(s.Recv(row)) << "row " << got.size();
      if (!row.empty() && row[0] == static_cast<char>(kEOT)) break;
      got.push_back(row);
    }
    const size_t down_repeats = DropRepeats(got);
    EXPECT_EQ(got, journal);

    // Upload the same rows back as the operations table; the terminal writes what it took.
    ASSERT_TRUE(s.Cmd(kCmdActivateUploading));
    ASSERT_TRUE(s.Cmd(kCmdUploadOperations));
    for (const std::string& row : journal) ASSERT_TRUE(s.Send(row));
    ASSERT_TRUE(s.Send(std::string(1, static_cast<char>(kEOT))));
    ASSERT_TRUE(s.Cmd(kCmdParseUploaded));
    std::string verdict;
    ASSERT_TRUE(s.Recv(verdict));
    EXPECT_EQ(verdict.rfind("SYNC;0", 0), 0u) << verdict;
    std::vector<std::string> uploaded = Lines(ReadText(dir + "/data/uploaded/operations.csv"));
    const size_t up_repeats = DropRepeats(uploaded);
    EXPECT_EQ(uploaded, journal);
    if (sim == "clean") {
      EXPECT_EQ(s.Retries(), 0);
      EXPECT_EQ(down_repeats + up_repeats, 0u);
    }
    RecordProperty(sim + "_retries", s.Retries());
    RecordProperty(sim + "_repeats", static_cast<int>(down_repeats + up_repeats));
  }
}

}  // namespace
}  // namespace korvane
