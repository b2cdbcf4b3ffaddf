// One link to one hand-held terminal: the port, the negotiated protocol (v2 or v3), commands and
// data records, the terminal's identity, and the diagnostics the automation objects expose.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "frame/frame_buffer.h"
#include "frame/lvl_stream.h"
#include "frame/ts_port.h"
#include "link/answer_ledger.h"
#include "link/link_protocol.h"
#include "link/record_channel.h"
#include "link/row_stream.h"
#include "log/link_log.h"
#include "platform/ticks.h"

namespace korvane {

// Progress of row-by-row operations; the automation objects fire RowReceived / RowSent from it.
// Slot order matters to them: RowReceived, then RowSent.
class _CAbsRecvSendEvents {
 public:
  virtual void RowReceived(long nReceived, long nCount) = 0;
  virtual void RowSent(long nSent, long nCount) = 0;

 protected:
  ~_CAbsRecvSendEvents() = default;
};

struct DiagRecord {
  int32_t code = 0;
  std::string message;
  std::string context;
};

// Opens the resolved device as a TsPort; the default is tsOpenPort. Tests and tools hand in
// their own (an in-memory peer, an adopted socket).
using PortOpener = std::function<TsPort*(const std::string& device, uint32_t kind, uint32_t* err)>;

// Why port `port_name` (opened as `device`) did not open with system error `err`: the text the
// link keeps as LastMessage, also for tools that open ports by other roads.
std::string PortOpenFailureText(const std::string& port_name, const std::string& device, uint32_t err);

// Time-outs of the link's exchanges.
constexpr uint32_t kLinkExchangeTimeoutMs = 15000;
constexpr uint32_t kLinkCommandSendTimeoutMs = 3000;  // the record send of a v3 command
constexpr uint32_t kConnectCheckTimeoutMs = 2000;     // link check while connecting
// Link frame buffer set-up.
constexpr uint32_t kLinkMaxFrameSize = 1024;
constexpr uint32_t kLinkWindow = 3;
// The rows of a table upload are handed to the frame buffer in batches of about this many bytes.
constexpr uint32_t kLinkSendBatch = 4 * kLinkMaxFrameSize;

class TerminalLink {
 public:
  explicit TerminalLink(const Clock& clock = SystemClock());
  ~TerminalLink();
  TerminalLink(const TerminalLink&) = delete;
  TerminalLink& operator=(const TerminalLink&) = delete;

  void SetPortOpener(PortOpener opener);

  // Port property.
  void SetPort(const std::string& name);
  std::string Port();
  // The link's log file (empty: off) and its unused parameter.
  void SetupLogfile(const std::string& file_name, int32_t param);
  // One line of the link's log, as the library writes its own (LogStr of the automation objects).
  void LogStr(const std::string& text);

  // Identity read from the terminal while connecting.
  std::string RemoteProgName();
  std::string RemoteProgVersion();
  std::string RemoteDevName();
  std::string RemoteDevID();
  // 200 until a v3 terminal answered, then 300 until the port is opened again.
  uint32_t LocalVersion();
  // 0 while unknown, 200 or 300.
  uint32_t RemoteVersion();
  bool IsConnected();
  bool IsPortOpen();

  // Diagnostics.
  int32_t SetDiag(int32_t code, const std::string& message, const std::string& context);
  void ClearDiag();
  DiagRecord GetDiag();
  std::string LastMessage();
  int32_t SetLastMessage(const std::string& message, int32_t code);

