#include "support/terminal_peer.h"

namespace korvane::test {

class TerminalPeer::Device final : public PortDevice {
 public:
  explicit Device(TerminalPeer& peer) : peer_(&peer) {}
  ~Device() override {
    if (peer_ != nullptr && peer_->device_ == this) peer_->device_ = nullptr;
  }
  void Detach() { peer_ = nullptr; }

  bool HasHandle() const override { return peer_ != nullptr; }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t, uint32_t& err) override {
    err = 0;
    if (peer_ != nullptr) peer_->OnWrite(data, length);
    return length;
  }
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    err = 0;
    if (peer_ == nullptr) return count;
    if (peer_->to_link_.empty()) peer_->Service();
    if (peer_->to_link_.empty() && timeout_ms > 0) {
      // Nothing will come while we wait: time passes, then the terminal's timers run.
      peer_->clock_.Advance(static_cast<uint32_t>(timeout_ms));
      peer_->Service();
    }
    std::deque<uint8_t>& q = peer_->to_link_;
    while (count < capacity && !q.empty()) {
      buffer[count++] = q.front();
      q.pop_front();
    }
    return count;
  }
  void Purge() override {
    if (peer_ != nullptr) peer_->to_link_.clear();
  }
  void Close() override {}

 private:
  TerminalPeer* peer_;
};

TerminalPeer::TerminalPeer(uint16_t protocol, ManualClock& clock)
    : clock_(clock), protocol_(protocol), side_(state_) {}

TerminalPeer::~TerminalPeer() {
  if (device_ != nullptr) device_->Detach();
}

PortOpener TerminalPeer::Opener() {
  return [this](const std::string&, uint32_t kind, uint32_t*) -> TsPort* {
    if (device_ != nullptr) device_->Detach();
    auto device = std::make_unique<Device>(*this);
    device_ = device.get();
    to_link_.clear();
    side_.ResetSession();
    endpoint_ = std::make_unique<TerminalEndpoint>(side_, protocol_, clock_);
    ++opens_;
    TsPort* port = tsAdoptPort(LvlAdopt(std::move(device), kind));
    port->clock = &clock_;
    return port;
  };
}

void TerminalPeer::Attach(TerminalLink& link) {
  link.SetPort("PEER");
  link.SetPortOpener(Opener());
}

void TerminalPeer::OnWrite(const uint8_t* data, uint32_t length) {
  if (keep_writes_) writes_.emplace_back(data, data + length);
  if (silent_ || !endpoint_) return;
  endpoint_->Feed(data, length);
  Service();
}

void TerminalPeer::Service() {
  if (silent_ || !endpoint_) return;
  endpoint_->Poll();
  std::vector<uint8_t> out = endpoint_->TakeOutput();
  to_link_.insert(to_link_.end(), out.begin(), out.end());
}

}  // namespace korvane::test
