// The port enumeration objects as a client meets them: serial ports from the machine's device map
// in the order users read them, port descriptions, and device changes sent to the set's hidden
// window reaching the right set's sinks exactly as automation events.
#include <windows.h>
#include <dbt.h>

#include <climits>
#include <cstddef>
#include <functional>
#include <utility>

#include "client_common.h"

namespace korvane::comtest {
namespace {

constexpr wchar_t kSerialMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr wchar_t kWindowClass[] = L"NotifyDeviceChangeWndClass";
constexpr wchar_t kWindowName[] = L"NotifyDeviceChangeWnd";

// Gives the machine's serial device map exactly `values` (name, port) for the test's length, and
// puts back what was there.
class SerialMapOverride {
 public:
  explicit SerialMapOverride(const std::vector<std::pair<std::wstring, std::wstring>>& values) {
    DWORD disposition = 0;
    // HARDWARE is volatile: a key created below it must be too.
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSerialMap, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                          &key_, &disposition) != ERROR_SUCCESS) {
      ADD_FAILURE() << "cannot open the serial device map";
      return;
    }
    created_ = disposition == REG_CREATED_NEW_KEY;
    for (DWORD i = 0;; ++i) {
      Value v;
      wchar_t name[16384];
      DWORD name_size = std::size(name), data_size = 0;
      if (::RegEnumValueW(key_, i, name, &name_size, nullptr, &v.type, nullptr, &data_size) != ERROR_SUCCESS) break;
      v.name.assign(name, name_size);
      v.data.resize(data_size);
      ::RegQueryValueExW(key_, v.name.c_str(), nullptr, nullptr, v.data.data(), &data_size);
      saved_.push_back(std::move(v));
    }
    for (const Value& v : saved_) ::RegDeleteValueW(key_, v.name.c_str());
    for (const auto& [name, port] : values) {
      written_.push_back(name);
      EXPECT_EQ(::RegSetValueExW(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                                 static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t))),
                ERROR_SUCCESS);
    }
  }
  ~SerialMapOverride() {
    if (!key_) return;
    for (const std::wstring& name : written_) ::RegDeleteValueW(key_, name.c_str());
    for (const Value& v : saved_)
      ::RegSetValueExW(key_, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    ::RegCloseKey(key_);
    if (created_) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSerialMap);
  }

 private:
  struct Value {
    std::wstring name;
    DWORD type = 0;
    std::vector<BYTE> data;
  };
  HKEY key_ = nullptr;
  bool created_ = false;
  std::vector<Value> saved_;
  std::vector<std::wstring> written_;
};

// Every non-empty property of a port description, in member order.
std::string Describe(IWCEPortDesc* d) {
  using Getter = HRESULT (STDMETHODCALLTYPE IWCEPortDesc::*)(BSTR*);
  const std::pair<const char*, Getter> properties[] = {
      {"Service", &IWCEPortDesc::get_Service},
      {"DevicePath", &IWCEPortDesc::get_DevicePath},
      {"Vendor", &IWCEPortDesc::get_Vendor},
      {"PortDesc", &IWCEPortDesc::get_PortDesc},
      {"Class", &IWCEPortDesc::get_Class},
      {"ClassGUID", &IWCEPortDesc::get_ClassGUID},
      {"Driver", &IWCEPortDesc::get_Driver},
      {"PDO", &IWCEPortDesc::get_PDO},
      {"Location", &IWCEPortDesc::get_Location},
      {"HardwareID", &IWCEPortDesc::get_HardwareID},
      {"InternalType", &IWCEPortDesc::get_InternalType},
  };
  std::string text;
  for (const auto& [name, getter] : properties) {
    const std::string value = Text(d, getter);
    if (!value.empty()) text += (text.empty() ? "" : " ") + std::string(name) + "=" + value;
  }
  return text;
}

std::string ItemText(IWCEPortSet* set, long index) {
  ComPtr<IWCEPortDesc> d;
  EXPECT_EQ(set->Item(index, &d), S_OK) << index;
  return d ? Describe(d.Get()) : "null";
}

