#include "port/winusb_device.h"

#include <algorithm>
#include <cstring>

#include "platform/dynamic_library.h"
#include "platform/errors.h"

namespace korvane {

namespace {

constexpr uint8_t kAlternateSetting = 0;

class SystemLoader final : public WinUsbLoader {
 public:
  bool Load() override { return library_.Load(kWinUsbLibraryName); }
  void* Find(const char* name) const override { return library_.Symbol(name); }
  void Unload() override { library_.Unload(); }
  const UsbSystemApi& System() const override { return system_; }

 private:
  static constexpr UsbSystemApi system_{UsbOpenDevice, UsbCloseHandle, UsbCreateEvent,
                                        UsbResetEvent, UsbWaitEvent,   UsbLastError};
  DynamicLibrary library_;
};

template <class F>
bool Bind(const WinUsbLoader& loader, F& slot, const char* name) {
  slot = reinterpret_cast<F>(loader.Find(name));
  return slot != nullptr;
}

}  // namespace

std::unique_ptr<WinUsbLoader> SystemWinUsbLoader() { return std::make_unique<SystemLoader>(); }

uint32_t StagingBuffer::Reserve(uint32_t want, uint8_t*& at) {
  // An empty buffer starts over at the front, so a read never needs data moved out of its way.
  if (head_ == fill_) head_ = fill_ = 0;
  reservation_ = std::min(want, kCapacity - fill_);
  at = storage_.get() + fill_;
  return reservation_;
}

void StagingBuffer::Commit(uint32_t n) {
  fill_ += std::min(n, reservation_);
  reservation_ = 0;
}

uint32_t StagingBuffer::Take(uint8_t* out, uint32_t size) {
  const uint32_t n = std::min(Held(), size);
  if (n > 0) std::memcpy(out, storage_.get() + head_, n);
  head_ += n;
  if (head_ == fill_ && reservation_ == 0) head_ = fill_ = 0;
  return n;
}

WinUsbDevice::WinUsbDevice(std::string device_path, std::unique_ptr<WinUsbLoader> loader)
    : path_(std::move(device_path)), loader_(std::move(loader)) {}

uint32_t WinUsbDevice::LoadEntryPoints() {
  if (loaded_) return 0;
  if (!loader_->Load()) return kWinUsbLibraryMissing;
  const WinUsbLoader& l = *loader_;
  const char* const* name = kWinUsbEntryPointNames;
  const bool all = Bind(l, api_.Initialize, name[0]) && Bind(l, api_.Free, name[1]) &&
                   Bind(l, api_.QueryDeviceInformation, name[2]) && Bind(l, api_.QueryInterfaceSettings, name[3]) &&
                   Bind(l, api_.QueryPipe, name[4]) && Bind(l, api_.ReadPipe, name[5]) &&
                   Bind(l, api_.WritePipe, name[6]) && Bind(l, api_.ResetPipe, name[7]) &&
                   Bind(l, api_.AbortPipe, name[8]) && Bind(l, api_.FlushPipe, name[9]) &&
                   Bind(l, api_.SetPowerPolicy, name[10]) && Bind(l, api_.GetPowerPolicy, name[11]) &&
                   Bind(l, api_.SetPipePolicy, name[12]) && Bind(l, api_.GetPipePolicy, name[13]) &&
                   Bind(l, api_.GetOverlappedResult, name[14]);
  if (!all) {
    loader_->Unload();
    api_ = {};
    return kWinUsbEntryPointMissing;
  }
  sys_ = &loader_->System();
  loaded_ = true;
  return 0;
}

uint32_t WinUsbDevice::Open(uint32_t& err) {
  Close();
  err = 0;
  if (const uint32_t n = LoadEntryPoints()) return n;

  file_ = sys_->open_device(path_.c_str());
  if (!file_) {
    err = sys_->last_error();
    return kWinUsbOpenFailed;
  }
  if (!api_.Initialize(file_, &iface_)) {
    err = sys_->last_error();
    iface_ = nullptr;
    ReleaseOpenParts();
    return kWinUsbInitializeFailed;
  }
  UsbInterfaceDescriptor settings{};
  if (!api_.QueryInterfaceSettings(iface_, kAlternateSetting, &settings)) {
    err = sys_->last_error();
    ReleaseOpenParts();
    return kWinUsbQueryInterfaceFailed;
  }
  for (uint8_t i = 0; i < settings.endpoint_count; ++i) {
    UsbPipeInformation info{};
    if (!api_.QueryPipe(iface_, kAlternateSetting, i, &info) || info.pipe_type != kUsbPipeTypeBulk) continue;
    Pipe& p = (info.pipe_id & kUsbPipeDirectionIn) ? in_ : out_;
    p = {info.pipe_id, info.maximum_packet_size, true};
  }
  if (!in_.present || !out_.present) {
    ReleaseOpenParts();
    return kWinUsbNoPipePair;
  }
  read_overlap_.event = sys_->create_event();
  if (!read_overlap_.event) {
    // Not a missing pipe, but the device is as unusable; the system says why.
    err = sys_->last_error();
    ReleaseOpenParts();
    return kWinUsbNoPipePair;
  }
  SetPolicies(in_.id);
  SetPolicies(out_.id);
  SetReadTimeout(kWinUsbDefaultTimeoutMs);
  SetWriteTimeout(kWinUsbDefaultTimeoutMs);
  return 0;
}

void WinUsbDevice::SetPolicy(uint8_t pipe, uint32_t type, uint32_t length, void* value) {
  api_.SetPipePolicy(iface_, pipe, type, length, value);  // a policy the stack refuses is not fatal
}

void WinUsbDevice::SetPolicies(uint8_t pipe) {
  struct {
    uint32_t type;
    uint8_t value;
  } const policies[] = {
      {kPolicyShortPacketTerminate, 1}, {kPolicyAutoClearStall, 1}, {kPolicyAllowPartialReads, 1},
      {kPolicyIgnoreShortPackets, 0},   {kPolicyAutoFlush, 0},      {kPolicyRawIo, 0},
  };
  for (const auto& p : policies) {
    uint8_t value = p.value;
    SetPolicy(pipe, p.type, sizeof value, &value);
  }
}

void WinUsbDevice::SetReadTimeout(uint32_t ms) {
  read_timeout_ = ms;
  if (iface_) SetPolicy(in_.id, kPolicyPipeTransferTimeout, sizeof ms, &ms);
}

void WinUsbDevice::SetWriteTimeout(uint32_t ms) {
  write_timeout_ = ms;
  uint32_t at_pipe = std::max(ms, kWinUsbMinWriteTimeoutMs);
  if (iface_) SetPolicy(out_.id, kPolicyPipeTransferTimeout, sizeof at_pipe, &at_pipe);
}

uint32_t WinUsbDevice::Write(const uint8_t* data, uint32_t length, uint32_t& written, uint32_t& err) {
  written = 0;
  if (!iface_) {
    err = kErrInvalidHandle;
    return kWinUsbTransferFailed;
  }
  uint32_t n = 0;
  if (!api_.WritePipe(iface_, out_.id, const_cast<uint8_t*>(data), length, &n, nullptr)) {
    err = sys_->last_error();
    return kWinUsbTransferFailed;
  }
  written = n;
  err = 0;
  return 0;
}

uint32_t WinUsbDevice::FailRead(uint32_t error, uint32_t& err) {
  staged_.Clear();
  api_.AbortPipe(iface_, in_.id);
  err = error;
  return kWinUsbTransferFailed;
}

uint32_t WinUsbDevice::Read(uint8_t* buffer, uint32_t size, uint32_t& got, uint32_t& err) {
  got = 0;
  err = 0;
  if (!iface_) {
    err = kErrInvalidHandle;
    return kWinUsbTransferFailed;
  }
  // A new read starts only when nothing is staged: staged bytes go out at once, and the read
  // always lands in an empty buffer, so no byte is ever moved twice.
  if (!read_in_flight_ && staged_.Held() == 0) {
    uint8_t* at = nullptr;
    const uint32_t want = staged_.Reserve(size, at);
    if (want == 0) return 0;  // a zero-byte transfer would only wait for nothing
    sys_->reset_event(read_overlap_.event);
    UsbHandle event = read_overlap_.event;
    read_overlap_ = {};
    read_overlap_.event = event;
    uint32_t n = 0;
    if (!api_.ReadPipe(iface_, in_.id, at, want, &n, &read_overlap_)) {
      const uint32_t e = sys_->last_error();
      if (e != kErrIoPending) return FailRead(e, err);
    }
    read_in_flight_ = true;
    read_has_timeout_ = read_timeout_ != 0;
  }
  if (read_in_flight_) {
    // The wait is bounded by this call's time-out even when the read was started under another
    // (a read started with 0 has no transfer time-out at all).
    if (read_timeout_ > 0) sys_->wait_event(read_overlap_.event, read_timeout_);
    uint32_t n = 0;
    auto result = [&](UsbBool wait) {
      n = 0;
      return api_.GetOverlappedResult(iface_, &read_overlap_, &n, wait) ? 0u : sys_->last_error();
    };
    uint32_t e = result(0);
    if (e == kErrIoIncomplete && read_timeout_ > 0 && !read_has_timeout_) {
      // A read started by a poll has no transfer time-out, so whole packets would wait in it
      // until more data came: a call that waits ends it when its time is up.
      api_.AbortPipe(iface_, in_.id);
      e = result(1);
      if (e == kErrOperationAborted) e = 0;
    }
    if (e == kErrIoIncomplete) return 0;
    read_in_flight_ = false;
    if (e != 0 && e != kErrSemTimeout) return FailRead(e, err);
    // The count stands whatever the status: the transfer time-out ends a read that no short
    // packet ends, such as a frame of whole packets, and what moved by then is data.
    staged_.Commit(n);
  }
  got = staged_.Take(buffer, size);
  return 0;
}

void WinUsbDevice::ReapRead() {
  if (!read_in_flight_) return;
  uint32_t n = 0;
  api_.GetOverlappedResult(iface_, &read_overlap_, &n, 1);
  read_in_flight_ = false;
}

void WinUsbDevice::Flush() {
  if (!iface_) return;
  api_.AbortPipe(iface_, in_.id);
  ReapRead();
  staged_.Clear();
  api_.ResetPipe(iface_, in_.id);
  api_.AbortPipe(iface_, out_.id);
  api_.ResetPipe(iface_, out_.id);
}

void WinUsbDevice::ReleaseOpenParts() {
  if (iface_) api_.Free(iface_);
  iface_ = nullptr;
  if (read_overlap_.event) sys_->close_handle(read_overlap_.event);
  read_overlap_ = {};
  read_in_flight_ = false;
  in_ = out_ = {};
  staged_.Clear();
  if (file_) sys_->close_handle(file_);
  file_ = nullptr;
}

void WinUsbDevice::Close() {
  if (iface_) Flush();
  if (sys_) ReleaseOpenParts();
}

void WinUsbDevice::Unload() {
  Close();
  if (loaded_) loader_->Unload();
  loaded_ = false;
  api_ = {};
  sys_ = nullptr;
}

}  // namespace korvane
