// The opens of each kind family, called by LvlOpen.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/tcp_socket.h"
#include "port/link_port.h"

namespace korvane {

// Kinds 0 and 2: a serial device at 115200 8N1.
std::unique_ptr<PortDevice> OpenSerialPort(const std::string& name, uint32_t kind, uint32_t& err);
// Kind 1: a serial port with an infrared adapter, rate probed and the adapter set up.
std::unique_ptr<PortDevice> OpenIrdaPort(const std::string& name, uint32_t& err);
// Kinds 4 and 5 share one device over a connected socket.
std::unique_ptr<PortDevice> OpenTcpPort(const std::string& address, uint32_t& err);
std::unique_ptr<PortDevice> AdoptTcpSocket(SocketHandle s);

// Delegated kinds. `step_error` is the kind's own error number, `system_error` the system's.
// Kind 3 logs its own open failure; err is the system error, or 1 when there is none.
std::unique_ptr<PortDevice> OpenWinUsbPort(const std::string& device_path, uint32_t& err);
bool ActiveSyncConnect(SocketHandle& socket, uint32_t& err);
std::unique_ptr<PortDevice> OpenRdpChannelPort(const std::string& name, uint32_t& step_error, uint32_t& system_error);

}  // namespace korvane
