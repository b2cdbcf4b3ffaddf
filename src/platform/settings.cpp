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

}  // namespace korvane
