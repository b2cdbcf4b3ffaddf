#include "port/link_port.h"

#include <cctype>
#include <new>

#include "log/diag_log.h"
#include "log/log_time.h"
#include "platform/errors.h"
#include "port/port_kinds.h"
#include "port/port_names.h"

namespace korvane {

namespace {

constexpr std::string_view kUsbSyncPrefix = "\\\\.\\WCEUSBSH";
constexpr std::string_view kUsbInterfacePrefix = "\\\\?\\USB";

std::unique_ptr<PortDevice> OpenDevice(const std::string& name, uint32_t& kind, uint32_t& err) {
  switch (kind) {
    case Serial:
    case UsbSerial: {
      if (StartsWithNoCase(name, kUsbSyncPrefix) || StartsWithNoCase(name, kUsbInterfacePrefix)) kind = UsbSerial;
      auto dev = OpenSerialPort(name, kind, err);
      if (!dev) {
        const std::string hint = SerialOpenErrorHint(name, err);
        if (!hint.empty()) DiagLogAppend(hint, static_cast<int32_t>(err));
      }
      return dev;
    }
    case IrDA:
      return OpenIrdaPort(name, err);
    case WinUsb: return OpenWinUsbPort(name, err);
    case Lan: {
      auto dev = OpenTcpPort(name, err);
      if (!dev) {
        // A name that cannot be a TCP address is refused before any connect, and said so.
        const std::string text = err == kErrBadPortName
                                     ? StrFormat("(Port->Connect) Неверный номер TCP-порта в адресе \"%s\"",
                                                 name.c_str())
                                     : StrFormat("(Port->Connect) Ошибка подключения к \"%s\"", name.c_str());
        DiagLogAppend(text, static_cast<int32_t>(err));
      }
      return dev;
    }
    case ActiveSync: {
      SocketHandle s = kInvalidSocket;
      if (!ActiveSyncConnect(s, err)) return nullptr;
      std::unique_ptr<PortDevice> dev;
      try {
        dev = AdoptTcpSocket(s);
      } catch (const std::bad_alloc&) {
        SocketClose(s);  // the accepted connection must not outlive the failed open
        throw;
      }
      return dev;
    }
    case Rdp: {
      uint32_t step = 0, sys = 0;
      auto dev = OpenRdpChannelPort(name, step, sys);
      if (!dev) {
        DiagLogAppend(StrFormat("(RDP:Port->Open) Ошибка №%u, не удалось открыть канал обмена через RDP", step),
                      static_cast<int32_t>(sys));
        err = sys ? sys : kErrStepNoSystemError;
      }
      return dev;
    }
    default:
      err = kErrInvalidParameter;
      return nullptr;
  }
}

}  // namespace

LinkPort* LvlOpen(const std::string& name, uint32_t kind, uint32_t& err) {
  LinkPort* port = new (std::nothrow) LinkPort;
  if (!port) {
    err = kErrNotEnoughMemory;
    return nullptr;
  }
  port->kind = kind;
  try {
    port->device = OpenDevice(name, port->kind, err);
  } catch (const std::bad_alloc&) {
    err = kErrNotEnoughMemory;
  } catch (...) {
    err = kErrNoHandle;
  }
  if (!port->device) {
    delete port;
    return nullptr;
  }
  err = 0;
  return port;
}

LinkPort* LvlAdopt(std::unique_ptr<PortDevice> device, uint32_t kind) {
  auto* port = new LinkPort;
  port->kind = kind;
  port->device = std::move(device);
  return port;
}

uint32_t LvlSend(LinkPort* port, const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) {
  if (!port) return 0;
  if (!port->device || !port->device->HasHandle()) {
    err = kErrNoHandle;
    ++port->errors;
    return 0;
  }
  try {
    const uint32_t sent = port->device->Send(data, length, timeout_ms, err);
    if (port->tap && sent > 0) port->tap->Sent(data, sent);
    if (err != 0) ++port->errors;
    return sent;
  } catch (...) {
    err = kErrNoHandle;
    ++port->errors;
    return 0;
  }
}

uint32_t LvlReadMore(LinkPort* port, uint8_t* buffer, uint32_t& count, uint32_t capacity, int32_t timeout_ms,
                     uint32_t& err) {
  if (!port) return 0;
  if (timeout_ms < 0 || capacity <= count) return count;
  if (!port->device || !port->device->HasHandle()) {
    err = kErrNoHandle;
    ++port->errors;
    return 0;
  }
  try {
    const uint32_t before = count;
    count = port->device->ReadMore(buffer, count, capacity, timeout_ms, err);
    if (port->tap && count > before) port->tap->Received(buffer + before, count - before);
    if (err != 0) ++port->errors;
    return count;
  } catch (...) {
    err = kErrNoHandle;
    ++port->errors;
    return 0;
  }
}

void LvlPurge(LinkPort* port) {
  if (!port || !port->device || !port->device->HasHandle()) return;
  try {
    port->device->Purge();
  } catch (...) {
  }
}

void LvlClose(LinkPort* port) {
  if (!port) return;
  try {
    if (port->device) port->device->Close();
  } catch (...) {
  }
  delete port;
}

}  // namespace korvane
