#include "automation/registration.h"

#include <oleauto.h>

#include "automation/class_table.h"
#include "automation/com_module.h"
#include "automation/korvane_idl.h"

// Missing from mingw's oleauto.h.
extern "C" {
HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* ptlib, OLECHAR* szFullPath, OLECHAR* szHelpDir);
HRESULT WINAPI UnRegisterTypeLibForUser(REFGUID libID, WORD wMajorVerNum, WORD wMinorVerNum, LCID lcid, SYSKIND syskind);
}

namespace korvane::com {

namespace {

constexpr const wchar_t* kAppId = L"{DA671E3D-8293-4642-9A4C-5AC1178032B2}";
constexpr const wchar_t* kThreadingModel = L"Apartment";
constexpr const wchar_t* kClassesKey = L"Software\\Classes";
constexpr WORD kTypeLibMajor = 1;
constexpr WORD kTypeLibMinor = 0;
constexpr LCID kTypeLibLocale = 0;
#ifdef _WIN64
constexpr SYSKIND kSysKind = SYS_WIN64;
#else
constexpr SYSKIND kSysKind = SYS_WIN32;
#endif

HRESULT FromWin32(LONG rc) { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(rc)); }

HRESULT RegisterOne(RegistryWriter& w, const ClassEntry& c, const std::wstring& path) {
  const std::wstring clsid = GuidText(*c.clsid);
  const std::wstring prog = c.prog_id, indep = c.version_independent_prog_id, desc = c.description;
  const std::wstring key = L"CLSID\\" + clsid;
  // A class key left from an older registration is replaced as a whole.
  const LONG removed = w.DeleteTree(key);
  if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) return FromWin32(removed);
  const struct {
    std::wstring key, name, value;
  } strings[] = {
      {prog, L"", desc},
      {prog + L"\\CLSID", L"", clsid},
      {indep, L"", desc},
      {indep + L"\\CLSID", L"", clsid},
      {indep + L"\\CurVer", L"", prog},
      {key, L"", desc},
      {key + L"\\ProgID", L"", prog},
      {key + L"\\VersionIndependentProgID", L"", indep},
  };
  for (const auto& s : strings)
    if (const LONG rc = w.SetString(s.key, s.name, s.value); rc != ERROR_SUCCESS) return FromWin32(rc);
  if (const LONG rc = w.CreateKey(key + L"\\Programmable"); rc != ERROR_SUCCESS) return FromWin32(rc);
  const struct {
    std::wstring key, name, value;
  } server[] = {
      {key + L"\\InprocServer32", L"", path},
      {key + L"\\InprocServer32", L"ThreadingModel", kThreadingModel},
      {key + L"\\TypeLib", L"", GuidText(LIBID_Korvane)},
  };
  for (const auto& s : server)
    if (const LONG rc = w.SetString(s.key, s.name, s.value); rc != ERROR_SUCCESS) return FromWin32(rc);
  if (c.app_id)
    if (const LONG rc = w.SetString(key, L"AppID", kAppId); rc != ERROR_SUCCESS) return FromWin32(rc);
  return S_OK;
}

