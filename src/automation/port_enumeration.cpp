#include "automation/port_enumeration.h"

#include <new>

#include "automation/bstr_text.h"

namespace korvane::com {

namespace {
constexpr DISPID kDispNotifyDeviceChange = 1;
}

// --- CWCEPortDesc ----------------------------------------------------------------------------

void* CWCEPortDesc::InterfaceFor(REFIID iid) {
  if (IsEqualIID(iid, IID_IWCEPortDesc) || IsEqualIID(iid, IID_IDispatch)) return static_cast<IWCEPortDesc*>(this);
  return nullptr;
}

STDMETHODIMP CWCEPortDesc::get_Service(BSTR* pVal) { return AnsiToBstr(port_.service, pVal); }

STDMETHODIMP CWCEPortDesc::get_DevicePath(BSTR* pVal) {
  return Boundary([&] {
    for (const std::string& path : port_.device_paths)
      if (!path.empty()) return AnsiToBstr(path, pVal);
    return AnsiToBstr(kUndefinedDevicePath, pVal);
  });
}

STDMETHODIMP CWCEPortDesc::get_Vendor(BSTR* pVal) { return AnsiToBstr(port_.vendor, pVal); }
STDMETHODIMP CWCEPortDesc::get_PortDesc(BSTR* pVal) { return AnsiToBstr(port_.port_desc, pVal); }
STDMETHODIMP CWCEPortDesc::get_Class(BSTR* pVal) { return AnsiToBstr(port_.device_class, pVal); }
STDMETHODIMP CWCEPortDesc::get_ClassGUID(BSTR* pVal) { return AnsiToBstr(port_.class_guid, pVal); }
STDMETHODIMP CWCEPortDesc::get_Driver(BSTR* pVal) { return AnsiToBstr(port_.driver, pVal); }
STDMETHODIMP CWCEPortDesc::get_PDO(BSTR* pVal) { return AnsiToBstr(port_.pdo, pVal); }
STDMETHODIMP CWCEPortDesc::get_Location(BSTR* pVal) { return AnsiToBstr(port_.location, pVal); }
STDMETHODIMP CWCEPortDesc::get_HardwareID(BSTR* pVal) { return AnsiToBstr(port_.hardware_id, pVal); }
STDMETHODIMP CWCEPortDesc::get_InternalType(BSTR* pVal) { return AnsiToBstr(port_.internal_type, pVal); }

// --- CWCEPortSet -----------------------------------------------------------------------------

CWCEPortSet::CWCEPortSet(IUnknown* outer) : ObjectRoot(outer), events_(*this, DIID__IWCEPortSetEvents), watch_(*this) {}

HRESULT CWCEPortSet::Initialize() { return Init(); }

void* CWCEPortSet::InterfaceFor(REFIID iid) {
  if (IsEqualIID(iid, IID_IWCEPortSet) || IsEqualIID(iid, IID_IDispatch)) return static_cast<IWCEPortSet*>(this);
  if (IsEqualIID(iid, IID_IConnectionPointContainer)) return static_cast<IConnectionPointContainer*>(this);
  return nullptr;
}

void CWCEPortSet::FinalRelease() {
  watch_.Stop();
  events_.Clear();
}

void CWCEPortSet::ListUsbDevices() {
  try {
    EnumerateHandheldUsbDevices(ports_);
  } catch (const std::bad_alloc&) {
    ports_.clear();
  }
}

STDMETHODIMP CWCEPortSet::EnumPorts(LONG* nCount) {
  if (!nCount) return E_POINTER;
  return Boundary([&] {
    ListUsbDevices();
    AppendSerialPorts(ports_);
    *nCount = static_cast<LONG>(ports_.size());
    return S_OK;
  });
}

STDMETHODIMP CWCEPortSet::get_Count(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = static_cast<LONG>(ports_.size());
  return S_OK;
}

STDMETHODIMP CWCEPortSet::Item(LONG nIndex, IWCEPortDesc** ppValue) {
  if (!ppValue) return E_POINTER;
  *ppValue = nullptr;
  // Any index outside the list, negative ones too, gives no object.
  if (nIndex < 0 || static_cast<size_t>(nIndex) >= ports_.size()) return S_OK;
  return Boundary([&] {
    Ref<CWCEPortDesc> desc;
    if (const HRESULT hr = CreateOwned(desc); FAILED(hr)) return hr;
    desc->Port() = ports_[static_cast<size_t>(nIndex)];
    *ppValue = desc.detach();
    return S_OK;
  });
}

STDMETHODIMP CWCEPortSet::Init() {
  return Boundary([&] {
    ListUsbDevices();
    // A watch the system refuses leaves the set without notifications, not without its list.
    if (!watch_.Start()) ::OutputDebugStringA("korvane: device change notification could not start\n");
    return S_OK;
  });
}

STDMETHODIMP CWCEPortSet::Destroy() {
  return Boundary([&] {
    watch_.Stop();
    return S_OK;
  });
}

STDMETHODIMP CWCEPortSet::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  return Boundary([&] { return NewConnectionPointEnum(&events_, ppEnum); });
}

STDMETHODIMP CWCEPortSet::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  return Boundary([&] { return events_.Find(riid, ppCP); });
}

void CWCEPortSet::DeviceChanged(long state, std::wstring_view device_path) {
  CallGuard guard(Controlling());  // a sink may release the set meanwhile
  VARIANTARG args[2];
  V_VT(&args[0]) = VT_BSTR;
  V_BSTR(&args[0]) = ::SysAllocStringLen(device_path.data(), static_cast<UINT>(device_path.size()));
  if (!V_BSTR(&args[0])) return;
  V_VT(&args[1]) = VT_I4;
  V_I4(&args[1]) = state;
  events_.Fire(kDispNotifyDeviceChange, args, 2);
  ::SysFreeString(V_BSTR(&args[0]));
}

}  // namespace korvane::com
