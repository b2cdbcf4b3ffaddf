// Shared set-up of the link tests: a link wired to an in-process terminal on a manual clock, a log
// file to read lines back from, and message builders.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "link/terminal_link.h"
#include "support/link_rows.h"
#include "support/temp_dir.h"
#include "support/terminal_peer.h"

namespace korvane::test {

inline std::string Cmd(const std::string& code) { return "\x01" + code; }
inline std::string Rec(const std::string& text) { return "\x1e" + text; }
inline std::string Echo(const std::string& code) { return "\x05" + code; }

constexpr uint16_t kV2 = 0x0200;
constexpr uint16_t kV3 = 0x0300;

inline std::string ProtocolName(const ::testing::TestParamInfo<uint16_t>& info) {
  return info.param == kV3 ? "v3" : "v2";
}

class LinkBench {
 public:
  explicit LinkBench(uint16_t protocol) : log_dir_(dir_.Path()), peer_(protocol, clock_), link_(clock_) {
    peer_.Attach(link_);
    link_.SetupLogfile(dir_.File("link.log"), 0);
  }

  ManualClock& Clock() { return clock_; }
  TerminalPeer& Peer() { return peer_; }
  TerminalState& State() { return peer_.State(); }
  TerminalLink& Link() { return link_; }
  const TempDir& Dir() const { return dir_; }

  // Port open and protocol settled; the terminal's record of messages starts empty.
  void Online() {
    ASSERT_EQ(link_.OpenPort(), 0);
    ASSERT_EQ(link_.IsTerminalOnline(kConnectCheckTimeoutMs), 0) << link_.GetDiag().message;
    peer_.Side().ClearReceived();
  }
  const std::vector<std::string>& Received() { return peer_.Side().Received(); }

  std::string LogText() const { return ReadFileBytes(dir_.File("link.log")); }
  // True when the link log holds a line whose text is exactly `line`.
  bool LogHas(const std::string& line) const { return LogText().find("\t" + line + "\r\n") != std::string::npos; }

  void ExpectDiag(int32_t code, const std::string& message, const std::string& context) {
    const DiagRecord d = link_.GetDiag();
    EXPECT_EQ(d.code, code);
    EXPECT_EQ(d.message, message);
    EXPECT_EQ(d.context, context);
  }
  void ExpectDiagClear() { ExpectDiag(0, "", ""); }

 private:
  TempDir dir_;
  ScopedLogDir log_dir_;
  ManualClock clock_;
  TerminalPeer peer_;
  TerminalLink link_;
};

class LinkTest : public ::testing::TestWithParam<uint16_t> {
 protected:
  LinkTest() : bench_(GetParam()) {}
  TerminalLink& link() { return bench_.Link(); }
  TerminalPeer& peer() { return bench_.Peer(); }
  TerminalState& state() { return bench_.State(); }
  LinkBench bench_;
};

}  // namespace korvane::test