// HKEY_CLASSES_ROOT merges both hives, and a write through it lands in the user's when the key
// exists there: each scope names its own hive.
HKEY ScopeRoot(RegistrationScope scope) {
  return scope == RegistrationScope::kMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

bool TypeLibRegistered(RegistrationScope scope) {
  const std::wstring key = std::wstring(kClassesKey) + L"\\TypeLib\\" + GuidText(LIBID_Korvane);
  HKEY h = nullptr;
  if (::RegOpenKeyExW(ScopeRoot(scope), key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  ::RegCloseKey(h);
  return true;
}

// The type library functions write through HKEY_CLASSES_ROOT: for their length it is the scope's
// own classes key.
class ClassesRootOfScope {
 public:
  explicit ClassesRootOfScope(RegistrationScope scope) {
    result_ = ::RegCreateKeyExW(ScopeRoot(scope), kClassesKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    if (result_ == ERROR_SUCCESS) result_ = ::RegOverridePredefKey(HKEY_CLASSES_ROOT, key_);
  }
  ~ClassesRootOfScope() {
    if (result_ == ERROR_SUCCESS) ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    if (key_) ::RegCloseKey(key_);
  }
  ClassesRootOfScope(const ClassesRootOfScope&) = delete;
  ClassesRootOfScope& operator=(const ClassesRootOfScope&) = delete;
  HRESULT Result() const { return FromWin32(result_); }

 private:
  HKEY key_ = nullptr;
  LONG result_ = ERROR_SUCCESS;
};

}  // namespace

std::wstring GuidText(const GUID& guid) {
  wchar_t text[64] = {};
  ::StringFromGUID2(guid, text, 64);
  return text;
}

Win32RegistryWriter::Win32RegistryWriter(RegistrationScope scope)
    : root_(ScopeRoot(scope)), prefix_(std::wstring(kClassesKey) + L"\\") {}

LONG Win32RegistryWriter::SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
  HKEY h = nullptr;
  const std::wstring full = prefix_ + key;
  LONG rc = ::RegCreateKeyExW(root_, full.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  rc = ::RegSetValueExW(h, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(value.c_str()), bytes);
  ::RegCloseKey(h);
  return rc;
}

LONG Win32RegistryWriter::CreateKey(const std::wstring& key) {
  HKEY h = nullptr;
  const std::wstring full = prefix_ + key;
  const LONG rc = ::RegCreateKeyExW(root_, full.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
  if (rc == ERROR_SUCCESS) ::RegCloseKey(h);
  return rc;
}

LONG Win32RegistryWriter::DeleteTree(const std::wstring& key) {
  const std::wstring full = prefix_ + key;
  HKEY h = nullptr;
  LONG rc = ::RegOpenKeyExW(root_, full.c_str(), 0, KEY_ALL_ACCESS, &h);
  if (rc != ERROR_SUCCESS) return rc;
  rc = ::RegDeleteTreeW(h, nullptr);
  ::RegCloseKey(h);
  if (rc != ERROR_SUCCESS) return rc;
  return ::RegDeleteKeyW(root_, full.c_str());
}

HRESULT RegisterClasses(RegistryWriter& writer, const std::wstring& module_path) {
  for (const ClassEntry& c : Classes())
    if (const HRESULT hr = RegisterOne(writer, c, module_path); FAILED(hr)) return hr;
  return S_OK;
}

HRESULT UnregisterClasses(RegistryWriter& writer) {
  HRESULT first = S_OK;
  for (const ClassEntry& c : Classes()) {
    for (const std::wstring& key : {std::wstring(c.prog_id), std::wstring(c.version_independent_prog_id),
                                    L"CLSID\\" + GuidText(*c.clsid)}) {
      const LONG rc = writer.DeleteTree(key);
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && first == S_OK) first = FromWin32(rc);
    }
  }
  return first;
}

HRESULT RegisterServer(RegistrationScope scope) {
  std::wstring path = ModulePath();
  if (path.empty()) return E_FAIL;
  Win32RegistryWriter writer(scope);
  if (const HRESULT hr = RegisterClasses(writer, path); FAILED(hr)) return hr;
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadEmbeddedTypeLib(&lib);
  if (FAILED(hr)) return hr;
  {
    const ClassesRootOfScope root(scope);
    hr = root.Result();
    if (SUCCEEDED(hr))
      hr = scope == RegistrationScope::kMachine ? ::RegisterTypeLib(lib, path.data(), nullptr)
                                                : RegisterTypeLibForUser(lib, path.data(), nullptr);
  }
  lib->Release();
  return hr;
}

HRESULT UnregisterServer(RegistrationScope scope) {
  Win32RegistryWriter writer(scope);
  const HRESULT classes = UnregisterClasses(writer);
  HRESULT lib = S_OK;
  if (TypeLibRegistered(scope)) {
    const ClassesRootOfScope root(scope);
    lib = root.Result();
    if (SUCCEEDED(lib))
      lib = scope == RegistrationScope::kMachine
                ? ::UnRegisterTypeLib(LIBID_Korvane, kTypeLibMajor, kTypeLibMinor, kTypeLibLocale, kSysKind)
                : UnRegisterTypeLibForUser(LIBID_Korvane, kTypeLibMajor, kTypeLibMinor, kTypeLibLocale, kSysKind);
  }
  return FAILED(classes) ? classes : lib;
}

}  // namespace korvane::com
