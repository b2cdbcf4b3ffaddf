// The terminal's command catalogue on top of SendCmd / TryToSend / TryToRecv.
#include <cstdlib>
#include <cstring>

#include "link/link_texts.h"
#include "link/terminal_link.h"
#include "log/log_time.h"
#include "platform/local_time.h"

namespace korvane {

using namespace link_text;

namespace {

int32_t DecimalField(const std::string& field) {
  return static_cast<int32_t>(std::strtol(field.c_str(), nullptr, 10));
}

std::string FieldOr(const std::vector<std::string>& fields, size_t index, const char* fallback) {
  return index < fields.size() ? fields[index] : std::string(fallback);
}

constexpr const char* kDateTimeFormat = "%04u%02u%02u%02u%02u%02u";

}  // namespace

std::string TerminalLink::FailureText(const std::string& text) { return text + kSeparator + LastMessage(); }

std::string TerminalLink::QuotedName(int32_t kind) { return std::string("\"") + TableKindName(kind) + "\""; }

int32_t TerminalLink::RefuseKind(int32_t kind, const char* refusal, const char* context) {
  return SetDiag(E_BAD_REQUEST, kTablePrefix + QuotedName(kind) + refusal, context);
}

int32_t TerminalLink::PlainCommand(const char* code, const std::string& success, const std::string& failure,
                                   const char* context, bool append_last_message) {
  const int32_t r = SendCmd(code);
  if (r != S_LINK_OK) return SetDiag(r, append_last_message ? FailureText(failure) : failure, context);
  Log(success, 0);
  return S_LINK_OK;
}

int32_t TerminalLink::ParameterCommand(const char* code, const std::string& parameter, bool flush,
                                       const std::string& cmd_failure, const std::string& param_failure,
                                       const std::string& flush_failure, const char* context) {
  int32_t r = SendCmd(code);
  if (r != S_LINK_OK) return SetDiag(r, FailureText(cmd_failure), context);
  r = TryToSend(parameter);
  if (r != S_LINK_OK) return SetDiag(r, FailureText(param_failure), context);
  if (flush) {
    r = FlushSendCache();
    if (r != S_LINK_OK) return SetDiag(r, FailureText(flush_failure), context);
  }
  return S_LINK_OK;
}

int32_t TerminalLink::GetPropByCmd(const std::string& command, std::vector<std::string>& fields) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("GetPropByCmd", [&]() -> int32_t {
    fields.clear();
    int32_t r = SendCmd(command);
    if (r != S_LINK_OK) return r;
    uint8_t buffer[kPropertyBufferSize];
    int32_t received = 0;
    r = TryToRecv(buffer, sizeof(buffer), received);
    if (r != S_LINK_OK) return r;
    fields = SplitAnswerFields(reinterpret_cast<const char*>(buffer), static_cast<size_t>(received));
    return S_LINK_OK;
  });
}

int32_t TerminalLink::SyncDateTime() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("SyncDateTime", [&]() -> int32_t {
    const LocalTime t = CurrentLocalTime();
    const std::string stamp = StrFormat(kDateTimeFormat, t.year, t.month, t.day, t.hour, t.minute, t.second);
    const int32_t r = ParameterCommand(kCmdSyncDateTime, stamp, false, kSyncDateTimeFailed, kSyncDateTimeFailed,
                                       kSyncDateTimeFailed, kCtxConnect);
    if (r != S_LINK_OK) return r;
    Log(kSyncDateTimeOk, 0);
    return S_LINK_OK;
  });
}

int32_t TerminalLink::IsReadyToCommunicate(int32_t& state, std::string& text) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("IsReadyToCommunicate", [&]() -> int32_t {
    std::vector<std::string> fields;
    const int32_t r = GetPropByCmd(kCmdIsReady, fields);
    if (r != S_LINK_OK) return SetDiag(r, FailureText(kReadinessFailed), kCtxReadiness);
    state = fields.empty() ? 0 : DecimalField(fields[0]);
    text = FieldOr(fields, 1, "");
    return S_LINK_OK;
  });
}

int32_t TerminalLink::EnableRecvMode() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("EnableRecvMode", [&]() {
    return PlainCommand(kCmdEnableRecvMode, kRecvModeOk, kRecvModeFailed, kCtxPrepareUnload, true);
  });
}

int32_t TerminalLink::ResetAllFilters() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("ResetAllFilters", [&]() {
    return PlainCommand(kCmdResetAllFilters, kFiltersResetOk, kFiltersResetFailed, kCtxFilters, true);
  });
}

