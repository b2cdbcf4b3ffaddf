// The terminal program's side of a link, for the simulator and for tests: what it holds (identity,
// job, readiness, tables), how it answers each command, and the two transports it speaks (v2
// through the frame responder, v3 as records over a non-initiating frame buffer). No threads and no
// I/O: the owner feeds the bytes it read and writes the bytes it takes.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frame/frame_buffer.h"
#include "link/link_protocol.h"
#include "link/record_channel.h"
#include "platform/ticks.h"
#include "port/link_port.h"
#include "terminal/block_terminal.h"
#include "terminal/v2_responder.h"

namespace korvane {

struct TerminalState {
  std::string program_name = "Ostrel";
  std::string program_version = "1.0.0.0";
  std::string device_name = "Terminal";
  std::string device_id = "00000000";
  // Answer of "998": state (1 = ready) and its text.
  int32_t readiness = 1;
  std::string readiness_text = "Готов";
  // Current IDs by table kind ("880"/"886" read them, "881".."887" set them).
  int32_t current_id[kTableKindCount] = {};
  uint32_t filter_id[kTableKindCount] = {};
  std::string filter_text[kTableKindCount];
  std::vector<std::string> tables[kTableKindCount];
  // Answer of "020" when not negative; otherwise the row count of journal 0, or of journal 1 when
  // journal 0 is empty ("020" names no table).
  int32_t lines_count = -1;
  // The status record sent after "003".
  std::string verdict = "SYNC;0;";
  // The last date and time set with "303".
  std::string date_time;
};

class TerminalSide {
 public:
  // Sees every message from the PC first; returning true skips the normal handling.
  using Intercept = std::function<bool(const std::string& message, TerminalSide& side)>;
  // A table that "003" accepted: its kind and rows, in upload order.
  using TableLoaded = std::function<void(int32_t kind, const std::vector<std::string>& rows)>;

  explicit TerminalSide(TerminalState& state) : state_(state) {}

  TerminalState& State() { return state_; }
  void SetIntercept(Intercept intercept) { intercept_ = std::move(intercept); }
  void SetTableLoaded(TableLoaded handler) { table_loaded_ = std::move(handler); }
  // Keeps every message from the PC in Received() (off for long runs).
  void KeepReceived(bool keep) { keep_received_ = keep; }
  const std::vector<std::string>& Received() const { return received_; }
  void ClearReceived() { received_.clear(); }
  // Codes of the commands received, in order.
  const std::vector<std::string>& Commands() const { return commands_; }
  // Sees every message as it leaves for the PC, in the order the PC gets them: queued answers and
  // the rows of a running download alike.
  using SentTap = std::function<void(const std::string& message)>;
  void SetSentTap(SentTap tap) { sent_tap_ = std::move(tap); }

  // A new connection: forgets a half-done command, upload or download.
  void ResetSession();
  // The program started again: it also forgets the tables loaded and not yet processed.
  void Restart();
  // One message from the PC (SOH + code, or RS + text).
  void OnMessage(const uint8_t* data, size_t size);
  // Queues a message for the PC, after what is already queued.
  void Emit(std::string message);
  void EmitRecord(const std::string& text) { Emit(static_cast<char>(kRS) + text); }
  void EmitEcho(const std::string& code) { Emit(static_cast<char>(kENQ) + code); }
  // Next message for the PC; rows of a running download are produced as they are taken.
  bool TakeOutgoing(std::string& message);
  bool HasOutgoing() const;

 private:
  enum class Expect { kCommand, kParameter, kUploadRows };
  void HandleCommand(const std::string& code);
  void HandleRecord(std::string text);
  void ApplyParameter(const std::string& text);

  TerminalState& state_;
  Intercept intercept_;
  TableLoaded table_loaded_;
  SentTap sent_tap_;
  bool keep_received_ = true;
  std::vector<std::string> received_;
  std::vector<std::string> commands_;
  std::deque<std::string> outbox_;

  Expect expect_ = Expect::kCommand;
  std::string parameter_for_;  // the command whose parameter record comes next
  int32_t upload_kind_ = -1;
  std::vector<std::vector<std::string>> uploaded_;  // by kind, since "002"
  std::vector<bool> upload_seen_;
  // Running download: kind, next row, end marker still to send.
  int32_t download_kind_ = -1;
  size_t download_next_ = 0;
};

// A terminal of the character-block protocol (it sends no SYN; the number only names it here).
constexpr uint16_t kProtocolBlocks = 0x0100;

// Bytes in, bytes out, for one connection of a terminal that speaks `protocol` (0x0200, 0x0201 or
// 0x0300 as in its SYN, or kProtocolBlocks).
class TerminalEndpoint {
 public:
  TerminalEndpoint(TerminalSide& side, uint16_t protocol, const Clock& clock = SystemClock());
  ~TerminalEndpoint();
  TerminalEndpoint(const TerminalEndpoint&) = delete;
  TerminalEndpoint& operator=(const TerminalEndpoint&) = delete;

