#include "platform/settings.h"

namespace korvane {

bool MemorySettings::ReadString(const std::string& name, std::string& out) const {
  auto it = strings_.find(name);
  if (it == strings_.end()) return false;
  out = it->second;
  return true;
}

bool MemorySettings::ReadDword(const std::string& name, uint32_t& out) const {
  auto it = dwords_.find(name);
  if (it == dwords_.end()) return false;
  out = it->second;
  return true;
}

std::string MemoryProfile::Read(const std::string& section, const std::string& key, const std::string& fallback,
                                size_t capacity) const {
  auto it = values_.find(section + '\n' + key);
  std::string v = it == values_.end() ? fallback : it->second;
  if (capacity > 0 && v.size() >= capacity) v.resize(capacity - 1);
  return v;
}

bool MemoryProfile::Write(const std::string& section, const std::string& key, const std::string& value) {
  values_[section + '\n' + key] = value;
  return true;
}

std::string MemoryProfile::Get(const std::string& section, const std::string& key) const {
  auto it = values_.find(section + '\n' + key);
  return it == values_.end() ? std::string() : it->second;
}

}  // namespace korvane
