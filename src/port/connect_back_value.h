// The address a docked terminal connects back to, as the PC writes it into the device's registry:
// UTF-16LE "ppp_peer:PORT" with its terminating NUL.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

std::string ConnectBackValue(uint16_t port);
// The port of a complete value (text up to the first NUL); none for anything else.
std::optional<uint16_t> ParseConnectBackValue(std::string_view bytes);

}  // namespace korvane
