// The add-in's open-event handler on chunks shaped by the input: flags, lengths, control texts
// (open, close, unknown, without terminators), data with and without a port.
#include "fuzz_input.h"
#include "port/rdp_channel.h"
#include "rdp/rdp_channel_client.h"

namespace {

using namespace korvane::rdp;

// Accepts every write and completes it at once.
class InstantClient final : public ChannelClientApi {
 public:
  ChannelEvents* events = nullptr;
  uint32_t Init(void** init_handle, ChannelDef*, int32_t, uint32_t, ChannelEvents* e) override {
    *init_handle = this;
    events = e;
    return kChannelRcOk;
  }
  uint32_t Open(void*, uint32_t* open_handle, const char*, ChannelEvents*) override {
    *open_handle = 1;
    return kChannelRcOk;
  }
  uint32_t Close(uint32_t) override { return kChannelRcOk; }
  uint32_t Write(uint32_t handle, void*, uint32_t length, void* user_data) override {
    events->OpenEvent(handle, kEventWriteComplete, user_data, length, length, 0);
    return kChannelRcOk;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvane::fuzz::Input in(data, size);
  InstantClient api;
  RdpChannelClient client;
  // No real port is ever opened: every open is refused with an error from the input.
  const uint32_t open_error = in.U16();
  client.SetPortOpener([&](const std::string&, uint32_t, uint32_t* err) -> korvane::TsPort* {
    *err = open_error;
    return nullptr;
  });
  client.Entry(korvane::MemorySettings(), &api, 1, 1, &api);
  client.InitEvent(&api, kEventConnected, nullptr, 0);
  while (!in.Empty()) {
    const uint32_t flags = in.Byte() & 3;
    auto chunk = in.Take(in.U16() % (korvane::kRdpChunkSize + 1));
    client.OpenEvent(1, kEventDataReceived, chunk.empty() ? nullptr : chunk.data(), static_cast<uint32_t>(chunk.size()),
                     static_cast<uint32_t>(chunk.size()), flags);
  }
  return RdpChannelClient::BuffersOutstanding() == 0 ? 0 : (__builtin_trap(), 0);
}
