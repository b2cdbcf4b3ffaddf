#include "platform/serial_port_list.h"

namespace korvane {

std::vector<std::string> SerialPortNames() { return {}; }

}  // namespace korvane
