// Application -> kind-6 port -> channel -> add-in -> local port -> terminal simulator, in one
// process apart from the simulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "link/link_protocol.h"
#include "link/terminal_link.h"
#include "rdp/rdp_channel_client.h"
#include "support/fake_rdp_channel.h"
#include "support/temp_dir.h"

namespace korvane::rdp {
namespace {

constexpr int32_t kJournal = 0;  // downloaded
constexpr int32_t kGoods = 7;    // uploaded
constexpr uint32_t kTableSize = 24;
constexpr size_t kRoadRows = KORVANE_ROAD_ROWS;

std::string StatePath(const std::string& protocol, const std::string& name) {
  return std::string(KORVANE_ROAD_STATE) + "/" + protocol + "/" + name;
}

std::string FirstLine(const std::string& path) {
  std::string text = test::ReadFileBytes(path);
  return text.substr(0, text.find_first_of("\r\n"));
}

class RowEvents final : public _CAbsRecvSendEvents {
 public:
  std::function<void(long)> on_received;
  void RowReceived(long received, long) override {
    if (on_received) on_received(received);
  }
  void RowSent(long, long) override {}
};

// The add-in on the client end of a fake channel whose server end serves kind-6 ports.
struct Road {
  test::FakeRdpChannel fake;
  test::ScopedChannelServer server{fake};
  RdpChannelClient client;
  Road() {
    EXPECT_TRUE(client.Entry(MemorySettings(), &fake, kTableSize, kTableSize, &fake));
    fake.Connect();
    fake.Settle();
  }
};

class RdpRoad : public ::testing::TestWithParam<const char*> {};

TEST_P(RdpRoad, DownloadUploadCloseReopenAndDisconnect) {
  const std::string protocol = GetParam();
  const std::string port = FirstLine(StatePath(protocol, "port"));
  if (port.empty()) GTEST_SKIP() << "no simulator for " << protocol;
  TerminalLink files;
  StringRowList expected;
  ASSERT_EQ(files.ReadCSV(StatePath(protocol, "data/journal.csv"), expected), S_LINK_OK);
  ASSERT_EQ(expected.Rows().size(), kRoadRows);
  const int64_t outstanding = RdpChannelClient::BuffersOutstanding();
  {
    Road road;
    TerminalLink link;
    link.SetPort("TSCLIENT:LAN;" + port);
    ASSERT_EQ(link.ConnectTerminal(), S_CONNECTED) << link.GetDiag().message;
    EXPECT_FALSE(link.RemoteProgName().empty());
    EXPECT_EQ(link.RemoteVersion(), protocol == "v3" ? 300u : 200u);
    EXPECT_TRUE(road.client.ReaderRunning());

    ASSERT_EQ(link.RecvPrepare(), S_LINK_OK) << link.GetDiag().message;
    StringRowList rows;
    ASSERT_EQ(link.RecvTable(kJournal, rows, nullptr), S_LINK_OK) << link.GetDiag().message;
    EXPECT_EQ(rows.Rows(), expected.Rows());

    StringRowList upload({expected.Rows().begin(), expected.Rows().begin() + kRoadRows / 5});
    ASSERT_EQ(link.ActivateUploadingTables(), S_LINK_OK) << link.GetDiag().message;
    ASSERT_EQ(link.SendTable(kGoods, upload, nullptr, -1), S_LINK_OK) << link.GetDiag().message;
    ASSERT_EQ(link.SendFinal(0), S_LINK_OK) << link.GetDiag().message;
    StringRowList uploaded;
    ASSERT_EQ(files.ReadCSV(StatePath(protocol, "data/uploaded/goods.csv"), uploaded), S_LINK_OK);
    EXPECT_EQ(uploaded.Rows(), upload.Rows());

    // Closing the port says "CLOSE": the add-in stops its reader; a second open works again, this
    // time naming host and port, which reach the add-in whole only with ';' between them.
    link.Disconnect();
    road.fake.Settle();
    EXPECT_EQ(road.fake.ServerWrites().back(), test::ControlMessage("CLOSE"));
    EXPECT_FALSE(road.client.ReaderRunning());
    link.SetPort("TSCLIENT:LAN;127.0.0.1;" + port);
    ASSERT_EQ(link.ConnectTerminal(), S_CONNECTED) << link.GetDiag().message;
    const auto writes = road.fake.ServerWrites();
    EXPECT_EQ(std::count(writes.begin(), writes.end(), test::ControlMessage("OPEN:LAN;127.0.0.1;" + port)), 1);

    // The user's connection drops mid-download: the link fails at once, no reader stays.
    ASSERT_EQ(link.RecvPrepare(), S_LINK_OK) << link.GetDiag().message;
    RowEvents events;
    events.on_received = [&](long received) {
      if (received == 100) road.fake.Disconnect();
    };
    const auto started = std::chrono::steady_clock::now();
    EXPECT_LT(link.RecvTable(kJournal, rows, &events), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(kLinkExchangeTimeoutMs));
    road.fake.Settle();
    EXPECT_FALSE(road.client.ReaderRunning());
    EXPECT_FALSE(road.fake.ClientOpen());
    link.Disconnect();
    road.fake.Settle();
    EXPECT_EQ(road.fake.BuffersHanded(), road.fake.BuffersReturned());
  }
  EXPECT_EQ(RdpChannelClient::BuffersOutstanding(), outstanding);
}

// A serial local port: a pty natively, a COM name linked to one under Wine.
TEST(RdpRoadSerial, DownloadsThroughASerialLocalPort) {
  const std::string device = FirstLine(StatePath("pty", "device"));
  if (device.empty()) GTEST_SKIP() << "no simulator on a pty";
  TerminalLink files;
  StringRowList expected;
  ASSERT_EQ(files.ReadCSV(StatePath("pty", "data/journal.csv"), expected), S_LINK_OK);
  Road road;
  TerminalLink link;
  link.SetPort("TSCLIENT:" + device);
  ASSERT_EQ(link.ConnectTerminal(), S_CONNECTED) << link.GetDiag().message;
  EXPECT_EQ(link.RemoteVersion(), 300u);
  ASSERT_EQ(link.RecvPrepare(), S_LINK_OK) << link.GetDiag().message;
  StringRowList rows;
  ASSERT_EQ(link.RecvTable(kJournal, rows, nullptr), S_LINK_OK) << link.GetDiag().message;
  EXPECT_EQ(rows.Rows(), expected.Rows());
  link.Disconnect();
  road.fake.Settle();
  EXPECT_FALSE(road.client.ReaderRunning());
}

INSTANTIATE_TEST_SUITE_P(Protocols, RdpRoad, ::testing::Values("v2", "v3"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace korvane::rdp
