#include "frame/ts_port.h"

#include <new>

#include "frame/frame_layout.h"
#include "frame/frame_trace_tap.h"
#include "log/call_stack.h"
#include "log/diag_log.h"
#include "log/frame_trace.h"
#include "log/log_time.h"
#include "platform/errors.h"

namespace korvane {

TsPort* tsOpenPort(const std::string& name, uint32_t kind, uint32_t* err) {
  CallStackScope scope("tsOpenPort('%s', type=%i)", name.c_str(), static_cast<int>(kind));
  uint32_t local_err = 0;
  LinkPort* link = LvlOpen(name, kind, local_err);
  TsPort* port = nullptr;
  if (link && local_err == 0) {
    port = new (std::nothrow) TsPort;
    if (!port) local_err = kErrNotEnoughMemory;
  } else if (local_err == 0) {
    local_err = kErrNotEnoughMemory;  // no port and no reason given: only an allocation can do that
  }
  if (port) {
    port->port = link;
    if (FrameTraceOn()) link->tap = MakeFrameTraceTap(name);
    // This side is named the server and reports the newest protocol it speaks.
    tsDump(StrFormat("Открыт порт %s (h=0x%8.8X). Версия протокола сервера: 0x%4.4X, версия SYN-блока сервера: 0x%4.4X.",
                     name.c_str(), link->Identity(), kProtocolV3, kSynBlockVersion));
    return port;
  }
  if (err) *err = local_err;
  tsDump(StrFormat("Ошибка открытия порта %s, код ошибки: %u", name.c_str(), local_err));
  LvlClose(link);
  return nullptr;
}

void tsClosePort(TsPort* port) {
  CallStackScope scope("tsClosePort()");
  if (!port) return;
  LinkPort* link = port->port;
  const uint32_t id = link ? link->Identity() : 0;
  delete port;
  LvlClose(link);
  tsDump(StrFormat("Закрыт порт (h=0x%8.8X)", id));
}

TsPort* tsAdoptPort(LinkPort* link) {
  if (!link) return nullptr;
  auto* port = new (std::nothrow) TsPort;
  if (!port) {
    LvlClose(link);
    return nullptr;
  }
  port->port = link;
  return port;
}

}  // namespace korvane
