#include "automation/ostrel.h"

#include <olectl.h>

#include <cstdio>
#include <new>
#include <stdexcept>

#include "automation/bstr_text.h"
#include "automation/ostrel_strings.h"
#include "automation/row_adapters.h"
#include "link/link_texts.h"
#include "log/log_time.h"
#include "platform/serial_port_list.h"

namespace korvane::com {

namespace {

constexpr DISPID kDispRowReceived = 1;
constexpr DISPID kDispRowSent = 2;
constexpr uint32_t kDirectReceiveBytes = 8192;
constexpr LONG kNotImplementedResult = -1;
constexpr int32_t kTableOperations = 2;
inline constexpr const char* kPortUsb = "USB";
inline constexpr const char* kPortActiveSync = "ActiveSync";

HRESULT TextOut(const std::string& text, BSTR* out) {
  if (!out) return E_POINTER;
  return AnsiToBstr(text, out);
}

}  // namespace

// Marks a table operation for its length: an event handler that reaches for the link meanwhile
// is refused instead of interleaving its traffic with the table's.
template <class I>
class OstrelObject<I>::TableOperation {
 public:
  explicit TableOperation(bool& flag) : flag_(flag) { flag_ = true; }
  ~TableOperation() { flag_ = false; }
  TableOperation(const TableOperation&) = delete;
  TableOperation& operator=(const TableOperation&) = delete;

