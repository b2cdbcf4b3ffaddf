// `korvane ports`: the ports this PC has, one "PATH<tab>KIND[<tab>DESCRIPTION]" line each, then
// the forms of port names that reach a terminal some other way.
#pragma once
#include <string>
#include <vector>

#include "cli_args.h"
#include "port/port_descriptor.h"

namespace korvane::tools {

// One listed port. The texts are the system's own, shown as they are.
std::string PortLine(const PortDescriptor& d);
void ListPorts();
// The names of this PC's own ports where a terminal may be, in the order ListPorts gives them.
std::vector<std::string> LocalPortNames();
// The current list, then device changes as they happen, until `o.watch_seconds` have passed
// (forever without). The exit status.
int WatchPorts(const CliOptions& o);

}  // namespace korvane::tools
