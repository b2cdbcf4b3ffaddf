// The terminal objects applications create: Ostrel (IOstrel) and Ostrel2 (IOstrel2). One
// implementation serves both; the second edition clears the diagnostic record before a direct
// command and has the members added after the first.
#pragma once
#include <functional>
#include <type_traits>

#include "automation/com_object.h"
#include "automation/connection_point.h"
#include "automation/korvane_idl.h"
#include "automation/ostrel_strings.h"
#include "link/terminal_link.h"

namespace korvane::com {

// A call the object cannot take now: an event handler used the link during a table operation.
constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000EL);

inline constexpr const char* kLibraryVersion = "4.2.2.0";
inline constexpr const wchar_t* kLibraryFileName = L"korvane.dll";

template <class I>
class OstrelObject final : public ObjectRoot,
                           public DispatchImpl<I>,
                           public IConnectionPointContainer,
                           public _CAbsRecvSendEvents {
  static constexpr bool kSecondEdition = std::is_same_v<I, IOstrel2>;

 public:
  explicit OstrelObject(IUnknown* outer);
  HRESULT Initialize() { return S_OK; }
  KORVANE_DELEGATE_IUNKNOWN

  // Members of both interfaces.
  STDMETHODIMP get_Port(BSTR* pVal) override;
  STDMETHODIMP put_Port(BSTR newVal) override;
  STDMETHODIMP ConnectTerminal(LONG* nResult) override;
  STDMETHODIMP DisconnectTerminal() override;
  STDMETHODIMP get_LibraryRegistrationPath(BSTR* pVal) override;
  STDMETHODIMP get_LibraryVersion(BSTR* pVal) override;
  STDMETHODIMP get_ProtocolVersion(BSTR* pVal) override;
  STDMETHODIMP get_RemoteProgName(BSTR* pVal) override;
  STDMETHODIMP get_RemoteProgVersion(BSTR* pVal) override;
  STDMETHODIMP get_RemoteDevName(BSTR* pVal) override;
  STDMETHODIMP get_RemoteDevID(BSTR* pVal) override;
  STDMETHODIMP GetLastDiagMsg(LONG* nErrCode, BSTR* sErrMsg, BSTR* sErrContext) override;
  STDMETHODIMP get_AvailablePorts(IEnumVARIANT** pVal) override;
  STDMETHODIMP GetCurrentID(LONG nTableType, LONG* nCurrentID, LONG* nResult) override;
  STDMETHODIMP RecvPrepare(LONG* nResult) override;
  STDMETHODIMP RecvFinal(LONG* nResult) override;
  STDMETHODIMP RecvTable(LONG nTableType, IEnumVARIANT** pTable, LONG* nResult) override;
  STDMETHODIMP Beep(LONG* nResult) override;
  STDMETHODIMP ClearPrepare(LONG* nResult) override;
  STDMETHODIMP ClearFinal(VARIANT_BOOL bClearJob, LONG* nResult) override;
  STDMETHODIMP ClearTable(LONG nTableType, LONG* nResult) override;
  STDMETHODIMP SendPrepare(LONG* nResult) override;
  STDMETHODIMP SendFinal(LONG nNewOperID, LONG* nResult) override;
  STDMETHODIMP SetCurrentID(LONG nTableType, LONG nNewID, LONG* nResult) override;
  STDMETHODIMP ResetAllFilters(LONG* nResult) override;
  STDMETHODIMP SetFilterID(LONG nTableType, LONG nFilterID, LONG* nResult) override;
  STDMETHODIMP SetFilterText(LONG nTableType, BSTR bsFilterText, LONG* nResult) override;
  STDMETHODIMP CloseAllForms(LONG* nResult) override;
  STDMETHODIMP Reboot(LONG* nResult) override;
  STDMETHODIMP FilesPrepare(LONG nPrepareFlags, LONG* nResult) override;
  STDMETHODIMP FileUpload(BSTR LocalFilename, BSTR RemoteFilename, BSTR Params, LONG nFlags, LONG* nResult) override;
  STDMETHODIMP FileDownload(BSTR LocalFilename, BSTR RemoteFilename, BSTR Params, LONG nFlags, LONG* nResult) override;
  STDMETHODIMP FilesFinal(LONG nFinalFlags, LONG* nResult) override;
  STDMETHODIMP Korvane_SendCmd(BSTR Cmd, LONG* nResult) override;
  STDMETHODIMP Korvane_TryToSend(BSTR Line, LONG* nResult) override;
  STDMETHODIMP Korvane_TryToRecv(BSTR* LineReceived, LONG* nResult) override;
  STDMETHODIMP Korvane_FlushWrite(LONG* nResult) override;
  STDMETHODIMP SetupLogfile(BSTR bsFilename, LONG nParam) override;
  STDMETHODIMP LogStr(BSTR bsLogString, LONG nParam) override;

  // IOstrel's upload.
  STDMETHODIMP SendTable(LONG nTableType, IEnumVARIANT* pTableEnumerator, LONG* nResult);
  // IOstrel2 only.
  STDMETHODIMP SendTable_obsolete(LONG nTableType, IEnumVARIANT* pTableEnumerator, LONG* nResult);
  STDMETHODIMP SendTable2(LONG nTableType, IEnumVARIANT* pTableEnumerator, LONG* nResult);
  STDMETHODIMP get_AvailablePortsStrings(IOstrelStrings** pVal);
  STDMETHODIMP get_LastErrorCode(LONG* pVal);
  STDMETHODIMP get_LastErrorMsg(BSTR* pVal);
  STDMETHODIMP get_LastErrorContext(BSTR* pVal);
  STDMETHODIMP CurrentID(LONG nTableType, LONG* pnCurrentID);
  STDMETHODIMP RecvTableAsStrings(LONG nTableType, IOstrelStrings** ppTable);
  STDMETHODIMP SendTableAsStrings(LONG nTableType, IOstrelStrings* pTableStrings, LONG* pnResult);
  STDMETHODIMP Korvane_TryToRecvLine(BSTR* pLineReceived);
  STDMETHODIMP InvokeText(BSTR sCommand, BSTR sParam, BSTR* psResult);
  STDMETHODIMP InvokeObject(BSTR sCommand, VARIANT vParam, VARIANT* pvResult);
  STDMETHODIMP SaveCSVEnum(BSTR sFilename, IEnumVARIANT* pEnum, VARIANT_BOOL bAppend);
  STDMETHODIMP ReadCSVEnum(BSTR sFilename, IEnumVARIANT** ppEnum);
  STDMETHODIMP SaveCSVStrings(BSTR sFilename, IOstrelStrings* pStrings, VARIANT_BOOL bAppend);
  STDMETHODIMP ReadCSVStrings(BSTR sFilename, IOstrelStrings** ppEnum);

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  // Progress of the link's table operations, fired to the sinks.
  void RowReceived(long nReceived, long nCount) override;
  void RowSent(long nSent, long nCount) override;

  TerminalLink& Link() { return link_; }
  // The receive behind the direct receives; tests hand in one that gives counts the link does
  // not. Empty: the link's own.
  using DirectReceive = std::function<int32_t(uint8_t* buffer, uint32_t size, int32_t& count)>;
  void SetDirectReceive(DirectReceive receive) { direct_receive_ = std::move(receive); }

 protected:
  void* InterfaceFor(REFIID iid) override;
  void FinalRelease() override;

 private:
  class TableOperation;
  template <class Op>
  HRESULT Command(LONG* nResult, Op&& op);
  template <class Op>
  HRESULT DirectCommand(const char* member, const char* context, Op&& op, LONG* nResult);
  HRESULT Upload(LONG kind, IEnumVARIANT* rows, LONG count, LONG* nResult);
  HRESULT Download(LONG kind, Ref<COstrelStrings>& rows, LONG* nResult);
  void ReceiveLine(std::string& line, LONG& result);
  HRESULT PortList(Ref<COstrelStrings>& list);
  HRESULT ReadCsv(BSTR file, Ref<COstrelStrings>& rows);
  HRESULT SaveCsv(BSTR file, IEnumVARIANT* rows, VARIANT_BOOL append);
  void FireProgress(DISPID id, long done, long total);

  TerminalLink link_;
  EventConnectionPoint events_;
  bool in_table_operation_ = false;
  DirectReceive direct_receive_;
};

using COstrel = OstrelObject<IOstrel>;
using COstrel2 = OstrelObject<IOstrel2>;

}  // namespace korvane::com
