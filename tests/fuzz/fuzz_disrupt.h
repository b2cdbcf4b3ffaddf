// How the fuzz targets that play against the in-process terminal disrupt it: the terminal program
// restarts, the PC's port fails one way or another, or the device comes back.
#pragma once
#include <cstdint>
#include <iterator>

#include "fuzz_input.h"
#include "support/terminal_peer.h"

namespace korvane::fuzz {

// System errors a port reports when its device fails (gone, not functioning, aborted, not connected).
constexpr uint32_t kPortErrors[] = {6, 31, 995, 1167};

// Applies what `what` picks; true when the terminal program was made to restart.
inline bool Disrupt(test::TerminalPeer& peer, uint8_t what) {
  test::PortFaults& faults = peer.Faults();
  const uint32_t error = kPortErrors[(what >> 3) % std::size(kPortErrors)];
  switch (what % 6) {
    case 0:
      if (peer.Endpoint() == nullptr) return false;
      peer.Endpoint()->Restart();
      return true;
    case 1: faults.send_error = error; break;
    case 2: faults.send_cut = 1 + (what >> 3) % 24; break;
    case 3: faults.read_error = error; break;
    case 4: faults.vanished = true; break;
    default: faults = {}; break;
  }
  return false;
}

// A disruption while the terminal handles a message: at once with `now` (then true skips the
// message's handling, as `how` says: what it asked for is done or lost with it), else after 1 to 16
// of the terminal's next messages, counted down in `after_sent`.
template <typename DisruptNow>
bool DisruptOnMessage(bool now, uint8_t how, Input& in, int& after_sent, DisruptNow disrupt) {
  if (!now) {
    after_sent = 1 + in.Byte() % 16;
    return false;
  }
  disrupt();
  return (how & 0x20) != 0;
}

}  // namespace korvane::fuzz
