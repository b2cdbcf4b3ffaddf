#include <windows.h>

#include "platform/dynamic_library.h"
#include "platform/errors.h"
#include "platform/settings.h"

namespace korvane {

namespace {
// Registry strings are read into a buffer of this size; longer values read as unreadable.
constexpr DWORD kRegistryStringBytes = 2048;
constexpr DWORD kErrorTextBytes = 1024;

class RegistrySettings final : public SettingsStore {
 public:
  explicit RegistrySettings(HKEY key) : key_(key) {}
  ~RegistrySettings() override { ::RegCloseKey(key_); }
  RegistrySettings(const RegistrySettings&) = delete;
  RegistrySettings& operator=(const RegistrySettings&) = delete;

  bool ReadString(const std::string& name, std::string& out) const override {
    char buf[kRegistryStringBytes];
    DWORD type = 0, size = sizeof buf;
    if (::RegQueryValueExA(key_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
      return false;
    // A stored string need not carry its terminator.
    size_t len = 0;
    while (len < size && buf[len] != '\0') ++len;
    out.assign(buf, len);
    return true;
  }

  bool ReadDword(const std::string& name, uint32_t& out) const override {
    DWORD value = 0, type = 0, size = sizeof value;
    if (::RegQueryValueExA(key_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
      return false;
    out = value;
    return true;
  }

 private:
  HKEY key_;
};
}  // namespace

DynamicLibrary::~DynamicLibrary() { Unload(); }

bool DynamicLibrary::Load(const std::string& name) {
  Unload();
  handle_ = ::LoadLibraryA(name.c_str());
  return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (!handle_) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void DynamicLibrary::Unload() {
  if (handle_) ::FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

std::string SystemErrorText(uint32_t err) {
  char buf[kErrorTextBytes];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof buf, nullptr);
  std::string text(buf, n);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string SerialOpenErrorHint(const std::string&, uint32_t) { return {}; }

std::unique_ptr<SettingsStore> OpenUserRegistryKey(const std::string& subkey) {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_CURRENT_USER, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return std::make_unique<MemorySettings>();
  return std::make_unique<RegistrySettings>(key);
}

namespace {
class PrivateProfile final : public ProfileStore {
 public:
  explicit PrivateProfile(std::string name) : name_(std::move(name)) {}
  std::string Read(const std::string& section, const std::string& key, const std::string& fallback,
                   size_t capacity) const override {
    std::string buf(capacity, '\0');
    const DWORD n = ::GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback.c_str(), buf.data(),
                                               static_cast<DWORD>(capacity), name_.c_str());
    buf.resize(n);
    return buf;
  }
  bool Write(const std::string& section, const std::string& key, const std::string& value) override {
    return ::WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), name_.c_str()) != 0;
  }

 private:
  std::string name_;
};
}  // namespace

ProfileStore& SystemProfile(const std::string& name) {
  // One per process: the library names only one profile file.
  static PrivateProfile* profile = new PrivateProfile(name);
  return *profile;
}

}  // namespace korvane
