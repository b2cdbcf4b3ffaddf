// The TCP listener, the same on every platform: the sockets are the platform layer's.
#include <cstdlib>

#include "transport.h"
#include "transport_platform.h"

namespace korvane::sim {

namespace {

constexpr int kListenBacklog = 4;
constexpr const char* kDefaultHost = "127.0.0.1";
constexpr unsigned long kMaxPort = 65535;

class TcpTransport final : public Transport {
 public:
  TcpTransport(SocketHandle listener, std::string host, uint16_t port)
      : listener_(listener), host_(std::move(host)), port_(port) {}
  ~TcpTransport() override { SocketClose(listener_); }

  std::string Describe() const override { return "listening on " + host_ + ":" + std::to_string(port_); }

  std::unique_ptr<SimDevice> Accept(int32_t timeout_ms) override {
    uint32_t err = 0;
    SocketHandle s = SocketAccept(listener_, timeout_ms, err);
    if (s == kInvalidSocket) return nullptr;
    return AdoptSocket(s);
  }

 private:
  SocketHandle listener_;
  std::string host_;
  uint16_t port_;
};

}  // namespace

std::unique_ptr<Transport> ListenTcp(const std::string& host_port, std::string& error) {
  std::string host = kDefaultHost;
  std::string port_text = host_port;
  if (auto colon = host_port.rfind(':'); colon != std::string::npos) {
    host = host_port.substr(0, colon);
    port_text = host_port.substr(colon + 1);
  }
  if (host.empty() || host == "localhost") host = kDefaultHost;
  if (!IsLoopbackAddress(host)) {
    error = "only loopback addresses (127.x.x.x) are served, not '" + host + "'";
    return nullptr;
  }
  char* end = nullptr;
  unsigned long port = std::strtoul(port_text.c_str(), &end, 10);
  if (port_text.empty() || *end != 0 || port > kMaxPort) {
    error = "bad port '" + port_text + "'";
    return nullptr;
  }
  if (!StartSockets()) {
    error = "sockets unavailable";
    return nullptr;
  }
  uint16_t chosen = static_cast<uint16_t>(port);
  uint32_t err = 0;
  SocketHandle s = SocketListen(host, chosen, kListenBacklog, err);
  if (s == kInvalidSocket) {
    error = "cannot listen on " + host + ":" + port_text + ": " + SocketErrorText(err);
    return nullptr;
  }
  return std::make_unique<TcpTransport>(s, host, chosen);
}

}  // namespace korvane::sim
