// The Remote Desktop client's side of a static virtual channel, as the add-in sees it: the
// functions of the client's entry-point table and the two event callbacks. The Windows entry
// glue adapts the system's table to this; tests play the client through it.
#pragma once
#include <cstdint>

namespace korvane::rdp {

enum ChannelEvent : uint32_t {
  kEventInitialized = 0,
  kEventConnected = 1,
  kEventV1Connected = 2,
  kEventDisconnected = 3,
  kEventTerminated = 4,
  kEventDataReceived = 10,
  kEventWriteComplete = 11,
  kEventWriteCancelled = 12,
};

constexpr uint32_t kChannelRcOk = 0;
constexpr uint32_t kChannelRcTooManyChannels = 5;
// CHANNEL_OPTION_COMPRESS_RDP | CHANNEL_OPTION_SHOW_PROTOCOL.
constexpr uint32_t kChannelOptions = 0x00A00000;
constexpr uint32_t kChannelNameField = 8;
constexpr uint32_t kVirtualChannelVersion = 1;

struct ChannelDef {
  char name[kChannelNameField] = {};
  uint32_t options = 0;
};

class ChannelEvents {
 public:
  virtual void InitEvent(void* init_handle, uint32_t event, const void* data, uint32_t length) = 0;
  virtual void OpenEvent(uint32_t open_handle, uint32_t event, void* data, uint32_t length, uint32_t total_length,
                         uint32_t flags) = 0;

 protected:
  ~ChannelEvents() = default;
};

class ChannelClientApi {
 public:
  virtual ~ChannelClientApi() = default;
  virtual uint32_t Init(void** init_handle, ChannelDef* channels, int32_t count, uint32_t version,
                        ChannelEvents* events) = 0;
  virtual uint32_t Open(void* init_handle, uint32_t* open_handle, const char* name, ChannelEvents* events) = 0;
  virtual uint32_t Close(uint32_t open_handle) = 0;
  // `user_data` comes back as the data of the write's completion or cancellation event.
  virtual uint32_t Write(uint32_t open_handle, void* data, uint32_t length, void* user_data) = 0;
};

}  // namespace korvane::rdp