int32_t TerminalLink::GetLinesCount(int32_t kind, int32_t& count) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("GetLinesCount", [&]() -> int32_t {
    if (kind == kTableService) return S_LINK_OK;  // the service table announces no count
    if (!HasLinesCount(kind)) return RefuseKind(kind, kRefuseUnload, kCtxTableParams);
    std::vector<std::string> fields;
    const int32_t r = GetPropByCmd(kCmdGetLinesCount, fields);
    if (r != S_LINK_OK) return SetDiag(r, FailureText(kLinesCountFailed + QuotedName(kind)), kCtxTableParams);
    if (!fields.empty()) count = DecimalField(fields[0]);
    Log(StrFormat(kLinesCountOk, TableKindName(kind), count), 0);
    return S_LINK_OK;
  });
}

int32_t TerminalLink::StartDownload(int32_t kind) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("StartDownload", [&]() -> int32_t {
    const char* code = DownloadCommand(kind);
    if (code == nullptr) return RefuseKind(kind, kRefuseUnload, kCtxUnloadTable);
    return PlainCommand(code, StrFormat(kDownloadStartOk, TableKindName(kind), code),
                        kDownloadStartFailed + QuotedName(kind), kCtxUnloadTable, true);
  });
}

int32_t TerminalLink::MakeBeep() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("MakeBeep", [&]() { return PlainCommand(kCmdBeep, kBeepOk, kBeepFailed, kCtxBeep, false); });
}

int32_t TerminalLink::ClearTable(int32_t kind) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("ClearTable", [&]() -> int32_t {
    const char* code = ClearTableCommand(kind);
    if (code == nullptr) return RefuseKind(kind, kRefuseClear, kCtxClearTable);
    return PlainCommand(code, kClearTableOk + std::string(TableKindName(kind)), kClearTableFailed + QuotedName(kind),
                        kCtxClearTable, true);
  });
}

int32_t TerminalLink::SetCurrentID(int32_t kind, int32_t id) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("SetCurrentID", [&]() -> int32_t {
    if (id < -1) return SetDiag(E_BAD_REQUEST, kSetIdCmdFailed + QuotedName(kind) + kSetIdBadId, kCtxSetCurrentId);
    const char* code = SetCurrentIdCommand(kind);
    if (code == nullptr) return RefuseKind(kind, kRefuseSetId, kCtxSetCurrentId);
    const int32_t r = ParameterCommand(code, StrFormat("%i", id), true, kSetIdCmdFailed + QuotedName(kind),
                                       kSetIdParamFailed + QuotedName(kind), kSetIdFlushFailed + QuotedName(kind),
                                       kCtxSetCurrentId);
    if (r != S_LINK_OK) return r;
    Log(StrFormat(kSetIdOk, TableKindName(kind), id), 0);
    return S_LINK_OK;
  });
}

int32_t TerminalLink::GetCurrentID(int32_t kind, int32_t& id) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("GetCurrentID", [&]() -> int32_t {
    const char* code = GetCurrentIdCommand(kind);
    if (code == nullptr) return RefuseKind(kind, kRefuseGetId, kCtxGetCurrentId);
    std::vector<std::string> fields;
    const int32_t r = GetPropByCmd(code, fields);
    if (r != S_LINK_OK) return SetDiag(r, FailureText(kGetIdFailed + QuotedName(kind)), kCtxGetCurrentId);
    if (!fields.empty()) id = DecimalField(fields[0]);
    Log(StrFormat(kGetIdOk, TableKindName(kind), id), 0);
    return S_LINK_OK;
  });
}

int32_t TerminalLink::ActivateUploadingTables() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("ActivateUploadingTables", [&]() {
    return PlainCommand(kCmdActivateUploading, kLoadingModeOk, kLoadingModeFailed, kCtxEnableLoading, true);
  });
}

int32_t TerminalLink::StartUploading(int32_t kind) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("StartUploading", [&]() -> int32_t {
    const char* code = UploadCommand(kind);
    if (code == nullptr) return RefuseKind(kind, kRefuseUpload, kCtxLoadTable);
    return PlainCommand(code, StrFormat(kUploadStartOk, TableKindName(kind), code),
                        kUploadStartFailed + QuotedName(kind), kCtxLoadTable, true);
  });
}

