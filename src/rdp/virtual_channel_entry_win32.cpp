// The add-in's Windows entry: VirtualChannelEntry and the event callbacks in the client's calling
// convention, adapted to the portable add-in.
#include <windows.h>

// The toolchain's channel header spells the calling convention the old way.
#ifndef _stdcall
#define _stdcall __stdcall
#endif
#include <cchannel.h>

#include <cstring>
#include <vector>

#include "log/addin_trace.h"
#include "platform/settings.h"
#include "rdp/rdp_channel_client.h"

namespace {

using korvane::rdp::ChannelClientApi;
using korvane::rdp::ChannelDef;
using korvane::rdp::ChannelEvents;
using korvane::rdp::RdpChannelClient;

// The client's table as this build's structure defines it: 32-bit fields on x86, pointers on x64.
class SystemChannelApi final : public ChannelClientApi {
 public:
  void Set(const CHANNEL_ENTRY_POINTS& table) { table_ = table; }

  uint32_t Init(void** init_handle, ChannelDef* channels, int32_t count, uint32_t version,
                ChannelEvents* events) override {
    sink_ = events;
    std::vector<CHANNEL_DEF> defs(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
      std::memcpy(defs[i].name, channels[i].name, sizeof defs[i].name);
      defs[i].options = channels[i].options;
    }
    return table_.pVirtualChannelInit(init_handle, defs.data(), count, version, &InitEventThunk);
  }
  uint32_t Open(void* init_handle, uint32_t* open_handle, const char* name, ChannelEvents* events) override {
    sink_ = events;
    DWORD handle = 0;
    const UINT rc = table_.pVirtualChannelOpen(init_handle, &handle, const_cast<PCHAR>(name), &OpenEventThunk);
    *open_handle = handle;
    return rc;
  }
  uint32_t Close(uint32_t open_handle) override { return table_.pVirtualChannelClose(open_handle); }
  uint32_t Write(uint32_t open_handle, void* data, uint32_t length, void* user_data) override {
    return table_.pVirtualChannelWrite(open_handle, data, length, user_data);
  }

 private:
  static VOID VCAPITYPE InitEventThunk(LPVOID init_handle, UINT event, LPVOID data, UINT length) {
    if (sink_) sink_->InitEvent(init_handle, event, data, length);
  }
  static VOID VCAPITYPE OpenEventThunk(DWORD open_handle, UINT event, LPVOID data, UINT32 length, UINT32 total,
                                       UINT32 flags) {
    if (sink_) sink_->OpenEvent(open_handle, event, data, length, total, flags);
  }

  CHANNEL_ENTRY_POINTS table_{};
  static inline ChannelEvents* sink_ = nullptr;
};

SystemChannelApi& SystemApi() {
  static SystemChannelApi* api = new SystemChannelApi;
  return *api;
}

}  // namespace

extern "C" BOOL VCAPITYPE VirtualChannelEntry(PCHANNEL_ENTRY_POINTS entry_points) {
  try {
    auto settings = korvane::OpenUserRegistryKey(korvane::kAddinSettingsKey);
    korvane::MemorySettings none;
    const korvane::SettingsStore& store = settings ? *settings : static_cast<const korvane::SettingsStore&>(none);
    // The size field is read only once the table is known to be there; nothing is probed.
    const uint32_t size = entry_points ? entry_points->cbSize : 0;
    if (entry_points && size >= sizeof(CHANNEL_ENTRY_POINTS)) SystemApi().Set(*entry_points);
    return RdpChannelClient::Instance().Entry(store, entry_points, size, sizeof(CHANNEL_ENTRY_POINTS), &SystemApi())
               ? TRUE
               : FALSE;
  } catch (...) {
    korvane::AddinTrace::Instance().TraceException(nullptr, __FILE__, __LINE__);
    return FALSE;
  }
}

// Called from DllMain at process detach.
void KorvaneRdpAddinUnload() {
  try {
    RdpChannelClient::Instance().Unload();
  } catch (...) {
    korvane::AddinTrace::Instance().TraceException(nullptr, __FILE__, __LINE__);
  }
}
