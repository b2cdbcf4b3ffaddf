// The row-level automation classes: KorvaneX (version from "Korvane.ini", no aggregation, negative
// results given as 0) and KorvaneX2 (starts at 2.00, results passed on as they are).
#pragma once
#include "automation/com_object.h"
#include "automation/korvane_idl.h"
#include "legacy/korvanex_core.h"

namespace korvane::com {

class CKorvaneX final : public ObjectRoot, public DispatchImpl<IKorvaneX> {
 public:
  explicit CKorvaneX(IUnknown* outer);
  HRESULT Initialize() { return S_OK; }
  KORVANE_DELEGATE_IUNKNOWN

  STDMETHODIMP OpenPort(BSTR szComPort, LONG* pRetVal) override;
  STDMETHODIMP ClosePort(LONG* pRetVal) override;
  STDMETHODIMP SendCMD(BSTR szCMD, LONG* pRetVal) override;
  STDMETHODIMP TryToRecv(BSTR* szBuffer, LONG* pRetVal) override;
  STDMETHODIMP TryToSend(BSTR szBuffer, LONG* pRetVal) override;
  STDMETHODIMP get_Buffer(BSTR* pVal) override;
  STDMETHODIMP SendEOT() override;
  STDMETHODIMP get_EOF(LONG* pVal) override;
  STDMETHODIMP OpenIRDA(BSTR szComPort, LONG* pRetVal) override;

 protected:
  void* InterfaceFor(REFIID iid) override;

 private:
  KorvaneXCore core_;
};

class CKorvaneX2 final : public ObjectRoot, public DispatchImpl<IKorvaneX2> {
 public:
  explicit CKorvaneX2(IUnknown* outer);
  HRESULT Initialize() { return S_OK; }
  KORVANE_DELEGATE_IUNKNOWN

  STDMETHODIMP OpenPort(BSTR szComPort, LONG* pRetVal) override;
  STDMETHODIMP OpenIRDA(BSTR szComPort, LONG* pRetVal) override;
  STDMETHODIMP ClosePort(LONG* pRetVal) override;
  STDMETHODIMP SendCMD(BSTR szCMD, LONG* pRetVal) override;
  STDMETHODIMP TryToSend(BSTR szBuffer, LONG* pRetVal) override;
  STDMETHODIMP TryToRecv(BSTR* szBuffer, LONG* pRetVal) override;
  STDMETHODIMP SendEOT(LONG* pRetVal) override;
  STDMETHODIMP get_EOF(LONG* pVal) override;
  STDMETHODIMP get_LibraryVersion(BSTR* pVal) override;
  STDMETHODIMP get_ProtocolVersion(BSTR* pVal) override;
  STDMETHODIMP IsTerminalOnline(LONG nTimeoutMS, LONG* pRetVal) override;
  STDMETHODIMP SelectProtocolVersion(BSTR szQueryVersion, BSTR* szSelectedVersion) override;
  STDMETHODIMP get_Buffer(BSTR* pVal) override;

 protected:
  void* InterfaceFor(REFIID iid) override;

 private:
  KorvaneXCore core_;
};

// KorvaneX refuses aggregation.
HRESULT CreateKorvaneX(IUnknown* outer, REFIID iid, void** out);

}  // namespace korvane::com
