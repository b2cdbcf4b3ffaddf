// How the fuzz targets that play against the in-process terminal disrupt it: the terminal program
// restarts, the PC's port fails one way or another, or the device comes back.
#pragma once
#include <cstdint>
#include <iterator>

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

}  // namespace korvane::fuzz
