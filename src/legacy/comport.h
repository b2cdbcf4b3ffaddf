// CComport: row-level operations (command, row out, row in, link check) at protocol 1.00
// (character blocks on a serial line it opens itself), 2.00 (v2 frames) or 3.00 (v3 records).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frame/frame_buffer.h"
#include "frame/lvl_stream.h"
#include "frame/ts_port.h"
#include "legacy/block_engine.h"
#include "legacy/block_line.h"
#include "link/answer_ledger.h"
#include "link/record_channel.h"
#include "link/terminal_link.h"
#include "platform/ticks.h"

namespace korvane {

constexpr uint32_t kComportVersion100 = 100;
constexpr uint32_t kComportVersion200 = 200;
constexpr uint32_t kComportVersion300 = 300;
// A v2 row waits here until it is sent: RS is added in front, so a row holds at most 8081 bytes.
constexpr uint32_t kPendingTextSize = 8082;
constexpr uint32_t kMaxFramedRowText = kPendingTextSize - 1;
constexpr uint32_t kComportTimeoutMs = 15000;
constexpr uint32_t kComportCommandSendTimeoutMs = 3000;
// Results beside those of the frame engines.
constexpr int32_t kComportWrongDataflow = -5;
constexpr int32_t kComportWrongAnswer = -6;
constexpr int32_t kComportDeviceLost = -7;

// Opens a serial line by name for 1.00; the default opens the platform serial device.
using BlockLineOpener = std::function<std::unique_ptr<BlockLine>(const std::string& name, uint32_t& err)>;

class CComport {
 public:
  explicit CComport(const Clock& clock = SystemClock());
  virtual ~CComport();
  CComport(const CComport&) = delete;
  CComport& operator=(const CComport&) = delete;

  // Seams: how ports are opened at 1.00 and at 2.00/3.00.
  void SetBlockLineOpener(BlockLineOpener opener);
  void SetPortOpener(PortOpener opener);

  // 100 or less gives 100, 200 gives 200, 300 or more gives 300, anything else keeps the version.
  // Moving between 1.00 and 2.00/3.00 with a port open closes the port first.
  uint32_t SetProtocolVersion(uint32_t version);
  uint32_t GetProtocolVersion() const { return local_version_; }
  uint32_t RemoteVersion() const { return remote_version_; }
  bool IsOpen() const;

  int32_t Open(const std::string& name);
  // The system error of the last failed Open (0 after a success or a failure without one).
  uint32_t LastOpenError() const { return open_error_; }
  int32_t OpenIRDA(const std::string& name);
  int32_t Close();  // always 0
  int32_t SyncRemoteVersion(uint32_t& err, uint32_t timeout_ms);

  // 1 on success; 0 on failure at 1.00, else 0 or a negative transfer result.
  int32_t SendCmd(const std::string& cmd);
  int32_t TryToSend(const std::string& text);
  int32_t TryToSendFinalize();
  void PurgePort();
  // `size` in: the buffer's capacity; out: the text length. The text is NUL-terminated.
  int32_t TryToRecv(char* buffer, int32_t& size);
  int32_t IsTerminalOnline(int32_t timeout_ms);

 private:
  bool Blocks() const { return local_version_ <= kComportVersion100; }
  bool UsesV3() const { return remote_version_ >= kComportVersion300 || local_version_ >= kComportVersion300; }
  // v3 frames need the session a version answer starts; 2.00 only guessed after silence has none.
  bool NeedsVersion() const { return remote_version_ == 0 || (version_guessed_ && UsesV3()); }
  int32_t OpenBlocks(const std::string& name);
  int32_t OpenIrdaBlocks(const std::string& name);
  void CloseNoScope();
  void Wait(uint32_t ms) const { clock_.Sleep(ms); }
  bool ApplyState();
  bool IrdaCallOk(bool ok, const char* call) const;
  // False when a call on the line failed; `answered` tells whether the adapter echoed at `rate`.
  bool ProbeIrdaRate(uint32_t rate, bool& answered);
  // The opener's line, traced when the frame trace is on.
  std::unique_ptr<BlockLine> OpenBlockLine(const std::string& name, uint32_t& err);
  bool WriteByte(uint8_t b);
  // One record into `buffer` before `deadline`: its size, or 0 with `outcome` set otherwise.
  enum class RecvOutcome { kRecord, kDeviceError, kFailed, kTimeout };
  int32_t ReceiveRecord(uint8_t* buffer, uint32_t size, uint32_t deadline, uint32_t& err, RecvOutcome& outcome);
  int32_t MsLeft(uint32_t deadline) const;
  int32_t SendCommandV2(const uint8_t* message, uint8_t* answer, int32_t timeout_ms, const char* who);
  // The answer to `message` (kAnswerMessageSize bytes into `answer`), passing over what earlier
  // exchanges left on the line while more comes before `deadline`; v3 reports through `outcome`.
  int32_t ReceiveAnswer(const uint8_t* message, uint8_t* answer, uint32_t deadline, uint32_t& err,
                        RecvOutcome& outcome);
  // Before a row out or in: the terminal's protocol is asked for while it is unknown or only
  // guessed. 1 to go on, else the row's result (`refusal` logged when the terminal did not answer).
  int32_t SettleForRow(const char* refusal);
  // True, with `text` logged, when the terminal answered the version query with 2.00 while 3.00 is
  // chosen here.
  bool RefusedForV2Terminal(const char* text);

  const Clock& clock_;
  BlockLineOpener block_opener_;
  PortOpener port_opener_;

  // 1.00
  std::unique_ptr<BlockLine> line_;
  SerialLineState dcb_{};
  ElapsedCounter dump_counter_{};
  std::unique_ptr<BlockEngine> engine_;

  // 2.00 / 3.00
  TsPort* port_ = nullptr;
  std::vector<uint8_t> last_frame_;
  std::vector<uint8_t> pending_;
  int32_t pending_length_ = 0;
  // A row waits, though it may be empty: RS alone is a row too.
  bool row_pending_ = false;
  uint32_t local_version_ = kComportVersion100;
  uint32_t remote_version_ = 0;
  // 200 was taken because the version query went unanswered, not because the terminal said so.
  bool version_guessed_ = false;
  AnswerLedger answers_;
  uint32_t open_error_ = 0;
  CLvlStream level_stream_;
  CFrameBuffer frame_buffer_;
  RecordChannel records_;
};

}  // namespace korvane
