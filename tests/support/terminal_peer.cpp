#include "support/terminal_peer.h"

#include "frame/ts_port.h"
#include "port/link_port.h"

namespace korvane::test {

TerminalPeer::TerminalPeer(uint16_t protocol, ManualClock& clock) : clock_(clock), protocol_(protocol), side_(state_) {}

PortOpener TerminalPeer::Opener() {
  return [this](const std::string&, uint32_t kind, uint32_t*) -> TsPort* {
    side_.ResetSession();
    line_ = std::make_shared<InProcessLine>(side_, protocol_, clock_);
    line_->SetSilent(silent_);
    line_->SetWriteTap([this](const uint8_t* data, uint32_t length) {
      if (keep_writes_) writes_.emplace_back(data, data + length);
    });
    ++opens_;
    TsPort* port = tsAdoptPort(LvlAdopt(InProcessLine::MakePort(line_), kind));
    port->clock = &clock_;
    return port;
  };
}

void TerminalPeer::Attach(TerminalLink& link) {
  link.SetPort("PEER");
  link.SetPortOpener(Opener());
}

void TerminalPeer::SetSilent(bool silent) {
  silent_ = silent;
  if (line_) line_->SetSilent(silent);
}

}  // namespace korvane::test
