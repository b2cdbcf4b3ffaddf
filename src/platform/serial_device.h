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
  // Set: the device's other line settings start from zero (a fresh DCB) instead of staying as read.
  bool from_zero = false;
};

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

  // ClearCommError: the error flags since the last call (the POSIX build reports the errno of the
  // last failed call, 0 when none).
  uint32_t ClearError();
  // PurgeComm with all four flags.
  bool PurgeAll();
  bool SetDtr(bool on);

 private:
#ifdef _WIN32
  void* handle_ = reinterpret_cast<void*>(static_cast<intptr_t>(-1));
#else
  int fd_ = -1;
  SerialTimeouts timeouts_{};
  uint32_t last_errno_ = 0;
#endif
};

}  // namespace korvane
