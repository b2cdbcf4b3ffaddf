// IPv4 stream sockets: Winsock 2.2 on Windows (started once per process), BSD sockets elsewhere.
// Error numbers are Winsock's on both builds (the POSIX build maps errno, platform/errors.h).
#pragma once
#include <cstdint>
#include <string>

namespace korvane {

using SocketHandle = intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

// Starts the socket library once for the process (Winsock asks for 2.2 and gives it back when
// another version is granted). True when sockets can be used.
bool StartSockets();

uint32_t LastSocketError();
bool SocketWouldBlock(uint32_t err);

// How long a connect to a host that never answers may take: what Windows' own SYN retries give.
constexpr int32_t kSocketConnectLimitMs = 21000;

// Resolves `host` (name lookup first, then dotted form) and connects; the connected socket is
// switched to non-blocking mode. On failure `err` is the socket error and nothing stays open.
// The POSIX build gives up after `limit_ms` with the timed-out error (its own connect would wait
// about two minutes); Windows keeps its system's limit, which is kSocketConnectLimitMs.
SocketHandle SocketConnect(const std::string& host, uint16_t port, uint32_t& err,
                           int32_t limit_ms = kSocketConnectLimitMs);
// Binds to `host` (127.0.0.1 when empty, 0.0.0.0 for every address) and listens; port 0 picks
// one, and the chosen port is written back.
SocketHandle SocketListen(const std::string& host, uint16_t& port, int backlog, uint32_t& err);
// Accepts one connection, waiting up to `timeout_ms` (-1 forever); the socket is non-blocking.
SocketHandle SocketAccept(SocketHandle listener, int32_t timeout_ms, uint32_t& err);
bool SocketSetNonBlocking(SocketHandle s);
// send/recv of one call; the result is bytes moved, 0 on peer close (recv), -1 on error with `err`.
int32_t SocketSend(SocketHandle s, const uint8_t* data, uint32_t size, uint32_t& err);
int32_t SocketRecv(SocketHandle s, uint8_t* buffer, uint32_t size, uint32_t& err);
// Waits for the socket to be readable or to have an exception; a time-out below 1 polls.
bool SocketWaitReadable(SocketHandle s, int32_t timeout_ms);
bool SocketWaitWritable(SocketHandle s, int32_t timeout_ms);
void SocketShutdownBoth(SocketHandle s);
void SocketClose(SocketHandle s);

}  // namespace korvane
