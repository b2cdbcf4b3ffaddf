#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"

namespace korvane {

namespace {

struct ErrnoRow {
  int errno_value;
  uint32_t on_open;  // the number when opening a device
  uint32_t on_io;    // the number for a call on an open device or socket
};

// The only place errno becomes a system number. Where several errno values share a number, the
// first row gives the number's text.
constexpr ErrnoRow kErrnoTable[] = {
    {ENOENT, kErrFileNotFound, kErrFileNotFound},     // no such device node
    {ENOTDIR, kErrFileNotFound, kErrFileNotFound},    // a path through a non-folder
    {ENODEV, kErrFileNotFound, kErrDeviceLost},       // a node without a driver behind it; gone mid-session
    {ENXIO, kErrFileNotFound, kErrDeviceLost},        // as ENODEV (a USB-serial node whose adapter was pulled)
    {EIO, kErrDeviceLost, kErrDeviceLost},            // a hung-up tty (pty far end closed, cable pulled)
    {EBUSY, kErrAccessDenied, kErrAccessDenied},      // held by another program: Windows says "access denied"
    {EACCES, kErrNoPermission, kErrNoPermission},     // file mode forbids it: not "in use"
    {EPERM, kErrNoPermission, kErrNoPermission},      // as EACCES
    {EBADF, kErrInvalidHandle, kErrInvalidHandle},    // closed underneath
    {ENOTSOCK, kErrInvalidHandle, kErrInvalidHandle}, // as EBADF
    {ENOMEM, kErrNotEnoughMemory, kErrNotEnoughMemory},
    {EINVAL, kErrInvalidParameter, kErrInvalidParameter},
    {ENOTTY, kErrFileNotFound, kErrInvalidParameter}, // not a serial device: not a port at all
    {EMFILE, 4, 4},                                   // too many open files
    {EAGAIN, kErrAccessDenied, kErrSocketWouldBlock}, // a held lock on open; an empty or full socket
    {EINPROGRESS, kErrSocketInProgress, kErrSocketInProgress},
    {EALREADY, 10037, 10037},
    {EADDRINUSE, 10048, 10048},
    {EADDRNOTAVAIL, 10049, 10049},
    {ENETDOWN, 10050, 10050},
    {ENETUNREACH, 10051, 10051},
    {ECONNABORTED, 10053, 10053},
    {ECONNRESET, 10054, 10054},
    {EPIPE, 10054, 10054},                            // sending into a connection the peer reset
    {ENOTCONN, 10057, 10057},
    {ETIMEDOUT, kErrSocketTimedOut, kErrSocketTimedOut},
    {ECONNREFUSED, 10061, 10061},
    {EHOSTUNREACH, kErrSocketHostUnreachable, kErrSocketHostUnreachable},
};

}  // namespace

uint32_t SystemErrorFromErrno(int e, ErrnoSite site) {
  if (e == 0) return 0;
  for (const ErrnoRow& row : kErrnoTable)
    if (row.errno_value == e) return site == ErrnoSite::kOpen ? row.on_open : row.on_io;
  return kErrUnmappedErrnoBit | static_cast<uint32_t>(e);
}

std::string SystemErrorText(uint32_t err) {
  // Not an errno: the resolver has its own words for a name that does not resolve.
  if (err == kErrSocketHostNotFound) return ::gai_strerror(EAI_NONAME);
  int e = 0;
  if (err & kErrUnmappedErrnoBit) {
    e = static_cast<int>(err & ~kErrUnmappedErrnoBit);
  } else {
    for (const ErrnoRow& row : kErrnoTable) {
      if (row.on_io == err || row.on_open == err) {
        e = row.errno_value;
        break;
      }
    }
  }
  if (e == 0) return {};
  char buf[256];
  const char* s = strerror_r(e, buf, sizeof buf);
  if (!s || std::strncmp(s, "Unknown error", 13) == 0) return {};
  return s;
}

}  // namespace korvane
