#include "support/terminal_peer.h"

#include <algorithm>

#include "frame/ts_port.h"
#include "platform/errors.h"
#include "port/link_port.h"

namespace korvane::test {

namespace {

// The line's port as the peer's faults leave it.
class FaultyPort final : public PortDevice {
 public:
  FaultyPort(std::unique_ptr<PortDevice> inner, const PortFaults& faults, uint64_t& calls, const Clock& clock)
      : inner_(std::move(inner)), faults_(faults), calls_(calls), clock_(clock) {}
  // A handle that lost its device stays dead when the device comes back; a new open is needed.
  bool HasHandle() const override {
    dead_ = dead_ || faults_.vanished;
    return !dead_ && inner_->HasHandle();
  }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override {
    ++calls_;
    if (faults_.send_error != 0) {
      err = faults_.send_error;
      return 0;
    }
    if (faults_.send_cut == 0 || length <= faults_.send_cut) return inner_->Send(data, length, timeout_ms, err);
    // A device that stops taking bytes holds the write for its whole time-out.
    const uint32_t sent = inner_->Send(data, faults_.send_cut, timeout_ms, err);
    if (timeout_ms > 0) clock_.Sleep(static_cast<uint32_t>(timeout_ms));
    return sent;
  }
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    ++calls_;
    if (faults_.read_error != 0) {
      err = faults_.read_error;
      return count;
    }
    return inner_->ReadMore(buffer, count, capacity, timeout_ms, err);
  }
  void Purge() override { inner_->Purge(); }
  void Close() override { inner_->Close(); }

 private:
  std::unique_ptr<PortDevice> inner_;
  const PortFaults& faults_;
  uint64_t& calls_;
  const Clock& clock_;
  mutable bool dead_ = false;
};

}  // namespace

TerminalPeer::TerminalPeer(uint16_t protocol, ManualClock& clock) : clock_(clock), protocol_(protocol), side_(state_) {}

std::unique_ptr<PortDevice> TerminalPeer::Connect(uint32_t* err) {
  if (faults_.vanished) {
    if (err != nullptr) *err = kErrFileNotFound;
    return nullptr;
  }
  side_.ResetSession();
  line_ = std::make_shared<InProcessLine>(side_, protocol_, clock_);
  line_->SetSilent(silent_);
  line_->SetWriteTap([this](const uint8_t* data, uint32_t length) {
    if (keep_writes_) writes_.emplace_back(data, data + length);
  });
  ++opens_;
  return std::make_unique<FaultyPort>(InProcessLine::MakePort(line_), faults_, port_calls_, clock_);
}

PortOpener TerminalPeer::Opener() {
  return [this](const std::string&, uint32_t kind, uint32_t* err) -> TsPort* {
    std::unique_ptr<PortDevice> device = Connect(err);
    if (!device) return nullptr;
    TsPort* port = tsAdoptPort(LvlAdopt(std::move(device), kind));
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
