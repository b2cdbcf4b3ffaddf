// System error numbers and their texts. The upper layers rely on Windows numbering for a few
// values; the POSIX build maps errno to those where a text depends on it.
#pragma once
#include <cstdint>
#include <string>

namespace korvane {

constexpr uint32_t kErrFileNotFound = 2;     // no such port
constexpr uint32_t kErrAccessDenied = 5;     // port in use
constexpr uint32_t kErrInvalidHandle = 6;    // socket closed underneath
constexpr uint32_t kErrNotEnoughMemory = 8;  // native object not allocated

// The operating system's own text for `err`, empty when it has none.
std::string SystemErrorText(uint32_t err);

// Text for a failed open of serial device `name` with `err`, when the system needs more than its
// own text to tell the user what to fix (a permission problem on a POSIX device); else empty.
std::string SerialOpenErrorHint(const std::string& name, uint32_t err);

}  // namespace korvane
