// A USB device driven through WinUSB: one bulk IN and one bulk OUT pipe, opened by interface path,
// with reads staged so that one read can stay outstanding across calls.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "port/winusb_api.h"

namespace korvane {

// Error numbers of the WinUSB device, logged by the port layer.
constexpr uint32_t kWinUsbOpenFailed = 1;
constexpr uint32_t kWinUsbTransferFailed = 3;
constexpr uint32_t kWinUsbLibraryMissing = 21;
constexpr uint32_t kWinUsbEntryPointMissing = 22;
constexpr uint32_t kWinUsbInitializeFailed = 23;
constexpr uint32_t kWinUsbQueryInterfaceFailed = 24;
constexpr uint32_t kWinUsbNoPipePair = 25;

// System errors the read tells apart.
constexpr uint32_t kErrSemTimeout = 121;  // the pipe's transfer time-out ended the transfer
constexpr uint32_t kErrOperationAborted = 995;
constexpr uint32_t kErrIoIncomplete = 996;  // still in flight
constexpr uint32_t kErrIoPending = 997;     // started, completes later

// Pipe policy types and pipe kinds of WinUSB.
constexpr uint32_t kPolicyShortPacketTerminate = 1;
constexpr uint32_t kPolicyAutoClearStall = 2;
constexpr uint32_t kPolicyPipeTransferTimeout = 3;
constexpr uint32_t kPolicyIgnoreShortPackets = 4;
constexpr uint32_t kPolicyAllowPartialReads = 5;
constexpr uint32_t kPolicyAutoFlush = 6;
constexpr uint32_t kPolicyRawIo = 7;
constexpr int32_t kUsbPipeTypeBulk = 2;
constexpr uint8_t kUsbPipeDirectionIn = 0x80;

constexpr uint32_t kWinUsbDefaultTimeoutMs = 500;
constexpr uint32_t kWinUsbMinWriteTimeoutMs = 500;

// Linear storage for the read in flight: data is taken from the front, a read lands behind it.
class StagingBuffer {
 public:
  static constexpr uint32_t kCapacity = 0x20000;

  StagingBuffer() : storage_(new uint8_t[kCapacity]) {}

  // Reserves min(want, free space) behind the data held; 0 when full.
  uint32_t Reserve(uint32_t want, uint8_t*& at);
  // Ends the reservation with `n` of its bytes filled.
  void Commit(uint32_t n);
  // Moves up to `size` held bytes to `out`; returns how many.
  uint32_t Take(uint8_t* out, uint32_t size);
  void Clear() { head_ = fill_ = reservation_ = 0; }

  uint32_t Held() const { return fill_ - head_; }
  uint32_t Reservation() const { return reservation_; }

 private:
  std::unique_ptr<uint8_t[]> storage_;
  uint32_t head_ = 0;  // data is [head_, fill_)
  uint32_t fill_ = 0;
  uint32_t reservation_ = 0;
};

class WinUsbDevice {
 public:
  explicit WinUsbDevice(std::string device_path, std::unique_ptr<WinUsbLoader> loader = SystemWinUsbLoader());
  ~WinUsbDevice() { Unload(); }
  WinUsbDevice(const WinUsbDevice&) = delete;
  WinUsbDevice& operator=(const WinUsbDevice&) = delete;

  // 0 (also when already loaded), 21 without the library, 22 when it lacks an entry point.
  uint32_t LoadEntryPoints();
  // 0, or 1, 23, 24, 25 with the system error in `err`; a failed open leaves nothing open.
  uint32_t Open(uint32_t& err);
  // Hands out staged bytes, keeping at most one read outstanding; 0, or 3 with `err`.
  uint32_t Read(uint8_t* buffer, uint32_t size, uint32_t& got, uint32_t& err);
  uint32_t Write(const uint8_t* data, uint32_t length, uint32_t& written, uint32_t& err);
  void SetReadTimeout(uint32_t ms);
  void SetWriteTimeout(uint32_t ms);
  // Drops what is pending in both directions.
  void Flush();
  void Close();
  void Unload();

  bool IsOpen() const { return iface_ != nullptr; }
  uint32_t ReadTimeout() const { return read_timeout_; }
  uint32_t WriteTimeout() const { return write_timeout_; }
  const StagingBuffer& Staged() const { return staged_; }

 private:
  struct Pipe {
    uint8_t id = 0;
    uint16_t max_packet = 0;
    bool present = false;
  };
  void SetPolicies(uint8_t pipe);
  void SetPolicy(uint8_t pipe, uint32_t type, uint32_t length, void* value);
  // Waits for the read in flight to finish (after an abort) so its buffer and event are free.
  void ReapRead();
  uint32_t FailRead(uint32_t error, uint32_t& err);
  void ReleaseOpenParts();

  std::string path_;
  std::unique_ptr<WinUsbLoader> loader_;
  bool loaded_ = false;
  WinUsbApi api_{};
  const UsbSystemApi* sys_ = nullptr;

  UsbHandle file_ = nullptr;
  UsbHandle iface_ = nullptr;
  uint32_t read_timeout_ = 0;
  uint32_t write_timeout_ = 0;
  Pipe in_, out_;
  UsbOverlapped read_overlap_{};
  bool read_in_flight_ = false;
  bool read_has_timeout_ = false;  // the pipe's transfer time-out was set when the read started
  StagingBuffer staged_;
};

}  // namespace korvane
