#include <gtest/gtest.h>

#include <vector>

#include "platform/errors.h"
#include "platform/tcp_socket.h"
#include "platform/ticks.h"

namespace korvane {
namespace {

// A host that never answers: a listener whose accept queue is full drops every further SYN, so
// the connect stays pending as towards a black-holed address.
TEST(TcpConnect, GivesUpAtItsLimitOnAHostThatNeverAnswers) {
  uint16_t port = 0;
  uint32_t err = 0;
  const SocketHandle listener = SocketListen("127.0.0.1", port, 0, err);
  ASSERT_NE(listener, kInvalidSocket);
  std::vector<SocketHandle> queued;
  SocketHandle late = kInvalidSocket;
  uint32_t waited = 0;
  for (int i = 0; i < 4 && late == kInvalidSocket; ++i) {
    const uint32_t start = TickCount();
    const SocketHandle s = SocketConnect("127.0.0.1", port, err, 300);
    waited = TickCount() - start;
    if (s == kInvalidSocket) break;
    queued.push_back(s);  // accepted into the queue by the kernel
  }
  EXPECT_LT(queued.size(), 4u) << "the accept queue never filled";
  EXPECT_EQ(err, kErrSocketTimedOut);
  EXPECT_GE(waited, 250u);
  EXPECT_LT(waited, 2000u);
  for (SocketHandle s : queued) SocketClose(s);
  SocketClose(listener);

  // A refused connect fails at once with the Winsock number.
  SocketConnect("127.0.0.1", port, err, 300);
  EXPECT_EQ(err, 10061u);
}

}  // namespace
}  // namespace korvane
