// Connecting, readiness, and tables row by row in both directions.
#include <cstring>

#include "link/link_texts.h"
#include "link/terminal_link.h"
#include "log/log_time.h"

namespace korvane {

using namespace link_text;

namespace {
// Steps of counting an enumerator that only moves forward.
constexpr uint32_t kCountSteps[] = {10000, 1000, 100, 10, 1};
const std::string kEndMarker(1, static_cast<char>(kEOT));

// A table's rows leave in batches for the time of its upload, and a batch does not wait for the
// window to reopen before the next one is read; a row sent on its own still meets a lost line at
// once.
class SendBatching {
 public:
  SendBatching(RecordChannel& records, CFrameBuffer& frames) : records_(records), frames_(frames) {
    records_.SetSendBatch(kLinkSendBatch);
    frames_.SetStreaming(true);
  }
  ~SendBatching() {
    records_.SetSendBatch(0);
    frames_.SetStreaming(false);
  }
  SendBatching(const SendBatching&) = delete;
  SendBatching& operator=(const SendBatching&) = delete;

 private:
  RecordChannel& records_;
  CFrameBuffer& frames_;
};
}  // namespace

int32_t TerminalLink::ConnectTerminal() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("ConnectTerminal", [&]() -> int32_t {
    // A port closed meanwhile, or one whose device failed (lost, perhaps back by now), is opened
    // afresh: reused, it would fail every connect until a disconnect.
    const bool port_usable = port_ != nullptr && port_->port != nullptr && port_->port->errors == 0;
    if (connected_ == 0 || !port_usable) {
      if (OpenPort() < 0) {
        return SetDiag(E_PORT_OPEN, kOpenPortFailed + port_name_ + kSeparator + last_message_, kCtxConnect);
      }
    }
    int32_t r = IsTerminalOnline(kConnectCheckTimeoutMs);
    if (r != S_LINK_OK) return r;
    r = SyncDateTime();
    if (r != S_LINK_OK) return r;
    connected_ = 1;
    r = QuerySoftwareInfo();
    if (r != S_LINK_OK) return r;
    r = QueryHardwareInfo();
    if (r != S_LINK_OK) return r;
    const std::string text = kConnectedText + remote_dev_name_ + kConnectedDeviceId + remote_dev_id_ +
                             kConnectedProgram + remote_prog_name_ + kConnectedVersion + remote_prog_version_ +
                             kConnectedPort + port_name_;
    return SetDiag(S_CONNECTED, text, kCtxConnect);
  });
}

int32_t TerminalLink::RecvPrepare() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("RecvPrepare", [&]() -> int32_t {
    int32_t id = 0;
    int32_t r = GetCurrentID(kTableOperations, id);
    if (r != S_LINK_OK) return r;
    if (id == 0) return SetDiag(E_NO_JOB, kNoJob, kCtxPrepareUnloadData);
    int32_t state = 0;
    std::string text;
    r = IsReadyToCommunicate(state, text);
    if (r != S_LINK_OK) return r;
    if (state != 1) {
      SetLastMessage(StrFormat(kNotReadyCode, state), 0);
      return SetDiag(E_NOT_READY, kNotReady + text, kCtxPrepareUnloadData);
    }
    r = EnableRecvMode();
    if (r != S_LINK_OK) return r;
    return ResetAllFilters();
  });
}

int32_t TerminalLink::RecvFinal() {
  ClearDiag();
  return S_LINK_OK;
}

int32_t TerminalLink::ClearPrepare() { return ResetAllFilters(); }

int32_t TerminalLink::ClearFinal(bool clear_job) {
  ClearDiag();
  if (!clear_job) return S_LINK_OK;
  return SetCurrentID(kTableOperations, 0);
}

int32_t TerminalLink::LineDownload(int32_t kind, std::string& row) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("LineDownload", [&]() -> int32_t {
    row_scratch_.resize(kRowBufferSize);
    int32_t received = 0;
    const int32_t r = TryToRecv(row_scratch_.data(), kRowBufferSize, received);
    if (r != S_LINK_OK) return SetDiag(r, FailureText(kRowRecvFailed + QuotedName(kind)), kCtxUnloadTable);
    row.assign(reinterpret_cast<const char*>(row_scratch_.data()), static_cast<size_t>(received));
    if (LogOn()) {
      if (!row.empty() && static_cast<uint8_t>(row[0]) == kEOT) {
        Log(StrFormat(kRowEotLog, TableKindName(kind)), 0);
      } else {
        Log(StrFormat(kRowLog, TableKindName(kind), row.c_str()), 0);
      }
    }
    return S_LINK_OK;
  });
}

