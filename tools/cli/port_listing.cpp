#include "port_listing.h"

namespace korvane::tools {

// "PATH<tab>KIND[<tab>DESCRIPTION]". The texts are the system's own, shown as they are.
std::string PortLine(const PortDescriptor& d) {
  std::string line = d.device_paths.empty() ? std::string() : d.device_paths.front();
  line += d.internal_type == kPortTypeUsb ? "\tusb (" + d.service + ")" : std::string("\tserial");
  std::string names = d.vendor;
  if (!d.port_desc.empty()) names += (names.empty() ? "" : " ") + d.port_desc;
  std::string ids = d.hardware_id;
  if (!d.location.empty()) ids += (ids.empty() ? "" : ", ") + d.location;
  if (!ids.empty()) names += (names.empty() ? "(" : " (") + ids + ")";
  if (!names.empty()) line += "\t" + names;
  return line;
}

}  // namespace korvane::tools