 private:
  bool& flag_;
};

template <class I>
OstrelObject<I>::OstrelObject(IUnknown* outer) : ObjectRoot(outer), events_(*this, DIID__IOstrelEvents) {}

template <class I>
void* OstrelObject<I>::InterfaceFor(REFIID iid) {
  if (IsEqualIID(iid, __uuidof(I)) || IsEqualIID(iid, IID_IDispatch)) return static_cast<I*>(this);
  if (IsEqualIID(iid, IID_IConnectionPointContainer)) return static_cast<IConnectionPointContainer*>(this);
  return nullptr;
}

template <class I>
void OstrelObject<I>::FinalRelease() {
  events_.Clear();
  link_.Disconnect();
}

// Runs one link operation whose result goes to nResult.
template <class I>
template <class Op>
HRESULT OstrelObject<I>::Command(LONG* nResult, Op&& op) {
  if (!nResult) return E_POINTER;
  if (in_table_operation_) return kIllegalMethodCall;
  CallGuard hold(Controlling());
  return Boundary([&] {
    *nResult = op();
    return S_OK;
  });
}

// --- properties ------------------------------------------------------------------------------

template <class I>
STDMETHODIMP OstrelObject<I>::get_Port(BSTR* pVal) {
  return Boundary([&] { return TextOut(link_.Port(), pVal); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::put_Port(BSTR newVal) {
  return Boundary([&] {
    std::string name;
    if (const HRESULT hr = BstrToAnsi(newVal, name); FAILED(hr)) return hr;
    link_.SetPort(name);
    return S_OK;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_LibraryRegistrationPath(BSTR* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = nullptr;
  return Boundary([&] {
    std::wstring path = ModulePath();
    if (path.empty()) path = kLibraryFileName;
    *pVal = ::SysAllocStringLen(path.data(), static_cast<UINT>(path.size()));
    return *pVal ? S_OK : E_OUTOFMEMORY;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_LibraryVersion(BSTR* pVal) {
  return Boundary([&] { return TextOut(kLibraryVersion, pVal); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_ProtocolVersion(BSTR* pVal) {
  return Boundary([&] {
    const uint32_t v = link_.LocalVersion();
    char text[32];
    std::snprintf(text, sizeof text, "%u.%2.2u", v / 100, v % 100);
    return TextOut(text, pVal);
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_RemoteProgName(BSTR* pVal) {
  return Boundary([&] { return TextOut(link_.RemoteProgName(), pVal); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_RemoteProgVersion(BSTR* pVal) {
  return Boundary([&] { return TextOut(link_.RemoteProgVersion(), pVal); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_RemoteDevName(BSTR* pVal) {
  return Boundary([&] { return TextOut(link_.RemoteDevName(), pVal); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_RemoteDevID(BSTR* pVal) {
  return Boundary([&] { return TextOut(link_.RemoteDevID(), pVal); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::GetLastDiagMsg(LONG* nErrCode, BSTR* sErrMsg, BSTR* sErrContext) {
  if (!nErrCode || !sErrMsg || !sErrContext) return E_POINTER;
  *sErrMsg = *sErrContext = nullptr;
  return Boundary([&] {
    const DiagRecord diag = link_.GetDiag();
    HRESULT hr = AnsiToBstr(diag.message, sErrMsg);
    if (SUCCEEDED(hr)) hr = AnsiToBstr(diag.context, sErrContext);
    if (FAILED(hr)) {
      ::SysFreeString(*sErrMsg);
      *sErrMsg = nullptr;
      return hr;
    }
    *nErrCode = diag.code;
    return S_OK;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_LastErrorCode(LONG* pVal) {
  if (!pVal) return E_POINTER;
  return Boundary([&] {
    *pVal = link_.GetDiag().code;
    return S_OK;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_LastErrorMsg(BSTR* pVal) {
  return Boundary([&] { return TextOut(link_.GetDiag().message, pVal); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_LastErrorContext(BSTR* pVal) {
  return Boundary([&] { return TextOut(link_.GetDiag().context, pVal); });
}

template <class I>
HRESULT OstrelObject<I>::PortList(Ref<COstrelStrings>& list) {
  if (const HRESULT hr = CreateOwned(list); FAILED(hr)) return hr;
  for (const std::string& name : SerialPortNames()) list->AppendRow(name);
  list->AppendRow(kPortUsb);
  list->AppendRow(kPortActiveSync);
  return S_OK;
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_AvailablePorts(IEnumVARIANT** pVal) {
  if (!pVal) return E_POINTER;
  *pVal = nullptr;
  return Boundary([&] {
    Ref<COstrelStrings> list;
    if (const HRESULT hr = PortList(list); FAILED(hr)) return hr;
    return list->NewEnumerator(pVal);
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::get_AvailablePortsStrings(IOstrelStrings** pVal) {
  if (!pVal) return E_POINTER;
  *pVal = nullptr;
  return Boundary([&] {
    Ref<COstrelStrings> list;
    if (const HRESULT hr = PortList(list); FAILED(hr)) return hr;
    *pVal = list.detach();
    return S_OK;
  });
}

// --- connection and commands -----------------------------------------------------------------

template <class I>
STDMETHODIMP OstrelObject<I>::ConnectTerminal(LONG* nResult) {
  return Command(nResult, [&] { return link_.ConnectTerminal(); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::DisconnectTerminal() {
  if (in_table_operation_) return kIllegalMethodCall;
  CallGuard hold(Controlling());
  return Boundary([&] {
    link_.Disconnect();
    return S_OK;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::GetCurrentID(LONG nTableType, LONG* nCurrentID, LONG* nResult) {
  if (!nCurrentID) return E_POINTER;
  return Command(nResult, [&] {
    int32_t id = 0;  // an [out] value: nothing to read from the caller
    const int32_t r = link_.GetCurrentID(nTableType, id);
    *nCurrentID = id;
    return r;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::CurrentID(LONG nTableType, LONG* pnCurrentID) {
  LONG result = 0;
  if (!pnCurrentID) return E_POINTER;
  return Command(&result, [&] {
    int32_t id = 0;
    const int32_t r = link_.GetCurrentID(nTableType, id);
    *pnCurrentID = r == S_LINK_OK ? id : -1;
    return r;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::RecvPrepare(LONG* nResult) {
  return Command(nResult, [&] { return link_.RecvPrepare(); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::RecvFinal(LONG* nResult) {
  return Command(nResult, [&] {
    link_.ClearDiag();
    return 0;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::Beep(LONG* nResult) {
  return Command(nResult, [&] { return link_.MakeBeep(); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::ClearPrepare(LONG* nResult) {
  return Command(nResult, [&] { return link_.ResetAllFilters(); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::ClearFinal(VARIANT_BOOL bClearJob, LONG* nResult) {
  return Command(nResult, [&] {
    link_.ClearDiag();
    return bClearJob ? link_.SetCurrentID(kTableOperations, 0) : 0;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::ClearTable(LONG nTableType, LONG* nResult) {
  return Command(nResult, [&] { return link_.ClearTable(nTableType); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::SendPrepare(LONG* nResult) {
  return Command(nResult, [&] { return link_.ActivateUploadingTables(); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::SendFinal(LONG nNewOperID, LONG* nResult) {
  return Command(nResult, [&] { return link_.SendFinal(nNewOperID); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::SetCurrentID(LONG nTableType, LONG nNewID, LONG* nResult) {
  return Command(nResult, [&] { return link_.SetCurrentID(nTableType, nNewID); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::ResetAllFilters(LONG* nResult) {
  return Command(nResult, [&] { return link_.ResetAllFilters(); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::SetFilterID(LONG nTableType, LONG nFilterID, LONG* nResult) {
  return Command(nResult, [&] { return link_.SetFilterID(nTableType, nFilterID); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::SetFilterText(LONG nTableType, BSTR bsFilterText, LONG* nResult) {
  std::string text;
  if (const HRESULT hr = BstrToAnsi(bsFilterText, text); FAILED(hr)) return hr;
  return Command(nResult, [&] { return link_.SetFilterText(nTableType, text); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::CloseAllForms(LONG* nResult) {
  return Command(nResult, [&] { return link_.CloseAllForms(); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::Reboot(LONG* nResult) {
  return Command(nResult, [&] { return link_.Reboot(); });
}

// The file transfer members were never built in the terminal program: -1 and nothing else.
template <class I>
STDMETHODIMP OstrelObject<I>::FilesPrepare(LONG, LONG* nResult) {
  return Boundary([&] {
    if (!nResult) return E_POINTER;
    *nResult = kNotImplementedResult;
    return S_OK;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::FileUpload(BSTR, BSTR, BSTR, LONG, LONG* nResult) {
  return FilesPrepare(0, nResult);
}

template <class I>
STDMETHODIMP OstrelObject<I>::FileDownload(BSTR, BSTR, BSTR, LONG, LONG* nResult) {
  return FilesPrepare(0, nResult);
}

template <class I>
STDMETHODIMP OstrelObject<I>::FilesFinal(LONG, LONG* nResult) {
  return FilesPrepare(0, nResult);
}

template <class I>
STDMETHODIMP OstrelObject<I>::InvokeText(BSTR, BSTR, BSTR* psResult) {
  return Boundary([&] { return TextOut("", psResult); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::InvokeObject(BSTR, VARIANT, VARIANT* pvResult) {
  return Boundary([&] {
    if (!pvResult) return E_POINTER;
    ::VariantInit(pvResult);
    return S_OK;
  });
}

// --- direct commands -------------------------------------------------------------------------

// A direct command's result goes to nResult; anything thrown on the way is result -5 with its log
// line, written if memory allows.
template <class I>
template <class Op>
HRESULT OstrelObject<I>::DirectCommand(const char* member, const char* context, Op&& op, LONG* nResult) {
  if (!nResult) return E_POINTER;
  if (in_table_operation_) return kIllegalMethodCall;
  CallGuard hold(Controlling());
  return Boundary([&] {
    try {
      if constexpr (kSecondEdition) link_.ClearDiag();
      const int32_t r = op();
      if (r != 0) link_.SetDiag(r, link_.LastMessage(), context);
      *nResult = r;
    } catch (...) {
      *nResult = E_EXCEPTION;
      Quietly([&] { link_.LogStr(std::string(link_text::kExceptionIn) + member); });
    }
    return S_OK;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::Korvane_SendCmd(BSTR Cmd, LONG* nResult) {
  std::string text;
  if (const HRESULT hr = BstrToAnsi(Cmd, text); FAILED(hr)) return hr;
  return DirectCommand("Korvane_SendCmd", "Прямая команда Korvane_SendCmd", [&] { return link_.SendCmd(text); },
                       nResult);
}

template <class I>
STDMETHODIMP OstrelObject<I>::Korvane_TryToSend(BSTR Line, LONG* nResult) {
  std::string text;
  if (const HRESULT hr = BstrToAnsi(Line, text); FAILED(hr)) return hr;
  return DirectCommand("Korvane_TryToSend", "Прямая команда Korvane_TryToSend", [&] { return link_.TryToSend(text); },
                       nResult);
}

template <class I>
STDMETHODIMP OstrelObject<I>::Korvane_FlushWrite(LONG* nResult) {
  return DirectCommand("Korvane_FlushWrite", "Прямая команда Korvane_FlushWrite", [&] { return link_.FlushSendCache(); },
                       nResult);
}

// One receive into the 8192-byte buffer; the line is empty on failure. Throws on a count the
// link cannot have given.
template <class I>
void OstrelObject<I>::ReceiveLine(std::string& line, LONG& result) {
  std::vector<uint8_t> buffer(kDirectReceiveBytes);
  int32_t count = 0;
  result = direct_receive_ ? direct_receive_(buffer.data(), kDirectReceiveBytes, count)
                           : link_.TryToRecv(buffer.data(), kDirectReceiveBytes, count);
  line.clear();
  if (result != 0) return;
  if (count == -1) {
    size_t n = 0;
    while (n < buffer.size() && buffer[n] != 0) ++n;
    line.assign(reinterpret_cast<const char*>(buffer.data()), n);
  } else if (count >= 0 && static_cast<uint32_t>(count) <= kDirectReceiveBytes) {
    line.assign(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(count));
  } else {
    throw std::out_of_range("received count");
  }
}

template <class I>
STDMETHODIMP OstrelObject<I>::Korvane_TryToRecv(BSTR* LineReceived, LONG* nResult) {
  if (!LineReceived) return E_POINTER;
  *LineReceived = nullptr;
  std::string line;
  HRESULT hr = DirectCommand(
      "Korvane_TryToRecv", "Прямая команда Korvane_TryToRecv",
      [&] {
        LONG r = 0;
        ReceiveLine(line, r);
        return static_cast<int32_t>(r);
      },
      nResult);
  if (hr != S_OK || *nResult == E_EXCEPTION) return hr;
  return AnsiToBstr(line, LineReceived);
}

template <class I>
STDMETHODIMP OstrelObject<I>::Korvane_TryToRecvLine(BSTR* pLineReceived) {
  if (!pLineReceived) return E_POINTER;
  *pLineReceived = nullptr;
  if (in_table_operation_) return kIllegalMethodCall;
  CallGuard hold(Controlling());
  static constexpr const char* kContext = "Прямая команда Korvane_TryToRecvLine";
  return Boundary([&] {
    std::string line;
    try {
      link_.ClearDiag();
      LONG r = 0;
      ReceiveLine(line, r);
      if (r != 0) link_.SetDiag(r, link_.LastMessage(), kContext);
    } catch (...) {
      line.clear();
      Quietly([&] { link_.LogStr(std::string(link_text::kExceptionIn) + "Korvane_TryToRecvLine"); });
      Quietly([&] { link_.SetDiag(E_EXCEPTION, link_.LastMessage(), kContext); });
    }
    return AnsiToBstr(line, pLineReceived);
  });
}

// --- tables ----------------------------------------------------------------------------------

template <class I>
HRESULT OstrelObject<I>::Download(LONG kind, Ref<COstrelStrings>& rows, LONG* nResult) {
  if (in_table_operation_) return kIllegalMethodCall;
  CallGuard hold(Controlling());
  return Boundary([&] {
    if (const HRESULT hr = CreateOwned(rows); FAILED(hr)) return hr;
    CollectionRowSink sink(*rows.get());
    TableOperation running(in_table_operation_);
    *nResult = link_.RecvTable(kind, sink, this);
    return S_OK;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::RecvTable(LONG nTableType, IEnumVARIANT** pTable, LONG* nResult) {
  if (!pTable || !nResult) return E_POINTER;
  *pTable = nullptr;
  return Boundary([&] {
    Ref<COstrelStrings> rows;
    if (const HRESULT hr = Download(nTableType, rows, nResult); FAILED(hr)) return hr;
    return rows->NewEnumerator(pTable);
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::RecvTableAsStrings(LONG nTableType, IOstrelStrings** ppTable) {
  if (!ppTable) return E_POINTER;
  *ppTable = nullptr;
  return Boundary([&] {
    Ref<COstrelStrings> rows;
    LONG dropped = 0;
    if (const HRESULT hr = Download(nTableType, rows, &dropped); FAILED(hr)) return hr;
    *ppTable = rows.detach();
    return S_OK;
  });
}

template <class I>
HRESULT OstrelObject<I>::Upload(LONG kind, IEnumVARIANT* rows, LONG count, LONG* nResult) {
  if (!rows || !nResult) return E_POINTER;
  if (in_table_operation_) return kIllegalMethodCall;
  CallGuard hold(Controlling());
  return Boundary([&] {
    EnumVariantRowSource source(rows);
    TableOperation running(in_table_operation_);
    *nResult = link_.SendTable(kind, source, this, count);
    return S_OK;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::SendTable(LONG nTableType, IEnumVARIANT* pTableEnumerator, LONG* nResult) {
  return Upload(nTableType, pTableEnumerator, -1, nResult);
}

template <class I>
STDMETHODIMP OstrelObject<I>::SendTable2(LONG nTableType, IEnumVARIANT* pTableEnumerator, LONG* nResult) {
  return Upload(nTableType, pTableEnumerator, -1, nResult);
}

template <class I>
STDMETHODIMP OstrelObject<I>::SendTable_obsolete(LONG, IEnumVARIANT*, LONG* nResult) {
  return Boundary([&] {
    if (nResult) *nResult = kNotImplementedResult;
    return E_NOTIMPL;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::SendTableAsStrings(LONG nTableType, IOstrelStrings* pTableStrings, LONG* pnResult) {
  if (!pTableStrings || !pnResult) return E_POINTER;
  return Boundary([&] {
    Ref<IEnumVARIANT> rows;
    if (pTableStrings->get_Enumerator(rows.put()) != S_OK || !rows) return E_INVALIDARG;
    LONG count = 0;
    if (pTableStrings->get_Count(&count) != S_OK) return E_INVALIDARG;
    return Upload(nTableType, rows.get(), count, pnResult);
  });
}

// --- CSV files -------------------------------------------------------------------------------

template <class I>
HRESULT OstrelObject<I>::SaveCsv(BSTR file, IEnumVARIANT* rows, VARIANT_BOOL append) {
  if (in_table_operation_) return kIllegalMethodCall;
  CallGuard hold(Controlling());
  return Boundary([&] {
    std::string name;
    if (const HRESULT hr = BstrToAnsi(file, name); FAILED(hr)) return hr;
    EnumVariantRowSource source(rows);
    link_.SaveCSV(name, source, append != VARIANT_FALSE);
    return S_OK;
  });
}

template <class I>
HRESULT OstrelObject<I>::ReadCsv(BSTR file, Ref<COstrelStrings>& rows) {
  if (in_table_operation_) return kIllegalMethodCall;
  CallGuard hold(Controlling());
  return Boundary([&] {
    std::string name;
    if (const HRESULT hr = BstrToAnsi(file, name); FAILED(hr)) return hr;
    if (const HRESULT hr = CreateOwned(rows); FAILED(hr)) return hr;
    CollectionRowSink sink(*rows.get());
    link_.ReadCSV(name, sink);
    return S_OK;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::SaveCSVEnum(BSTR sFilename, IEnumVARIANT* pEnum, VARIANT_BOOL bAppend) {
  if (!pEnum) return E_POINTER;
  return SaveCsv(sFilename, pEnum, bAppend);
}

template <class I>
STDMETHODIMP OstrelObject<I>::SaveCSVStrings(BSTR sFilename, IOstrelStrings* pStrings, VARIANT_BOOL bAppend) {
  if (!pStrings) return E_POINTER;
  return Boundary([&] {
    Ref<IUnknown> unknown;
    Ref<IEnumVARIANT> rows;
    if (FAILED(pStrings->get__NewEnum(unknown.put())) || !unknown ||
        FAILED(unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(rows.put()))))
      return E_INVALIDARG;
    return SaveCsv(sFilename, rows.get(), bAppend);
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::ReadCSVEnum(BSTR sFilename, IEnumVARIANT** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  return Boundary([&] {
    Ref<COstrelStrings> rows;
    if (const HRESULT hr = ReadCsv(sFilename, rows); FAILED(hr)) return hr;
    return rows->NewEnumerator(ppEnum);
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::ReadCSVStrings(BSTR sFilename, IOstrelStrings** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  return Boundary([&] {
    Ref<COstrelStrings> rows;
    if (const HRESULT hr = ReadCsv(sFilename, rows); FAILED(hr)) return hr;
    *ppEnum = rows.detach();
    return S_OK;
  });
}

// --- logs ------------------------------------------------------------------------------------

template <class I>
STDMETHODIMP OstrelObject<I>::SetupLogfile(BSTR bsFilename, LONG nParam) {
  return Boundary([&] {
    std::string name;
    if (const HRESULT hr = BstrToAnsi(bsFilename, name); FAILED(hr)) return hr;
    link_.SetupLogfile(name, nParam);
    return S_OK;
  });
}

template <class I>
STDMETHODIMP OstrelObject<I>::LogStr(BSTR bsLogString, LONG) {
  return Boundary([&] {
    std::string text;
    if (const HRESULT hr = BstrToAnsi(bsLogString, text); FAILED(hr)) return hr;
    link_.LogStr(text);
    return S_OK;
  });
}

// --- events ----------------------------------------------------------------------------------

template <class I>
STDMETHODIMP OstrelObject<I>::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  return Boundary([&] { return NewConnectionPointEnum(&events_, ppEnum); });
}

template <class I>
STDMETHODIMP OstrelObject<I>::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  return Boundary([&] { return events_.Find(riid, ppCP); });
}

template <class I>
void OstrelObject<I>::FireProgress(DISPID id, long done, long total) {
  VARIANTARG args[2];
  ::VariantInit(&args[0]);
  ::VariantInit(&args[1]);
  V_VT(&args[0]) = VT_I4;
  V_I4(&args[0]) = total;
  V_VT(&args[1]) = VT_I4;
  V_I4(&args[1]) = done;
  events_.Fire(id, args, 2);
}

template <class I>
void OstrelObject<I>::RowReceived(long nReceived, long nCount) {
  FireProgress(kDispRowReceived, nReceived, nCount);
}

template <class I>
void OstrelObject<I>::RowSent(long nSent, long nCount) {
  FireProgress(kDispRowSent, nSent, nCount);
}

template class OstrelObject<IOstrel>;
template class OstrelObject<IOstrel2>;

}  // namespace korvane::com
