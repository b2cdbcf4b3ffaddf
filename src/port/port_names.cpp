#include "port/port_names.h"

#include <cctype>

namespace korvane {

std::vector<std::string> SplitDroppingEmpty(std::string_view text, std::string_view separators) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (separators.find(c) != std::string_view::npos) {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

}  // namespace korvane
