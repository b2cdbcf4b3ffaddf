// Writes the COM registration of one korvane.dll as registry rows of the installer (a WiX include),
// from the code DllRegisterServer runs: the class entries through RegisterClasses with a writer
// that records instead of writing, and the type library through RegisterTypeLib into a scratch key
// that stands in for HKEY_CLASSES_ROOT; for uninstalling, the class keys that UnregisterClasses
// (DllUnregisterServer's part for the classes) removes. Run under Wine at build time.
//   korvane-registry-rows <korvane.dll> <file id> <folder> <row id prefix> <out.wxi>
// The file id names the DLL's File element: the rows hold "[#id]", its installed path, where
// regsvr32 writes the path of the DLL it loaded, and <folder> (a formatted text such as
// "[ProgramFiles64Folder]Korvane") where it writes the DLL's folder. The DLL may be of either
// bitness: only its type library is read.
#include <windows.h>
#include <oleauto.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "automation/registration.h"

namespace {

using korvane::com::RegistryWriter;

constexpr const wchar_t* kClassesKey = L"Software\\Classes";
// Registered in place of the installed path, and recognised again in what was written.
constexpr const wchar_t* kStandInFolder = L"C:\\Korvane stand-in folder";
constexpr const wchar_t* kStandInFile = L"C:\\Korvane stand-in folder\\korvane.dll";
// Removed again at the end. (Not volatile: RegisterTypeLib creates ordinary keys below it.)
constexpr const wchar_t* kScratchKey = L"Software\\Korvane registry rows";

enum class RowKind { kValue, kKey, kRemovedTree };

struct Row {
  std::wstring key;   // below the classes root
  std::wstring name;  // empty: the default value
  std::wstring value;
  RowKind kind;
};

// Registering records the values and empty keys; unregistering records the trees it removes.
class RecordingWriter final : public RegistryWriter {
 public:
  std::vector<Row> rows;
  bool unregistering = false;
  LONG SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) override {
    rows.push_back({key, name, value, RowKind::kValue});
    return ERROR_SUCCESS;
  }
  LONG CreateKey(const std::wstring& key) override {
    rows.push_back({key, L"", L"", RowKind::kKey});
    return ERROR_SUCCESS;
  }
  // Registering replaces a class key as a whole; the package needs no row for that, as a major
  // upgrade removes the older package, and with it its keys, first.
  LONG DeleteTree(const std::wstring& key) override {
    if (unregistering) rows.push_back({key, L"", L"", RowKind::kRemovedTree});
    return ERROR_FILE_NOT_FOUND;
  }
};

bool Fail(const char* what, long code) {
  std::fprintf(stderr, "korvane-registry-rows: %s failed (0x%08lX)\n", what, static_cast<unsigned long>(code));
  return false;
}

// Every key and string value below `key`, parents first.
bool Collect(HKEY key, const std::wstring& path, std::vector<Row>& rows) {
  DWORD subkeys = 0, values = 0;
  if (const LONG rc = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                         nullptr, nullptr, nullptr);
      rc != ERROR_SUCCESS)
    return Fail("RegQueryInfoKey", rc);
  // Only an empty leaf needs a row of its own: the rows below a key create it, and keys such as
  // "Interface" belong to the system, not to us.
  if (values == 0 && subkeys == 0 && !path.empty()) rows.push_back({path, L"", L"", RowKind::kKey});
  for (DWORD i = 0; i < values; ++i) {
    wchar_t name[256];
    DWORD name_size = 256, type = 0, bytes = 0;
    if (const LONG rc = ::RegEnumValueW(key, i, name, &name_size, nullptr, &type, nullptr, &bytes); rc != ERROR_SUCCESS)
      return Fail("RegEnumValue", rc);
    if (type != REG_SZ) return Fail("a value that is not a string", static_cast<long>(type));
    std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
    name_size = 256;
    if (const LONG rc = ::RegEnumValueW(key, i, name, &name_size, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                                        &bytes);
        rc != ERROR_SUCCESS)
      return Fail("RegEnumValue", rc);
    data.resize(::wcsnlen(data.c_str(), data.size()));
    rows.push_back({path, name, data, RowKind::kValue});
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD name_size = 256;
    const LONG rc = ::RegEnumKeyExW(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return Fail("RegEnumKeyEx", rc);
    HKEY sub = nullptr;
    if (const LONG open = ::RegOpenKeyExW(key, name, 0, KEY_READ, &sub); open != ERROR_SUCCESS)
      return Fail("RegOpenKeyEx", open);
    const bool ok = Collect(sub, path.empty() ? name : path + L"\\" + name, rows);
    ::RegCloseKey(sub);
    if (!ok) return false;
  }
  return true;
}

