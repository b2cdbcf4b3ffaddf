// Kind 6: the server end of the Remote Desktop channel to a port on the user's PC, and the
// message format both ends of the channel speak.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ticks.h"
#include "platform/wts_channel.h"

namespace korvane {

// Channel messages: a type byte, then raw port bytes (data) or a text without NUL (control).
inline constexpr const char* kRdpChannelName = "vrnchl";
constexpr uint8_t kRdpDataMessage = 0x00;
constexpr uint8_t kRdpControlMessage = 0x01;
inline constexpr std::string_view kRdpOpenText = "OPEN:";
inline constexpr std::string_view kRdpCloseText = "CLOSE";
inline constexpr std::string_view kRdpOpenOkText = "OPEN-OK";
inline constexpr std::string_view kRdpErrorText = "ERROR:";
// The platform carries a message in chunks of at most this many bytes; the first carries the type.
constexpr uint32_t kRdpChunkSize = 1600;
constexpr uint32_t kRdpChannelFlagFirst = 0x01;
constexpr uint32_t kRdpChannelFlagLast = 0x02;
// Server reads get each chunk after a header of 32-bit total length and 32-bit flags.
constexpr uint32_t kRdpPduHeaderSize = 8;
// The longest client port name an "OPEN:" request carries in one chunk.
constexpr uint32_t kRdpMaxPortName = kRdpChunkSize - 1 - 5 - 1;

// The error numbers of the channel object.
enum RdpChannelError : uint32_t {
  kRdpOk = 0,
  kRdpNoLibrary = 41,
  kRdpOpenFailed = 42,
  kRdpWriteFailed = 43,
  kRdpReadFailed = 44,
  kRdpNothingArrived = 45,
  kRdpBadAnswer = 46,
  kRdpUnexpectedAnswer = 47,
  kRdpClientError = 48,
};

// The decimal code after "ERROR:" in a control text of `length` bytes, or false when the text is
// not an error report.
bool ParseRdpErrorText(const uint8_t* text, uint32_t length, uint32_t& code);

class RdpChannel {
 public:
  // `api` null: no channel library on this machine.
  RdpChannel(std::unique_ptr<WtsChannelApi> api, const Clock& clock = SystemClock());
  ~RdpChannel();
  RdpChannel(const RdpChannel&) = delete;
  RdpChannel& operator=(const RdpChannel&) = delete;

  // Takes the client port name from a port name such as TSCLIENT:COM3.
  void SetPortName(const std::string& name);
  const std::string& ClientPortName() const { return client_port_; }
  uint32_t Open(uint32_t& err);
  uint32_t Write(const uint8_t* data, uint32_t length, uint32_t& written, uint32_t& err);
  void SetReadTimeout(int32_t ms) { read_timeout_ = ms < 0 ? 0 : static_cast<uint32_t>(ms); }
  uint32_t Read(uint8_t* buffer, uint32_t size, uint32_t& received, uint32_t& err);
  void Close();

 private:
  struct Chunk {
    uint32_t flags = 0;
    uint32_t payload_length = 0;
    uint8_t bytes[kRdpPduHeaderSize + kRdpChunkSize] = {};
    const uint8_t* Payload() const { return bytes + kRdpPduHeaderSize; }
    bool IsControl() const {
      return (flags & kRdpChannelFlagFirst) && payload_length > 0 && Payload()[0] == kRdpControlMessage;
    }
  };
  uint32_t ReadChunk(uint32_t timeout_ms, Chunk& chunk, uint32_t& err);
  void SendControl(std::string_view text);
  void CloseHandle(bool say_close);
  void HandOut(const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t size, uint32_t& received);

  std::unique_ptr<WtsChannelApi> api_;
  const Clock& clock_;
  uint8_t leftover_[kRdpChunkSize] = {};
  uint32_t leftover_count_ = 0;
  WtsChannelApi::Handle channel_ = nullptr;
  std::string client_port_;
  bool name_too_long_ = false;
  uint32_t read_timeout_ = 0;
};

// Where kind-6 ports take their channel functions: the system's, or a test's.
using WtsChannelApiSource = std::function<std::unique_ptr<WtsChannelApi>()>;
// Null restores the system's.
void SetWtsChannelApiSource(WtsChannelApiSource source);

}  // namespace korvane
