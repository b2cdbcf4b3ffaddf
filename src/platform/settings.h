// The settings store: the registry on Windows, an in-memory store for tests and other builds.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace korvane {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // A value missing, or of another type, reads as false and leaves `out` alone.
  virtual bool ReadString(const std::string& name, std::string& out) const = 0;
  virtual bool ReadDword(const std::string& name, uint32_t& out) const = 0;
};

class MemorySettings final : public SettingsStore {
 public:
  void SetString(const std::string& name, const std::string& v) { strings_[name] = v; }
  void SetDword(const std::string& name, uint32_t v) { dwords_[name] = v; }
  bool ReadString(const std::string& name, std::string& out) const override;
  bool ReadDword(const std::string& name, uint32_t& out) const override;

 private:
  std::map<std::string, std::string> strings_;
  std::map<std::string, uint32_t> dwords_;
};

// A private-profile (INI) file: section, key, text.
class ProfileStore {
 public:
  virtual ~ProfileStore() = default;
  // The value, or `fallback` when the file or key is missing; at most `capacity` - 1 characters.
  virtual std::string Read(const std::string& section, const std::string& key, const std::string& fallback,
                           size_t capacity) const = 0;
  virtual bool Write(const std::string& section, const std::string& key, const std::string& value) = 0;
};

class MemoryProfile final : public ProfileStore {
 public:
  std::string Read(const std::string& section, const std::string& key, const std::string& fallback,
                   size_t capacity) const override;
  bool Write(const std::string& section, const std::string& key, const std::string& value) override;
  // The stored text, empty when missing.
  std::string Get(const std::string& section, const std::string& key) const;

 private:
  std::map<std::string, std::string> values_;
};

// The profile file `name` as the system finds a bare file name (on Windows its Windows folder). On
// builds without private-profile files, one process-wide store in memory.
ProfileStore& SystemProfile(const std::string& name);

// A key under HKEY_CURRENT_USER; on builds without a registry it reads nothing.
std::unique_ptr<SettingsStore> OpenUserRegistryKey(const std::string& subkey);

}  // namespace korvane
