// What the shared transports (transport_tcp.cpp) ask of the platform's half.
#pragma once
#include <memory>
#include <string>

#include "platform/tcp_socket.h"
#include "transport.h"

namespace korvane::sim {

// An accepted connection as the device a session is served over; takes the socket.
std::unique_ptr<SimDevice> AdoptSocket(SocketHandle s);
// A dotted 127.x.x.x address.
bool IsLoopbackAddress(const std::string& host);
std::string SocketErrorText(uint32_t err);

}  // namespace korvane::sim