TEST_F(ComClient, PortSetListsUsbDevicesThenSerialPortsShorterNamesFirst) {
  SerialMapOverride map(
      {{L"\\Device\\Serial0", L"COM1"}, {L"\\Device\\Serial9", L"COM10"}, {L"\\Device\\Serial1", L"COM2"}});
  ComPtr<IWCEPortSet> set = Create<IWCEPortSet>(L"Korvane.WCEPortSet");
  ASSERT_TRUE(set);
  long count = -1;
  ASSERT_EQ(set->get_Count(&count), S_OK);
  EXPECT_EQ(count, 0) << "Wine lists no device of the hand-held interface class";
  ASSERT_EQ(set->EnumPorts(&count), S_OK);
  ASSERT_EQ(count, 3);
  ComPtr<IWCEPortDesc> first;
  ASSERT_EQ(set->Item(0, &first), S_OK);
  std::vector<std::string> items;
  for (long i : {0L, 1L, 2L, 3L, -1L, LONG_MIN}) items.push_back(ItemText(set.Get(), i));
  EXPECT_EQ(items,
            (std::vector<std::string>{"DevicePath=COM1 InternalType=SERIAL", "DevicePath=COM2 InternalType=SERIAL",
                                      "DevicePath=COM10 InternalType=SERIAL", "null", "null", "null"}));
  EXPECT_EQ(set->Item(0, nullptr), E_POINTER);
  EXPECT_EQ(set->EnumPorts(nullptr), E_POINTER);
  EXPECT_EQ(set->get_Count(nullptr), E_POINTER);

  // Init lists the USB devices only; a description taken before keeps its copy.
  ASSERT_EQ(set->Init(), S_OK);
  ASSERT_EQ(set->get_Count(&count), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(Describe(first.Get()), "DevicePath=COM1 InternalType=SERIAL");

  ComPtr<IWCEPortDesc> direct = Create<IWCEPortDesc>(L"Korvane.WCEPortDesc");
  ASSERT_TRUE(direct);
  EXPECT_EQ(Describe(direct.Get()), "DevicePath=<undefined>");
  EXPECT_EQ(direct->get_Vendor(nullptr), E_POINTER);
}

// A strict sink of _IWCEPortSetEvents: records (nState, path) and reports any call that is not
// exactly the event's shape.
class DeviceSink final : public IDispatch {
 public:
  std::vector<std::pair<long, std::wstring>> calls;
  std::vector<std::string> faults;
  std::function<void()> on_call;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, DIID__IWCEPortSetEvents)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* p, VARIANT* result, EXCEPINFO* excep,
                      UINT* arg_error) override {
    const struct {
      bool ok;
      const char* what;
    } checks[] = {
        {id == 1, "DISPID 1"},
        {IsEqualIID(iid, IID_NULL), "IID_NULL"},
        {lcid == 0x400, "locale 0x400"},
        {flags == DISPATCH_METHOD, "DISPATCH_METHOD only"},
        {!result && !excep && !arg_error, "no result, exception or argument error wanted"},
        {p && p->cArgs == 2 && p->cNamedArgs == 0, "two positional arguments"},
        {p && p->cArgs == 2 && V_VT(&p->rgvarg[1]) == VT_I4 && V_VT(&p->rgvarg[0]) == VT_BSTR,
         "nState VT_I4 then path VT_BSTR, in reverse order"},
    };
    bool ok = true;
    for (const auto& c : checks) {
      if (!c.ok) faults.push_back(c.what);
      ok = ok && c.ok;
    }
    if (!ok) return S_OK;
    BSTR path = V_BSTR(&p->rgvarg[0]);
    calls.emplace_back(V_I4(&p->rgvarg[1]), std::wstring(path, ::SysStringLen(path)));
    if (on_call) on_call();
    return S_OK;
  }
  ULONG refs = 0;
};

std::vector<HWND> NotifyWindows() {
  std::vector<HWND> windows;
  for (HWND w = nullptr; (w = ::FindWindowExW(HWND_MESSAGE, w, kWindowClass, kWindowName));) windows.push_back(w);
  return windows;
}

bool WindowClassRegistered() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  return ::GetClassInfoExW(::GetModuleHandleW(L"korvane.dll"), kWindowClass, &wc) != 0;
}

// WM_DEVICECHANGE with a device-interface record whose size counts `counted` characters of `path`.
void SendChange(HWND window, WPARAM code, const std::wstring& path, DWORD type = DBT_DEVTYP_DEVICEINTERFACE,
                size_t counted = std::wstring::npos) {
  constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (counted == std::wstring::npos) counted = path.size() + 1;
  std::vector<BYTE> record(kNameOffset + (path.size() + 1) * sizeof(wchar_t));
  auto* d = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(record.data());
  d->dbcc_size = static_cast<DWORD>(kNameOffset + counted * sizeof(wchar_t));
  d->dbcc_devicetype = type;
  std::copy(path.begin(), path.end(), d->dbcc_name);
  ::SendMessageW(window, WM_DEVICECHANGE, code, reinterpret_cast<LPARAM>(record.data()));
}