int32_t TerminalLink::ActivateParsingUploadedTables() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("ActivateParsingUploadedTables", [&]() -> int32_t {
    int32_t r = SendCmd(kCmdParseUploaded);
    if (r != S_LINK_OK) return SetDiag(r, FailureText(kParseCmdFailed), kCtxTerminalProcessing);
    Log(kParseStarted, 0);
    std::vector<uint8_t> buffer(kRowBufferSize);
    int32_t received = 0;
    do {
      r = TryToRecv(buffer.data(), kRowBufferSize, received);
      if (r != S_LINK_OK) return SetDiag(r, FailureText(kParseWaitFailed), kCtxTerminalProcessing);
    } while (received < 1);
    const std::string record(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(received));
    const std::vector<std::string> fields = SplitAnswerFields(record.data(), record.size());
    const std::string tag = FieldOr(fields, 0, "");
    const int32_t result = fields.size() > 1 ? DecimalField(fields[1]) : 0;
    const std::string error_text = FieldOr(fields, 2, "");
    if (tag == kVerdictTag && result >= 0 && error_text.empty()) {
      Log(kParseDone, 0);
      return S_LINK_OK;
    }
    Log(kTerminalError + record, 0);
    const char* prefix = tag == kVerdictTag ? kParseFailed : kParseWrongTag;
    return SetDiag(E_TERMINAL_PROCESSING, prefix + ("\"" + record + "\"."), kCtxTerminalProcessing);
  });
}

int32_t TerminalLink::SetFilterID(int32_t kind, int32_t id) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("SetFilterID", [&]() -> int32_t {
    if (id < 0) return SetDiag(E_BAD_REQUEST, kFilterIdFailed + QuotedName(kind) + kFilterIdNegative, kCtxFilterId);
    const char* code = SetFilterIdCommand(kind);
    if (code == nullptr) return RefuseKind(kind, kRefuseFilterId, kCtxFilterId);
    const std::string failure = kFilterIdFailed + QuotedName(kind);
    const int32_t r =
        ParameterCommand(code, StrFormat("%u", static_cast<unsigned>(id)), true, failure, failure, failure, kCtxFilterId);
    if (r != S_LINK_OK) return r;
    Log(StrFormat(kFilterIdOk, TableKindName(kind), static_cast<unsigned>(id)), 0);
    return S_LINK_OK;
  });
}

int32_t TerminalLink::SetFilterText(int32_t kind, const std::string& text) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("SetFilterText", [&]() -> int32_t {
    if (text.empty()) {
      return SetDiag(E_BAD_REQUEST, kFilterTextEmptyPrefix + QuotedName(kind) + kFilterTextEmpty, kCtxFilterText);
    }
    const char* code = SetFilterTextCommand(kind);
    if (code == nullptr) return RefuseKind(kind, kRefuseFilterText, kCtxFilterText);
    const std::string failure = kFilterTextFailed + QuotedName(kind);
    const int32_t r = ParameterCommand(code, text, true, failure, failure, failure, kCtxFilterText);
    if (r != S_LINK_OK) return r;
    Log(StrFormat(kFilterTextOk, TableKindName(kind), text.c_str()), 0);
    return S_LINK_OK;
  });
}

int32_t TerminalLink::CloseAllForms() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("CloseAllForms", [&]() {
    return PlainCommand(kCmdCloseAllForms, kCloseFormsOk, kCloseFormsFailed, kCtxMainForm, true);
  });
}

int32_t TerminalLink::Reboot() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("Reboot", [&]() { return PlainCommand(kCmdReboot, kRebootOk, kRebootFailed, kCtxReboot, true); });
}

int32_t TerminalLink::QuerySoftwareInfo() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("QuerySoftwareInfo", [&]() -> int32_t {
    std::vector<std::string> fields;
    const int32_t r = GetPropByCmd(kCmdSoftwareInfo, fields);
    if (r != S_LINK_OK) return SetDiag(r, FailureText(kSoftwareFailed), kCtxConnect);
    if (fields.size() > 0) remote_prog_name_ = fields[0];
    if (fields.size() > 1) remote_prog_version_ = fields[1];
    Log(StrFormat(kSoftwareOk, FieldOr(fields, 0, kUnknown).c_str(), FieldOr(fields, 1, kUnknown).c_str()), 0);
    return S_LINK_OK;
  });
}

int32_t TerminalLink::QueryHardwareInfo() {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("QueryHardwareInfo", [&]() -> int32_t {
    std::vector<std::string> fields;
    const int32_t r = GetPropByCmd(kCmdHardwareInfo, fields);
    if (r != S_LINK_OK) return SetDiag(r, FailureText(kHardwareFailed), kCtxConnect);
    if (fields.size() > 0) remote_dev_name_ = fields[0];
    if (fields.size() > 1) remote_dev_id_ = fields[1];
    Log(StrFormat(kHardwareOk, FieldOr(fields, 0, kUnknown).c_str(), FieldOr(fields, 1, kUnknown).c_str()), 0);
    return S_LINK_OK;
  });
}

}  // namespace korvane