  uint16_t Protocol() const { return protocol_; }
  // Bytes read from the PC.
  void Feed(const uint8_t* data, size_t size);
  // Handles what arrived, sends what is due (answers, download rows, retransmissions).
  void Poll();
  // Bytes to write to the PC.
  std::vector<uint8_t> TakeOutput();
  // v3 only: when a burst of frames came, their acknowledgements go to `sink` before the records
  // in them are handled instead of waiting for TakeOutput.
  using WireSink = std::function<void(const uint8_t* data, uint32_t length)>;
  void SetWireSink(WireSink sink) { wire_sink_ = std::move(sink); }
  V2Responder* Responder() { return responder_.get(); }
  CFrameBuffer* FrameBuffer() { return frame_buffer_.get(); }
  BlockTerminal* Blocks() { return blocks_.get(); }
  // True while timers of the protocol run (frames or a block in flight, a unit half read).
  bool Busy() const;
  // A handshake of the PC (its version query on v2, any SYN on v3) starts a new session, hang-up
  // or not: the side forgets the last one's half-done exchange, then `hook` runs. Protocol 1.00 has
  // no handshake.
  void SetSessionStart(std::function<void()> hook) { session_start_ = std::move(hook); }
  // The terminal program starts again on the same line (battery pulled, program reset): what it
  // had not written yet is lost, its session is forgotten, and its protocol engine begins afresh
  // (v3 announces itself with its SYN). Safe from inside the side's handlers: it takes effect once
  // the bytes being handled are done.
  void Restart() { restart_pending_ = true; }

 private:
  // The byte stream under the v3 frame buffer.
  class Wire final : public _tag_ReadWriteStream {
   public:
    // Bytes from the PC; those before `in_at` were read already.
    std::vector<uint8_t> in;
    size_t in_at = 0;
    std::vector<uint8_t> out;
    void Append(const uint8_t* data, size_t size);
    int32_t Read(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& err) override;
    int32_t Write(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err) override;
    int32_t Flush(int32_t timeout_ms, uint32_t& err) override;
  };

  void PollV2();
  void PollV3();
  void StartSession();
  void StartEngine();
  void TakeRestart();

  TerminalSide& side_;
  uint16_t protocol_;
  const Clock& clock_;
  std::unique_ptr<V2Responder> responder_;
  std::unique_ptr<BlockTerminal> blocks_;
  Wire wire_;
  WireSink wire_sink_;
  std::unique_ptr<CFrameBuffer> frame_buffer_;
  std::unique_ptr<RecordChannel> records_;
  std::vector<uint8_t> record_buffer_;
  uint32_t peer_syns_seen_ = 0;
  std::function<void()> session_start_;
  bool restart_pending_ = false;
};

// A connection inside one process: the PC's end is a port device, the far end a terminal endpoint.
// A read that finds nothing sleeps its time-out on the clock (a manual clock simply moves on), then
// lets the terminal's timers run. The side must outlive the line.
class InProcessLine {
 public:
  using WriteTap = std::function<void(const uint8_t* data, uint32_t length)>;

  InProcessLine(TerminalSide& side, uint16_t protocol, const Clock& clock = SystemClock());

  TerminalEndpoint& Endpoint() { return endpoint_; }
  // A silent terminal takes every byte and answers none.
  void SetSilent(bool silent) { silent_ = silent; }
  // Sees every block the PC writes.
  void SetWriteTap(WriteTap tap) { tap_ = std::move(tap); }
  // The PC's end; it keeps the line alive.
  static std::unique_ptr<PortDevice> MakePort(std::shared_ptr<InProcessLine> line);

 private:
  class Port;
  void FromPc(const uint8_t* data, uint32_t length);
  uint32_t ToPc(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms);
  void Service();

  const Clock& clock_;
  TerminalEndpoint endpoint_;
  std::deque<uint8_t> to_pc_;
  bool silent_ = false;
  WriteTap tap_;
};

}  // namespace korvane
