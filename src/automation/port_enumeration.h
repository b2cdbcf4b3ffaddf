// The port enumeration objects: WCEPortSet lists the hand-held terminals attached by USB and the
// serial ports, and reports arrival and removal of terminals through NotifyDeviceChange;
// WCEPortDesc describes one listed port.
#pragma once
#include <vector>

#include "automation/com_object.h"
#include "automation/connection_point.h"
#include "automation/device_change_window.h"
#include "automation/korvane_idl.h"
#include "port/port_descriptor.h"

namespace korvane::com {

inline constexpr const char* kUndefinedDevicePath = "<undefined>";

class CWCEPortDesc final : public ObjectRoot, public DispatchImpl<IWCEPortDesc> {
 public:
  explicit CWCEPortDesc(IUnknown* outer) : ObjectRoot(outer) {}
  HRESULT Initialize() { return S_OK; }
  KORVANE_DELEGATE_IUNKNOWN

  STDMETHODIMP get_Service(BSTR* pVal) override;
  STDMETHODIMP get_DevicePath(BSTR* pVal) override;
  STDMETHODIMP get_Vendor(BSTR* pVal) override;
  STDMETHODIMP get_PortDesc(BSTR* pVal) override;
  STDMETHODIMP get_Class(BSTR* pVal) override;
  STDMETHODIMP get_ClassGUID(BSTR* pVal) override;
  STDMETHODIMP get_Driver(BSTR* pVal) override;
  STDMETHODIMP get_PDO(BSTR* pVal) override;
  STDMETHODIMP get_Location(BSTR* pVal) override;
  STDMETHODIMP get_HardwareID(BSTR* pVal) override;
  STDMETHODIMP get_InternalType(BSTR* pVal) override;

  PortDescriptor& Port() { return port_; }

 protected:
  void* InterfaceFor(REFIID iid) override;

 private:
  PortDescriptor port_;
};

class CWCEPortSet final : public ObjectRoot,
                          public DispatchImpl<IWCEPortSet>,
                          public IConnectionPointContainer,
                          private DeviceChangeListener {
 public:
  explicit CWCEPortSet(IUnknown* outer);
  // A new set lists the USB devices and watches for changes at once, as Init does.
  HRESULT Initialize();
  KORVANE_DELEGATE_IUNKNOWN

  STDMETHODIMP EnumPorts(LONG* nCount) override;
  STDMETHODIMP get_Count(LONG* pVal) override;
  STDMETHODIMP Item(LONG nIndex, IWCEPortDesc** ppValue) override;
  STDMETHODIMP Init() override;
  STDMETHODIMP Destroy() override;

  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

 protected:
  void* InterfaceFor(REFIID iid) override;
  void FinalRelease() override;

 private:
  void DeviceChanged(long state, std::wstring_view device_path) override;
  // Replaces the list with the present USB devices; empty when they cannot be listed.
  void ListUsbDevices();

  std::vector<PortDescriptor> ports_;
  EventConnectionPoint events_;
  DeviceChangeWatch watch_;
};

}  // namespace korvane::com
