// An in-process terminal for link tests: the link's port is one end of an in-process line whose
// far end is the terminal side (v2 responder or non-initiating v3 frame buffer). With a manual
// clock, reads that find nothing move the clock by their time-out, so silence costs no real time.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "link/terminal_link.h"
#include "platform/ticks.h"
#include "terminal/terminal_side.h"

namespace korvane::test {

// Faults of the PC's end of the line; they hold across connections until changed.
struct PortFaults {
  uint32_t send_error = 0;  // sends fail with this system error (0: they succeed)
  uint32_t send_cut = 0;    // sends stop after this many bytes at their time-out, without an error (0: whole)
  uint32_t read_error = 0;  // reads fail with this system error
  bool vanished = false;    // the device is gone: open handles die and it cannot be opened
  bool Any() const { return send_error != 0 || send_cut != 0 || read_error != 0 || vanished; }
};

class TerminalPeer {
 public:
  // `protocol`: 0x0200, 0x0201, 0x0300 or kProtocolBlocks.
  TerminalPeer(uint16_t protocol, ManualClock& clock);

  TerminalState& State() { return state_; }
  TerminalSide& Side() { return side_; }
  // The current connection's endpoint (null before the first open).
  TerminalEndpoint* Endpoint() { return line_ ? &line_->Endpoint() : nullptr; }

  // A new connection: the PC's end of it as the faults leave it, or null with `err` while the device
  // is gone.
  std::unique_ptr<PortDevice> Connect(uint32_t* err);
  // Links opened through this connect to the peer; every open is a new connection.
  PortOpener Opener();
  // Connects `link` to this peer with port name "PEER".
  void Attach(TerminalLink& link);

  // A silent terminal takes every byte and answers none.
  void SetSilent(bool silent);
  // Later connections speak `protocol`.
  void SetProtocol(uint16_t protocol) { protocol_ = protocol; }
  // Keeps every byte block the link writes (off for long runs).
  void KeepWrites(bool keep) { keep_writes_ = keep; }
  const std::vector<std::vector<uint8_t>>& Writes() const { return writes_; }
  int Opens() const { return opens_; }
  PortFaults& Faults() { return faults_; }
  // Sends and reads the link made through the port, to tell a busy loop from one that waits.
  uint64_t PortCalls() const { return port_calls_; }

 private:
  ManualClock& clock_;
  uint16_t protocol_;
  TerminalState state_;
  TerminalSide side_;
  std::shared_ptr<InProcessLine> line_;
  bool silent_ = false;
  bool keep_writes_ = true;
  std::vector<std::vector<uint8_t>> writes_;
  int opens_ = 0;
  PortFaults faults_;
  uint64_t port_calls_ = 0;
};

}  // namespace korvane::test