TEST_F(ComClient, DeviceChangesReachTheSinksOfTheirOwnSet) {
  const std::wstring path = L"\\\\?\\USB#VID_0BB4&PID_0C02#0123456789#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";
  ASSERT_TRUE(NotifyWindows().empty());
  // A new set watches at once; Init again makes no second window.
  ComPtr<IWCEPortSet> a = Create<IWCEPortSet>(L"Korvane.WCEPortSet");
  ASSERT_TRUE(a);
  ASSERT_EQ(a->Init(), S_OK);
  const std::vector<HWND> first = NotifyWindows();
  ASSERT_EQ(first.size(), 1u);
  DeviceSink sink_a;
  const DWORD cookie_a = Advise(a.Get(), &sink_a, nullptr, DIID__IWCEPortSetEvents);
  ASSERT_NE(cookie_a, 0u);

  SendChange(first[0], DBT_DEVICEARRIVAL, path);
  SendChange(first[0], DBT_DEVICEQUERYREMOVE, path);                  // not a change
  SendChange(first[0], DBT_DEVICEARRIVAL, L"COM3", DBT_DEVTYP_PORT);  // carries no interface path
  SendChange(first[0], DBT_DEVICEREMOVECOMPLETE, path);
  SendChange(first[0], DBT_DEVICEARRIVAL, L"ABCDEF", DBT_DEVTYP_DEVICEINTERFACE, 3);  // no NUL inside the record
  using Calls = std::vector<std::pair<long, std::wstring>>;
  EXPECT_EQ(sink_a.calls, (Calls{{1, path}, {0, path}, {1, L"ABC"}}));
  EXPECT_TRUE(sink_a.faults.empty()) << ::testing::PrintToString(sink_a.faults);

  // A second set, aggregated, has a window of its own; the first one's Destroy leaves it working.
  CLSID clsid{};
  ASSERT_EQ(::CLSIDFromProgID(L"Korvane.WCEPortSet", &clsid), S_OK);
  Outer outer;
  ASSERT_EQ(
      ::CoCreateInstance(clsid, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)),
      S_OK);
  ComPtr<IWCEPortSet> b;
  ASSERT_EQ(outer.QueryInterface(IID_IWCEPortSet, &b), S_OK);
  DeviceSink sink_b;
  ASSERT_NE(Advise(&outer, &sink_b, nullptr, DIID__IWCEPortSetEvents), 0u);
  ASSERT_EQ(NotifyWindows().size(), 2u);
  ASSERT_EQ(a->Destroy(), S_OK);
  ASSERT_EQ(a->Destroy(), S_OK);
  const std::vector<HWND> left = NotifyWindows();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(WindowClassRegistered());
  SendChange(left[0], DBT_DEVICEREMOVECOMPLETE, path);
  EXPECT_EQ(sink_b.calls, (Calls{{0, path}}));
  EXPECT_EQ(sink_a.calls.size(), 3u);

  // Destroy from inside an event stops the watch and takes the window away under it.
  sink_b.on_call = [&] { EXPECT_EQ(b->Destroy(), S_OK); };
  SendChange(left[0], DBT_DEVICEARRIVAL, path);
  EXPECT_EQ(sink_b.calls.size(), 2u);
  EXPECT_TRUE(NotifyWindows().empty());
  EXPECT_FALSE(WindowClassRegistered());
  EXPECT_TRUE(sink_b.faults.empty()) << ::testing::PrintToString(sink_b.faults);

  // Init starts a stopped watch again; the final release stops it.
  ASSERT_EQ(a->Init(), S_OK);
  EXPECT_EQ(NotifyWindows().size(), 1u);
  EXPECT_EQ(Unadvise(a.Get(), cookie_a, DIID__IWCEPortSetEvents), S_OK);
  b.Reset();
  outer.inner->Release();
  a.Reset();
  EXPECT_TRUE(NotifyWindows().empty());
  EXPECT_EQ(sink_a.refs + sink_b.refs, 0u);
}

}  // namespace
}  // namespace korvane::comtest