  // Link core.
  int32_t OpenPort();
  void ClosePort();
  void Disconnect();
  int32_t SyncRemoteVersion(uint32_t& err, uint32_t timeout_ms);
  int32_t IsTerminalOnline(uint32_t timeout_ms);
  void PurgePort();
  int32_t TryToSend(const uint8_t* data, uint32_t length);
  int32_t TryToSend(const std::string& text) {
    return TryToSend(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
  }
  int32_t TryToSendFinalize();
  int32_t FlushSendCache();
  // `received` gets the row length without its RS; the row is zero-terminated in `buffer`.
  int32_t TryToRecv(uint8_t* buffer, uint32_t size, int32_t& received);
  int32_t SendCmd(const uint8_t* command, uint32_t length);
  int32_t SendCmd(const std::string& command) {
    return SendCmd(reinterpret_cast<const uint8_t*>(command.data()), static_cast<uint32_t>(command.size()));
  }
  RecordChannel& Records() { return records_; }

  // Command catalogue.
  int32_t GetPropByCmd(const std::string& command, std::vector<std::string>& fields);
  int32_t SyncDateTime();
  int32_t IsReadyToCommunicate(int32_t& state, std::string& text);
  int32_t EnableRecvMode();
  int32_t ResetAllFilters();
  int32_t GetLinesCount(int32_t kind, int32_t& count);
  int32_t StartDownload(int32_t kind);
  int32_t MakeBeep();
  int32_t ClearTable(int32_t kind);
  int32_t SetCurrentID(int32_t kind, int32_t id);
  int32_t GetCurrentID(int32_t kind, int32_t& id);
  int32_t ActivateUploadingTables();
  int32_t StartUploading(int32_t kind);
  int32_t ActivateParsingUploadedTables();
  int32_t SetFilterID(int32_t kind, int32_t id);
  int32_t SetFilterText(int32_t kind, const std::string& text);
  int32_t CloseAllForms();
  int32_t Reboot();
  int32_t QuerySoftwareInfo();
  int32_t QueryHardwareInfo();

  // Connecting and readiness.
  int32_t ConnectTerminal();
  int32_t RecvPrepare();
  int32_t RecvFinal();
  int32_t ClearPrepare();
  int32_t ClearFinal(bool clear_job);

  // Tables. `events` may be null.
  int32_t RecvTable(int32_t kind, RowSink& rows, _CAbsRecvSendEvents* events);
  int32_t LineDownload(int32_t kind, std::string& row);
  // `count` -1: the rows of `source` are counted first.
  int32_t SendTable(int32_t kind, RowSource& source, _CAbsRecvSendEvents* events, int32_t count);
  int32_t LineUpload(int32_t kind, const std::string& row);
  int32_t SendFinal(int32_t new_operation_id);

  // CSV files.
  int32_t SaveCSV(const std::string& file_name, RowSource& source, bool append);
  int32_t ReadCSV(const std::string& file_name, RowSink& rows);

  // Frames judged, wasted and damaged on the protocol in use since the link was made; zero
  // without a port.
  LineQuality::Totals LineTotals() const;

 private:
  bool UseV3() const { return remote_version_ >= kLinkVersionV3 || local_version_ >= kLinkVersionV3; }
  // The longest row an upload can carry on the protocol in use: the v2 record buffer, or the v3
  // record's 16-bit length less the RS in front.
  uint32_t MaxUploadRow() const;
  uint32_t ProtocolNumber() const { return UseV3() ? 3 : 2; }
  // True (with LastMessage saying so) when the line has wasted nearly all of its recent frames; the
  // measure then starts afresh, so a retry is judged on its own frames.
  bool LineFailing(uint32_t samples = kLineQualityFrames);
  // Runs an exchange; its failure on a line that wastes nearly every frame is the line's, unless
  // the port reported an error meanwhile: a lost device is not a noisy line.
  int32_t LineAware(const std::function<int32_t()>& exchange);
  // Refuses, before anything is sent, a table with a row that cannot go whole or that starts with
  // EOT; the row is named by its number from 1.
  int32_t CheckUploadRows(int32_t kind, RowSource& source);
  int32_t NoPort();
  // The result of a v2 exchange, after taking note of a terminal that turned out to speak v3.
  int32_t V2(int32_t result);
  void Log(const std::string& message, int32_t code = 0);
  // False while no log file is set, so per-row lines are not even formatted.
  bool LogOn();
  std::string V2FailureText(const char* format, int32_t result, uint32_t err);
  // `format` filled with the result and its text; a terminal that restarted the link gets its own.
  std::string V3FailureText(const char* format, int32_t result);
  void LogException(const char* operation);
  // Runs one operation; an exception becomes -5 and the line "(Exception) Исключение в <name>".
  template <typename Body>
  int32_t Guard(const char* operation, Body&& body) {
    try {
      return body();
    } catch (...) {
      LogException(operation);
      return E_EXCEPTION;
    }
  }
  int32_t PlainCommand(const char* code, const std::string& success, const std::string& failure, const char* context,
                       bool append_last_message);
  int32_t ParameterCommand(const char* code, const std::string& parameter, bool flush, const std::string& cmd_failure,
                           const std::string& param_failure, const std::string& flush_failure, const char* context);
  int32_t RefuseKind(int32_t kind, const char* refusal, const char* context);
  // Asks for the terminal's protocol while it is not known yet (a port just opened): every exchange
  // needs it. E_EXCHANGE with LastMessage when the line failed; for a row, also when v2 was only
  // guessed and the terminal still does not answer.
  int32_t SettleProtocolUnlocked(bool for_row = false);
  int32_t TryToSendUnlocked(const uint8_t* data, uint32_t length);
  int32_t TryToSendFinalizeUnlocked();
  int32_t SendCmdUnlocked(const uint8_t* command, uint32_t length);
  int32_t TryToRecvUnlocked(uint8_t* buffer, uint32_t size, int32_t& received);
  // The next v3 record by `deadline`: its length, a transfer failure (< 0; a lost device ends the
  // wait at once with `err` set), or 0 when the deadline passed first.
  int32_t ReceiveRecordUntil(uint32_t deadline, uint8_t* buffer, uint32_t size, uint32_t& err);
  // The answer to `message` (SOH and its code) by `deadline`, on the protocol in use: its length,
  // or what the transport gave (< 1, `err`). Answers left over from earlier exchanges are skipped.
  int32_t ReceiveAnswer(const std::vector<uint8_t>& message, uint32_t deadline, uint8_t* answer, uint32_t size,
                        uint32_t& err);
  void PurgePortUnlocked();
  void ClosePortUnlocked();
  int32_t SyncRemoteVersionUnlocked(uint32_t& err, uint32_t timeout_ms);
  uint32_t CountRows(RowSource& source);
  std::string FailureText(const std::string& text);
  std::string QuotedName(int32_t kind);

  std::recursive_mutex lock_;
  std::string remote_prog_name_;
  std::string remote_prog_version_;
  std::string remote_dev_name_;
  std::string remote_dev_id_;
  std::string port_name_;
  std::string last_message_;
  int32_t connected_ = 0;
  DiagRecord diag_;
  LinkLog log_;
  TsPort* port_ = nullptr;
  uint32_t local_version_ = kLinkVersionV2;
  std::array<uint8_t, kLastFrameSize> last_frame_{};
  uint32_t remote_version_ = 0;
  // v2 was chosen because the version query went unanswered, not because the terminal said so.
  bool version_guessed_ = false;
  const Clock& clock_;
  CLvlStream level_stream_;
  CFrameBuffer frame_buffer_;
  RecordChannel records_;
  PortOpener opener_;
  std::vector<uint8_t> send_scratch_;
  std::vector<uint8_t> row_scratch_;
  // The last TryToRecv failed because the record was longer than the caller's buffer.
  bool recv_too_long_ = false;
  // The commands sent on this connection, to know their late answers.
  AnswerLedger answers_;
};

}  // namespace korvane
