#include "port/connect_back_value.h"

#include <cstdio>

namespace korvane {

namespace {
constexpr std::string_view kPeerPrefix = "ppp_peer:";
constexpr size_t kMaxPortDigits = 5;
constexpr uint32_t kMaxPort = 65535;
}  // namespace

std::string ConnectBackValue(uint16_t port) {
  char text[32];
  const int n = std::snprintf(text, sizeof text, "ppp_peer:%u", static_cast<unsigned>(port));
  std::string bytes;
  for (int i = 0; i <= n; ++i) {  // the NUL too
    bytes.push_back(text[i]);
    bytes.push_back('\0');
  }
  return bytes;
}

std::optional<uint16_t> ParseConnectBackValue(std::string_view bytes) {
  std::string text;
  bool terminated = false;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<uint16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8);
    if (unit == 0) {
      terminated = true;
      break;
    }
    if (unit > 0x7F) return std::nullopt;
    text.push_back(static_cast<char>(unit));
  }
  if (!terminated || text.compare(0, kPeerPrefix.size(), kPeerPrefix) != 0) return std::nullopt;
  const std::string digits = text.substr(kPeerPrefix.size());
  if (digits.empty() || digits.size() > kMaxPortDigits) return std::nullopt;
  uint32_t port = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port == 0 || port > kMaxPort) return std::nullopt;
  return static_cast<uint16_t>(port);
}

}  // namespace korvane