// What RegisterTypeLib writes for the library of `dll` with `path` as its file, as rows below the
// classes root.
bool TypeLibRows(const std::wstring& dll, std::wstring path, std::vector<Row>& rows) {
  ITypeLib* lib = nullptr;
  if (const HRESULT hr = ::LoadTypeLibEx((dll + L"\\1").c_str(), REGKIND_NONE, &lib); FAILED(hr))
    return Fail("LoadTypeLibEx", hr);
  ::RegDeleteTreeW(HKEY_CURRENT_USER, kScratchKey);
  HKEY scratch = nullptr;
  LONG rc = ::RegCreateKeyExW(HKEY_CURRENT_USER, kScratchKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &scratch,
                              nullptr);
  if (rc != ERROR_SUCCESS) {
    lib->Release();
    return Fail("creating the scratch key", rc);
  }
  bool ok = true;
  rc = ::RegOverridePredefKey(HKEY_CLASSES_ROOT, scratch);
  if (rc != ERROR_SUCCESS) {
    ok = Fail("RegOverridePredefKey", rc);
  } else {
    const HRESULT hr = ::RegisterTypeLib(lib, path.data(), nullptr);
    ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    ok = SUCCEEDED(hr) ? Collect(scratch, L"", rows) : Fail("RegisterTypeLib", hr);
  }
  lib->Release();
  ::RegCloseKey(scratch);
  ::RegDeleteTreeW(HKEY_CURRENT_USER, kScratchKey);
  ::RegDeleteKeyW(HKEY_CURRENT_USER, kScratchKey);
  return ok;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::string Xml(const std::wstring& text) {
  std::string out;
  for (const char c : Utf8(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// A text the installer would read as a formatted string ("[...]") or as a number ("#...") would not
// reach the registry as written.
bool Literal(const std::wstring& text) {
  return text.find_first_of(L"[]") == std::wstring::npos && (text.empty() || text[0] != L'#');
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 6) {
    std::fputs("usage: korvane-registry-rows <korvane.dll> <file id> <folder> <row id prefix> <out.wxi>\n", stderr);
    return 2;
  }
  const std::wstring dll = argv[1], file = std::wstring(L"[#") + argv[2] + L"]", folder = argv[3], prefix = argv[4];
  RecordingWriter classes;
  if (const HRESULT hr = korvane::com::RegisterClasses(classes, kStandInFile); FAILED(hr)) {
    Fail("RegisterClasses", hr);
    return 1;
  }
  std::vector<Row> rows = classes.rows;
  if (!TypeLibRows(dll, kStandInFile, rows)) return 1;
  // Uninstalling removes what DllUnregisterServer removes; the type library's keys go with its
  // values.
  RecordingWriter removed;
  removed.unregistering = true;
  if (const HRESULT hr = korvane::com::UnregisterClasses(removed); FAILED(hr)) {
    Fail("UnregisterClasses", hr);
    return 1;
  }
  rows.insert(rows.end(), removed.rows.begin(), removed.rows.end());
  for (Row& row : rows) {
    if (row.value == kStandInFile)
      row.value = file;
    else if (row.value == kStandInFolder)
      row.value = folder;
    else if (!Literal(row.value) || row.value.find(kStandInFolder) != std::wstring::npos) {
      std::fprintf(stderr, "korvane-registry-rows: cannot write %s\\%s as a row\n", Utf8(row.key).c_str(),
                   Utf8(row.name).c_str());
      return 1;
    }
    if (!Literal(row.key) || !Literal(row.name)) {
      std::fprintf(stderr, "korvane-registry-rows: cannot write the key %s as a row\n", Utf8(row.key).c_str());
      return 1;
    }
  }

  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                    "<!-- Generated by korvane-registry-rows from the registration code of korvane.dll. -->\n"
                    "<Include>\n";
  int n = 0;
  for (const Row& row : rows) {
    char id[32];
    std::snprintf(id, sizeof id, "%03d", ++n);
    out += "  <RegistryValue Id=\"" + Xml(prefix) + id + "\" Root=\"HKLM\" Key=\"" +
           Xml(std::wstring(kClassesKey) + L"\\" + row.key) + "\"";
    // "+": the key is created on install; "-": the key and all below it go on uninstall.
    if (row.kind == RowKind::kKey)
      out += " Name=\"+\" Value=\"\"";
    else if (row.kind == RowKind::kRemovedTree)
      out += " Name=\"-\" Value=\"\"";
    else
      out += (row.name.empty() ? std::string() : " Name=\"" + Xml(row.name) + "\"") + " Value=\"" + Xml(row.value) +
             "\"";
    out += " Type=\"string\"/>\n";
  }
  out += "</Include>\n";

  FILE* output = ::_wfopen(argv[5], L"wb");
  if (!output) {
    Fail("opening the output", errno);
    return 1;
  }
  const bool written = std::fwrite(out.data(), 1, out.size(), output) == out.size();
  if (std::fclose(output) != 0 || !written) {
    Fail("writing the output", errno);
    return 1;
  }
  return 0;
}
