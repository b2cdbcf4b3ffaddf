// The registry entries of the creatable classes and the type library: for the machine under
// HKEY_LOCAL_MACHINE\Software\Classes, or for one user under HKEY_CURRENT_USER\Software\Classes.
#pragma once
#include <windows.h>

#include <string>

namespace korvane::com {

// Where the class entries go; tests hand in one that records or fails.
class RegistryWriter {
 public:
  virtual ~RegistryWriter() = default;
  // Creates `key` as needed and sets a string value; an empty name is the default value.
  virtual LONG SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) = 0;
  virtual LONG CreateKey(const std::wstring& key) = 0;
  // Removes `key` with everything below it; ERROR_FILE_NOT_FOUND when it is not there.
  virtual LONG DeleteTree(const std::wstring& key) = 0;
};

enum class RegistrationScope { kMachine, kUser };

// The real registry: HKEY_LOCAL_MACHINE\Software\Classes, or HKEY_CURRENT_USER\Software\Classes.
class Win32RegistryWriter final : public RegistryWriter {
 public:
  explicit Win32RegistryWriter(RegistrationScope scope);
  LONG SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) override;
  LONG CreateKey(const std::wstring& key) override;
  LONG DeleteTree(const std::wstring& key) override;

 private:
  HKEY root_;
  std::wstring prefix_;
};

// Each class's entries in table order; stops at the first failure and returns it.
HRESULT RegisterClasses(RegistryWriter& writer, const std::wstring& module_path);
// Removes each class's entries (the "CLSID" key itself stays). An absent key counts as removed;
// any other failure is returned after the rest were removed.
HRESULT UnregisterClasses(RegistryWriter& writer);

// Classes, then the type library, for the given scope.
HRESULT RegisterServer(RegistrationScope scope);
HRESULT UnregisterServer(RegistrationScope scope);

// "{XXXXXXXX-...}" of a GUID.
std::wstring GuidText(const GUID& guid);

}  // namespace korvane::com
