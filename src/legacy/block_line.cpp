#include "legacy/block_line.h"

#include "platform/errors.h"

namespace korvane {

namespace {

class DeviceBlockLine final : public BlockLine {
 public:
  bool Open(const std::string& name, uint32_t& err) { return device_.Open(name, false, err); }
  bool SetupQueues(uint32_t in_bytes, uint32_t out_bytes) override { return device_.SetupQueues(in_bytes, out_bytes); }
  bool SetTimeouts(const SerialTimeouts& t) override { return device_.SetTimeouts(t); }
  bool GetState(SerialLineState& s) override { return device_.GetState(s); }
  bool SetState(const SerialLineState& s) override { return device_.SetState(s); }
  bool Read(uint8_t* buffer, uint32_t size, uint32_t& done) override { return device_.Read(buffer, size, done); }
  bool Write(const uint8_t* data, uint32_t size, uint32_t& done) override { return device_.Write(data, size, done); }
  bool PurgeAll() override { return device_.PurgeAll(); }
  bool PurgeInput() override { return device_.PurgeInput(); }
  uint32_t ClearError() override { return device_.ClearError(); }
  bool SetDtr(bool on) override { return device_.SetDtr(on); }
  uint32_t LastError() const override { return device_.LastError(); }

 private:
  SerialDevice device_;
};

// Read time-outs of the first-byte shape wait for the constant; others for their total budget.
int32_t ReadWaitMs(const SerialTimeouts& t, uint32_t size) {
  if (t.read_interval == kMaxDword && t.read_multiplier == 0 && t.read_constant == 0) return 0;
  if (t.read_multiplier == kMaxDword) return static_cast<int32_t>(t.read_constant);
  const uint64_t total = static_cast<uint64_t>(t.read_multiplier) * size + t.read_constant;
  return static_cast<int32_t>(total > 0x7FFFFFFF ? 0x7FFFFFFF : total);
}

class PortBlockLine final : public BlockLine {
 public:
  explicit PortBlockLine(std::unique_ptr<LinkPort> port) : port_(std::move(port)) {}
  ~PortBlockLine() override { LvlClose(port_.release()); }
  bool SetupQueues(uint32_t, uint32_t) override { return true; }
  bool SetTimeouts(const SerialTimeouts& t) override {
    timeouts_ = t;
    return true;
  }
  bool GetState(SerialLineState& s) override {
    s = state_;
    return true;
  }
  bool SetState(const SerialLineState& s) override {
    state_ = s;
    return true;
  }
  bool Read(uint8_t* buffer, uint32_t size, uint32_t& done) override {
    done = 0;
    if (size == 0) return true;
    uint32_t err = 0;
    LvlReadMore(port_.get(), buffer, done, size, ReadWaitMs(timeouts_, size), err);
    return Note(err);
  }
  bool Write(const uint8_t* data, uint32_t size, uint32_t& done) override {
    uint32_t err = 0;
    done = LvlSend(port_.get(), data, size, static_cast<int32_t>(timeouts_.write_constant), err);
    return Note(err);
  }
  bool PurgeAll() override {
    LvlPurge(port_.get());
    return true;
  }
  // A socket's purge drops input only, as does every port this line carries blocks over.
  bool PurgeInput() override { return PurgeAll(); }
  uint32_t ClearError() override { return last_error_; }
  bool SetDtr(bool) override { return true; }
  uint32_t LastError() const override { return last_error_; }

 private:
  bool Note(uint32_t err) {
    if (err == 0) return true;
    last_error_ = err;
    return false;
  }
  std::unique_ptr<LinkPort> port_;
  SerialTimeouts timeouts_{};
  SerialLineState state_{};
  uint32_t last_error_ = 0;
};

}  // namespace

std::unique_ptr<BlockLine> OpenDeviceBlockLine(const std::string& name, uint32_t& err) {
  auto line = std::make_unique<DeviceBlockLine>();
  if (!line->Open(name, err)) return nullptr;
  return line;
}

std::unique_ptr<BlockLine> MakePortBlockLine(std::unique_ptr<LinkPort> port) {
  return std::make_unique<PortBlockLine>(std::move(port));
}

}  // namespace korvane
