// The narrow serial line under the character-block protocol: the Windows communications calls it
// makes, and nothing else. The device line drives a real serial device; tests bind an in-memory
// line with a manual clock, and the port line carries the blocks over any open LinkPort (TCP).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial_device.h"
#include "port/link_port.h"

namespace korvane {

class BlockLine {
 public:
  virtual ~BlockLine() = default;
  virtual bool SetupQueues(uint32_t in_bytes, uint32_t out_bytes) = 0;
  virtual bool SetTimeouts(const SerialTimeouts& t) = 0;
  virtual bool GetState(SerialLineState& s) = 0;
  virtual bool SetState(const SerialLineState& s) = 0;
  // One read or write under the current time-outs; `done` is what moved, on failure too.
  virtual bool Read(uint8_t* buffer, uint32_t size, uint32_t& done) = 0;
  virtual bool Write(const uint8_t* data, uint32_t size, uint32_t& done) = 0;
  // Both directions, pending calls aborted, both queues cleared.
  virtual bool PurgeAll() = 0;
  // The input only: a write just made still leaves.
  virtual bool PurgeInput() = 0;
  // The error flags since the last call (never 0 after a failed read or write).
  virtual uint32_t ClearError() = 0;
  virtual bool SetDtr(bool on) = 0;
  // The system error of the last failed call, for log lines.
  virtual uint32_t LastError() const = 0;
};

// Hands every call to another line, which it owns; a wrapper overrides what it changes.
class ForwardingBlockLine : public BlockLine {
 public:
  explicit ForwardingBlockLine(std::unique_ptr<BlockLine> line) : line_(std::move(line)) {}
  bool SetupQueues(uint32_t in_bytes, uint32_t out_bytes) override { return line_->SetupQueues(in_bytes, out_bytes); }
  bool SetTimeouts(const SerialTimeouts& t) override { return line_->SetTimeouts(t); }
  bool GetState(SerialLineState& s) override { return line_->GetState(s); }
  bool SetState(const SerialLineState& s) override { return line_->SetState(s); }
  bool Read(uint8_t* buffer, uint32_t size, uint32_t& done) override { return line_->Read(buffer, size, done); }
  bool Write(const uint8_t* data, uint32_t size, uint32_t& done) override { return line_->Write(data, size, done); }
  bool PurgeAll() override { return line_->PurgeAll(); }
  bool PurgeInput() override { return line_->PurgeInput(); }
  uint32_t ClearError() override { return line_->ClearError(); }
  bool SetDtr(bool on) override { return line_->SetDtr(on); }
  uint32_t LastError() const override { return line_->LastError(); }

 private:
  std::unique_ptr<BlockLine> line_;
};

// Opens a serial device by name; null with `err` on failure.
std::unique_ptr<BlockLine> OpenDeviceBlockLine(const std::string& name, uint32_t& err);

// Blocks over an open port; the line owns it. Line settings succeed and change nothing.
std::unique_ptr<BlockLine> MakePortBlockLine(std::unique_ptr<LinkPort> port);

}  // namespace korvane
