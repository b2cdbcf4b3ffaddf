// A docked terminal for real: the library opens "ACTIVESYNC" through the terminal link, the fake
// remote API writes the connect-back value into a file, and a korvane-sim process started by the
// test fixture (outside Wine on the Windows build) reads it there and connects back.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "link/link_protocol.h"
#include "link/terminal_link.h"
#include "platform/ticks.h"
#include "port/active_sync.h"
#include "port/rapi_library.h"
#include "support/fake_rapi.h"

namespace korvane {
namespace {

std::string Loopback() { return "127.0.0.1"; }

bool FileExists(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

class ConnectBackProcess : public ::testing::TestWithParam<const char*> {};

TEST_P(ConnectBackProcess, DownloadsMatchTheSamples) {
  const std::string state = std::string(KORVANE_DOCK_STATE) + "/" + GetParam();
  if (!FileExists(state + "/pid")) GTEST_SKIP() << "no simulator at " << state << " (it needs the native build)";
  test::FakeRapi rapi;
  rapi.value_file = state + "/value";
  SetDockingAddressSource(Loopback);

  TerminalLink link;
  link.SetPort("ACTIVESYNC");
  const uint32_t began = TickCount();
  ASSERT_EQ(link.ConnectTerminal(), S_CONNECTED) << link.GetDiag().message;
  std::printf("connect-back and connect: %u ms\n", TickCount() - began);
  EXPECT_EQ(link.RemoteVersion(), std::string(GetParam()) == "v3" ? 300u : 200u);
  EXPECT_EQ(rapi.Values().size(), 1u);
  EXPECT_EQ(rapi.unloads, 1);
  EXPECT_EQ(rapi.uninits, 1);
  EXPECT_FALSE(ProcessRapiLibrary().Loaded());

  for (int32_t kind : {kTableJournal, kTableService}) {
    SCOPED_TRACE(TableKindFileName(kind));
    StringRowList sample, rows;
    ASSERT_EQ(link.ReadCSV(std::string(KORVANE_SAMPLES) + "/" + TableKindFileName(kind) + ".csv", sample), 0);
    ASSERT_FALSE(sample.Rows().empty());
    ASSERT_EQ(link.RecvTable(kind, rows, nullptr), 0) << link.GetDiag().message;
    EXPECT_EQ(rows.Rows(), sample.Rows());
  }
  link.Disconnect();
  SetDockingAddressSource(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Protocols, ConnectBackProcess, ::testing::Values("v3", "v2"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace korvane
