#include "platform/serial_port_list.h"

#include <algorithm>

namespace korvane {

void SortPortNames(std::vector<std::string>& names) {
  std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
  });
}

}  // namespace korvane