int32_t TerminalLink::RecvTable(int32_t kind, RowSink& rows, _CAbsRecvSendEvents* events) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("RecvTable", [&]() -> int32_t {
    int32_t expected = 0;
    int32_t r = GetLinesCount(kind, expected);
    if (r != S_LINK_OK) return r;
    if (expected == 0 && HasLinesCount(kind)) return SetDiag(E_NO_DATA, kNoRows, kCtxUnloadData);
    r = StartDownload(kind);
    if (r != S_LINK_OK) return r;
    int32_t received = 0;
    std::string row;
    for (;;) {
      r = LineDownload(kind, row);
      if (r != S_LINK_OK) {
        if (recv_too_long_) {
          SetDiag(r,
                  StrFormat(kRowTooLongToReceive, static_cast<unsigned>(received) + 1, TableKindName(kind),
                            kMaxDownloadRow),
                  kCtxUnloadTable);
        }
        std::string report = StrFormat(kTableRecvFailed, static_cast<unsigned>(expected), static_cast<unsigned>(received));
        rows.ForEachHeld([&](std::string_view held) {
          report.append(held);
          report += "\n";
        });
        report += kTableRecvFailedEnd;
        Log(report, 0);
        return r;
      }
      if (!row.empty() && static_cast<uint8_t>(row[0]) == kEOT) {
        if (expected == 0 || received == expected) return S_LINK_OK;
        break;
      }
      if (row.empty()) break;
      rows.Append(row);
      ++received;
      if (events != nullptr) events->RowReceived(received, expected);
    }
    return SetDiag(E_EXCHANGE,
                   StrFormat(kUnloadInterrupted, static_cast<unsigned>(expected), static_cast<unsigned>(received)),
                   kCtxUnloadData);
  });
}

uint32_t TerminalLink::CountRows(RowSource& source) {
  source.Reset();
  uint32_t total = 0;
  bool first = true;
  for (uint32_t step : kCountSteps) {
    if (!first) {
      source.Reset();
      source.Skip(total);
    }
    first = false;
    while (source.Skip(step)) total += step;
  }
  return total;
}

int32_t TerminalLink::LineUpload(int32_t kind, const std::string& row) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("LineUpload", [&]() -> int32_t {
    const int32_t r = TryToSend(row);
    if (r != S_LINK_OK) return SetDiag(r, FailureText(kRowSendFailed + QuotedName(kind)), kCtxLoadTable);
    if (LogOn()) {
      if (row == kEndMarker) {
        Log(StrFormat(kRowEotLog, TableKindName(kind)), 0);
      } else {
        Log(StrFormat(kRowLog, TableKindName(kind), row.c_str()), 0);
      }
    }
    return S_LINK_OK;
  });
}

int32_t TerminalLink::SendTable(int32_t kind, RowSource& source, _CAbsRecvSendEvents* events, int32_t count) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("SendTable", [&]() -> int32_t {
    source.Reset();
    if (count == -1) count = static_cast<int32_t>(CountRows(source));
    // A kind the terminal refuses is reported as such, whatever its rows hold.
    int32_t r = UploadCommand(kind) != nullptr && port_ != nullptr ? CheckUploadRows(kind, source) : S_LINK_OK;
    if (r != S_LINK_OK) return r;
    r = StartUploading(kind);
    if (r != S_LINK_OK) return r;
    source.Reset();
    const SendBatching batching(records_, frame_buffer_);
    uint32_t sent = 0;
    std::string row;
    for (;;) {
      const RowSource::Fetch fetch = source.Next(row);
      if (fetch == RowSource::Fetch::kEnd) break;
      if (fetch == RowSource::Fetch::kNotText) {
        return SetDiag(E_BAD_REQUEST, StrFormat(kRowNotText, sent, TableKindName(kind)), kCtxLoadTable);
      }
      ++sent;
      r = LineUpload(kind, row);
      if (r != S_LINK_OK) return r;
      if (events != nullptr) events->RowSent(static_cast<long>(sent), count);
    }
    r = LineUpload(kind, kEndMarker);
    if (r != S_LINK_OK) return r;
    r = FlushSendCache();
    if (r != S_LINK_OK) return SetDiag(r, FailureText(kUploadFlushFailed + QuotedName(kind)), kCtxLoadTable);
    return S_LINK_OK;
  });
}

int32_t TerminalLink::CheckUploadRows(int32_t kind, RowSource& source) {
  source.Reset();
  const uint32_t limit = MaxUploadRow();
  uint32_t number = 0;
  std::string row;
  // An element without a text form is left to the send, which reports it as it always has.
  while (source.Next(row) == RowSource::Fetch::kRow) {
    ++number;
    if (row.size() > limit) {
      return SetDiag(E_BAD_REQUEST,
                     StrFormat(kRowTooLongToLoad, number, TableKindName(kind), static_cast<unsigned>(row.size()),
                               ProtocolNumber(), limit),
                     kCtxLoadTable);
    }
    if (!row.empty() && static_cast<uint8_t>(row[0]) == kEOT) {
      return SetDiag(E_BAD_REQUEST, StrFormat(kRowStartsWithEot, number, TableKindName(kind)), kCtxLoadTable);
    }
  }
  source.Reset();
  return S_LINK_OK;
}

int32_t TerminalLink::SendFinal(int32_t new_operation_id) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("SendFinal", [&]() -> int32_t {
    if (new_operation_id < 0) return SetDiag(E_BAD_REQUEST, kNegativeOperationId, kCtxProcessUploaded);
    const int32_t r = ActivateParsingUploadedTables();
    if (r != S_LINK_OK) return r;
    if (new_operation_id > 0) return SetCurrentID(kTableOperations, new_operation_id);
    return S_LINK_OK;
  });
}

}  // namespace korvane
