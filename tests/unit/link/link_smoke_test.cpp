#include <gtest/gtest.h>

#include "link/terminal_link.h"
#include "support/terminal_peer.h"

namespace korvane::test {
namespace {

TEST(LinkSmoke, ConnectDownloadUploadV2AndV3) {
  for (uint16_t protocol : {uint16_t{0x0200}, uint16_t{0x0300}}) {
    ManualClock clock;
    TerminalPeer peer(protocol, clock);
    peer.State().tables[1] = {"a;1", "b;2", "c;3"};
    TerminalLink link(clock);
    peer.Attach(link);
    ASSERT_EQ(link.ConnectTerminal(), 1) << link.GetDiag().message << " / " << link.LastMessage();
    StringRowList rows;
    ASSERT_EQ(link.RecvTable(1, rows, nullptr), 0) << link.GetDiag().message;
    EXPECT_EQ(rows.Rows(), peer.State().tables[1]);
    StringRowList up({"x", "y"});
    ASSERT_EQ(link.ActivateUploadingTables(), 0);
    ASSERT_EQ(link.SendTable(7, up, nullptr, -1), 0) << link.GetDiag().message;
    ASSERT_EQ(link.SendFinal(5), 0) << link.GetDiag().message;
    EXPECT_EQ(peer.State().tables[7], up.Rows());
    EXPECT_EQ(peer.State().current_id[2], 5);
  }
}

}  // namespace
}  // namespace korvane::test
