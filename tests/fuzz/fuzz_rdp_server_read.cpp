// The server end of the Remote Desktop channel reading chunks shaped by the input: lengths (also
// shorter than the header), flags, type bytes and texts, with reads of any size.
#include <cstring>
#include <deque>

#include "fuzz_input.h"
#include "port/rdp_channel.h"

namespace {

using korvane::WtsChannelApi;

class InputChannel final : public WtsChannelApi {
 public:
  explicit InputChannel(korvane::fuzz::Input& in) : in_(in) {}
  Handle Open(const std::string&, uint32_t&) override { return this; }
  bool Close(Handle) override { return true; }
  bool Read(Handle, uint32_t, uint8_t* buffer, uint32_t size, uint32_t& read, uint32_t& err) override {
    if (in_.Empty()) {
      err = korvane::kErrIoIncomplete;
      return false;
    }
    const auto chunk = in_.Take(in_.U16() % (korvane::kRdpPduHeaderSize + korvane::kRdpChunkSize + 64));
    read = static_cast<uint32_t>(std::min<size_t>(size, chunk.size()));
    std::memcpy(buffer, chunk.data(), read);
    return true;
  }
  bool Write(Handle, const uint8_t*, uint32_t length, uint32_t& written, uint32_t&) override {
    written = length;
    return true;
  }

 private:
  korvane::fuzz::Input& in_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvane::fuzz::Input in(data, size);
  korvane::ManualClock clock;
  korvane::RdpChannel channel(std::make_unique<InputChannel>(in), clock);
  channel.SetPortName("TSCLIENT:COM3");
  uint32_t err = 0;
  channel.Open(err);
  uint8_t buffer[8192];
  for (int i = 0; i < 64 && !in.Empty(); ++i) {
    uint32_t received = 0;
    channel.SetReadTimeout(in.Byte());
    channel.Read(buffer, 1 + in.U16() % sizeof buffer, received, err);
  }
  return 0;
}
