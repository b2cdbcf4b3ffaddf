// The docking software's remote API, a library loaded at run time: its entry points as a table
// with portable signatures. Windows fills it from rapi.dll; other systems have no such library.
#pragma once
#include <cstdint>

namespace korvane {

// A key opened on the device, a predefined root key, or the start record's event.
using RapiHandle = void*;

// The start record; the layout is the system's on each build (12 bytes on 32-bit, 24 on 64-bit).
struct RapiInitRecord {
  uint32_t size = sizeof(RapiInitRecord);
  RapiHandle start_event = nullptr;  // set by the call, signalled once the device answered
  int32_t result = 0;                // the start's outcome, valid once the event fired
};

struct RapiEntryPoints {
  int32_t (*CeRapiInit)() = nullptr;
  int32_t (*CeRapiInitEx)(RapiInitRecord* init) = nullptr;
  int32_t (*CeRapiUninit)() = nullptr;
  int32_t (*CeRegCloseKey)(RapiHandle key) = nullptr;
  int32_t (*CeRegOpenKeyEx)(RapiHandle root, const char16_t* subkey, uint32_t options, uint32_t access,
                            RapiHandle* key) = nullptr;
  int32_t (*CeRegSetValueEx)(RapiHandle key, const char16_t* name, uint32_t reserved, uint32_t type,
                             const uint8_t* data, uint32_t size) = nullptr;
  uint32_t (*CeGetLastError)() = nullptr;
  // The system's own calls on the start record's event.
  bool (*WaitEvent)(RapiHandle event, uint32_t timeout_ms) = nullptr;  // true once signalled
  void (*CloseEvent)(RapiHandle event) = nullptr;

  // All seven library entry points and both event calls are present.
  bool Complete() const {
    return CeRapiInit && CeRapiInitEx && CeRapiUninit && CeRegCloseKey && CeRegOpenKeyEx && CeRegSetValueEx &&
           CeGetLastError && WaitEvent && CloseEvent;
  }
};

// The system's library. Resolve fills the table by name; names the library lacks stay null.
bool LoadSystemRapi();
void ResolveSystemRapi(RapiEntryPoints& table);
void UnloadSystemRapi();

}  // namespace korvane
