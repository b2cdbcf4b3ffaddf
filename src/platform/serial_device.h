// A serial device with the Windows communications model: queue sizes, time-outs in the five
// COMMTIMEOUTS fields, a line state with the DCB fields the port layer sets, purge, error flags and
// DTR. The POSIX build gives the same observable behaviour with termios and poll.
#pragma once
#include <cstdint>
#include <string>

namespace korvane {

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

struct SerialTimeouts {
  uint32_t read_interval = 0;
  uint32_t read_multiplier = 0;
  uint32_t read_constant = 0;
  uint32_t write_multiplier = 0;
  uint32_t write_constant = 0;
};

enum class LineControl : uint8_t { kDisable = 0, kEnable = 1, kHandshake = 2, kToggle = 3 };

// The DCB fields the port layer reads and writes, under their DCB meaning.
struct SerialLineState {
  uint32_t baud_rate = 0;
  bool binary = false;
  bool parity_check = false;
  bool cts_flow = false;
  bool dsr_flow = false;
  LineControl dtr_control = LineControl::kDisable;
  bool dsr_sensitivity = false;
  bool tx_continue_on_xoff = false;
  bool xon_xoff_out = false;
  bool xon_xoff_in = false;
  bool error_char = false;
  bool null_discard = false;
  LineControl rts_control = LineControl::kDisable;
  bool abort_on_error = false;
  uint8_t byte_size = 0;
  uint8_t parity = 0;     // 0 none
  uint8_t stop_bits = 0;  // 0 one stop bit
  // The flow-control characters. SetState writes them only with from_zero (else the device's own
  // stay); Windows refuses a state whose two are equal, and a state that is not binary.
  uint8_t xon_char = 0;
  uint8_t xoff_char = 0;
  // Set: the device's other line settings start from zero (a fresh DCB) instead of staying as read.
  bool from_zero = false;
};

// The flow-control characters of a state built from zero: the usual DC1 and DC3, since drivers
// refuse equal ones even with flow control off.
constexpr uint8_t kSerialXonChar = 0x11;
constexpr uint8_t kSerialXoffChar = 0x13;

// A state built from zero that a driver still accepts: binary mode and distinct flow-control
// characters, flow control itself off.
inline SerialLineState FreshSerialLineState() {
  SerialLineState s;
  s.from_zero = true;
  s.binary = true;
  s.xon_char = kSerialXonChar;
  s.xoff_char = kSerialXoffChar;
  return s;
}

#ifdef _WIN32
// The system calls of the data path, replaceable so a test can play an adapter pulled out
// mid-transfer (Wine cannot unplug one). Each returns nonzero for success and leaves its error for
// GetLastError, as the system calls do.
struct SerialDataCalls {
  int(__stdcall* read_file)(void* handle, void* buffer, unsigned long size, unsigned long* done, void* overlapped);
  int(__stdcall* write_file)(void* handle, const void* data, unsigned long size, unsigned long* done, void* overlapped);
  int(__stdcall* clear_comm_error)(void* handle, unsigned long* errors, void* status);
};
// Installs `calls` for every serial device of the process (nullptr: the system's own); returns
// the previous table.
const SerialDataCalls* SetSerialDataCalls(const SerialDataCalls* calls);
#endif

class SerialDevice {
 public:
  SerialDevice() = default;
  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // Read and write access, no sharing, existing devices only. `attribute_normal` asks for
  // FILE_ATTRIBUTE_NORMAL instead of no flags. On failure `err` is the system error (2 missing,
  // 5 in use; other values native).
  bool Open(const std::string& name, bool attribute_normal, uint32_t& err);
  bool IsOpen() const;
  void Close();

  bool SetupQueues(uint32_t in_bytes, uint32_t out_bytes);
  bool GetTimeouts(SerialTimeouts& t) const;
  bool SetTimeouts(const SerialTimeouts& t);
  bool GetState(SerialLineState& s) const;
  bool SetState(const SerialLineState& s);

  // One ReadFile / WriteFile under the current time-outs. `done` is what moved, on failure too.
  bool Read(uint8_t* buffer, uint32_t size, uint32_t& done);
  bool Write(const uint8_t* data, uint32_t size, uint32_t& done);

  // ClearCommError: the error flags since the last call. When there are none to give although the
  // last read or write failed (the flags cannot be read from a pulled adapter), the system error
  // of that failed call instead, so a failure never reads as 0. The POSIX build has no flags and
  // always gives the error of the last failed call (kErrDeviceLost for a vanished device).
  uint32_t ClearError();
  // The system error of the last failed call (0 before any).
  uint32_t LastError() const { return last_error_; }
  // PurgeComm with all four flags.
  bool PurgeAll();
  // PurgeComm of the input only: what was written still leaves.
  bool PurgeInput();
  bool SetDtr(bool on);

 private:
#ifdef _WIN32
  void* handle_ = reinterpret_cast<void*>(static_cast<intptr_t>(-1));
  uint32_t last_error_ = 0;  // GetLastError of the last failed call
#else
  int fd_ = -1;
  SerialTimeouts timeouts_{};
  uint32_t last_error_ = 0;
#endif
};

}  // namespace korvane
