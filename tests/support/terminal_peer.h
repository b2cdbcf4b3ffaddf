// An in-process terminal for link tests: a port whose writes go straight into the terminal side
// (v2 responder or non-initiating v3 frame buffer) and whose reads hand back its answers. Reads
// that find nothing move the manual clock by their time-out, so silence costs no real time.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "frame/ts_port.h"
#include "link/terminal_link.h"
#include "link/terminal_side.h"
#include "platform/ticks.h"
#include "port/link_port.h"

namespace korvane::test {

class TerminalPeer {
 public:
  // `protocol`: 0x0200, 0x0201 or 0x0300.
  TerminalPeer(uint16_t protocol, ManualClock& clock);
  ~TerminalPeer();

  TerminalState& State() { return state_; }
  TerminalSide& Side() { return side_; }
  // The current connection's endpoint (null before the first open).
  TerminalEndpoint* Endpoint() { return endpoint_.get(); }

  // Links opened through this connect to the peer; every open is a new connection.
  PortOpener Opener();
  // Connects `link` to this peer with port name "PEER".
  void Attach(TerminalLink& link);

  // A silent terminal takes every byte and answers none.
  void SetSilent(bool silent) { silent_ = silent; }
  // Later connections speak `protocol`.
  void SetProtocol(uint16_t protocol) { protocol_ = protocol; }
  // Keeps every byte block the link writes (off for long runs).
  void KeepWrites(bool keep) { keep_writes_ = keep; }
  const std::vector<std::vector<uint8_t>>& Writes() const { return writes_; }
  int Opens() const { return opens_; }

 private:
  class Device;
  friend class Device;
  void OnWrite(const uint8_t* data, uint32_t length);
  void Service();

  ManualClock& clock_;
  uint16_t protocol_;
  TerminalState state_;
  TerminalSide side_;
  std::unique_ptr<TerminalEndpoint> endpoint_;
  std::deque<uint8_t> to_link_;
  bool silent_ = false;
  bool keep_writes_ = true;
  std::vector<std::vector<uint8_t>> writes_;
  int opens_ = 0;
  Device* device_ = nullptr;
};

}  // namespace korvane::test
