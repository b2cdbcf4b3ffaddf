// System error numbers and their texts. Both builds speak Windows numbering: the upper layers
// print and interpret these numbers, so the POSIX build turns every errno into the Windows number
// of the same meaning (one table, errors_posix.cpp) and never passes errno through raw.
#pragma once
#include <cstdint>
#include <string>

namespace korvane {

constexpr uint32_t kErrFileNotFound = 2;     // no such port
constexpr uint32_t kErrAccessDenied = 5;     // port in use
constexpr uint32_t kErrInvalidHandle = 6;    // socket closed underneath
constexpr uint32_t kErrNotEnoughMemory = 8;  // native object not allocated
constexpr uint32_t kErrInvalidParameter = 87;
// A port name that cannot name a port (on Windows also the system's number for a malformed file
// name); for TCP a port number that is not 1 to 65535.
constexpr uint32_t kErrBadPortName = 123;
// The device went away while open (cable or adapter pulled, pty far end closed): what a read,
// write or line-state call on a vanished device reports on the POSIX build, and the number Windows
// gives for a device that is no longer connected.
constexpr uint32_t kErrDeviceLost = 1167;
constexpr uint32_t kErrNoPermission = 1314;  // the user may not open the device (POSIX only)
// Winsock numbers the POSIX socket calls are given as.
constexpr uint32_t kErrSocketWouldBlock = 10035;
constexpr uint32_t kErrSocketInProgress = 10036;
constexpr uint32_t kErrSocketTimedOut = 10060;
constexpr uint32_t kErrSocketHostUnreachable = 10065;
constexpr uint32_t kErrSocketHostNotFound = 11001;  // the host name did not resolve
// Numbers with this bit are errno values without a Windows counterpart (the bit Windows keeps for
// application-defined codes, so they never meet a system number).
constexpr uint32_t kErrUnmappedErrnoBit = 0x20000000;

// True for every number a device that vanished mid-session is reported with: kErrDeviceLost and
// the other numbers Windows drivers give for a pulled USB-serial adapter.
bool IsDeviceLostError(uint32_t err);

// Where an errno came from: opening a device (a missing device node means "no such port") or a
// call on an open one (the same errno means the device went away).
enum class ErrnoSite { kOpen, kIo };
// The system number for POSIX errno `e` (only defined on the POSIX build).
uint32_t SystemErrorFromErrno(int e, ErrnoSite site);

// The operating system's own text for `err`, empty when it has none.
std::string SystemErrorText(uint32_t err);

// Text for a failed open of serial device `name` with `err`, when the system needs more than its
// own text to tell the user what to fix (a permission problem on a POSIX device); else empty.
std::string SerialOpenErrorHint(const std::string& name, uint32_t err);

}  // namespace korvane
