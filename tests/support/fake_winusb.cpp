#include "support/fake_winusb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/errors.h"
#include "port/winusb_device.h"

namespace korvane::test {

namespace {

constexpr uint32_t kErrNotSupported = 50;
constexpr uint32_t kErrNoMoreItems = 259;
constexpr uintptr_t kHandleStep = 16;

FakeWinUsb* g_current = nullptr;

// Signed distance from `now` to `when` on the wrapping tick count.
int32_t Until(uint32_t now, uint32_t when) { return static_cast<int32_t>(when - now); }

std::string Hex(uint8_t v) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02X", v);
  return buf;
}

FakeWinUsb& F() { return FakeWinUsb::Current(); }

UsbBool KORVANE_WINAPI FakeInitialize(UsbHandle d, UsbHandle* i) { return F().Initialize(d, i); }
UsbBool KORVANE_WINAPI FakeFree(UsbHandle i) { return F().Free(i); }
UsbBool KORVANE_WINAPI FakeQueryDeviceInformation(UsbHandle, uint32_t, uint32_t*, void*) { return F().Unsupported(); }
UsbBool KORVANE_WINAPI FakeQueryInterfaceSettings(UsbHandle i, uint8_t a, UsbInterfaceDescriptor* d) {
  return F().QueryInterfaceSettings(i, a, d);
}
UsbBool KORVANE_WINAPI FakeQueryPipe(UsbHandle i, uint8_t a, uint8_t x, UsbPipeInformation* p) {
  return F().QueryPipe(i, a, x, p);
}
UsbBool KORVANE_WINAPI FakeReadPipe(UsbHandle i, uint8_t p, uint8_t* b, uint32_t n, uint32_t* t, UsbOverlapped* o) {
  return F().ReadPipe(i, p, b, n, t, o);
}
UsbBool KORVANE_WINAPI FakeWritePipe(UsbHandle i, uint8_t p, uint8_t* b, uint32_t n, uint32_t* t, UsbOverlapped* o) {
  return F().WritePipe(i, p, b, n, t, o);
}
UsbBool KORVANE_WINAPI FakeResetPipe(UsbHandle i, uint8_t p) { return F().PipeCall("ResetPipe", i, p); }
UsbBool KORVANE_WINAPI FakeAbortPipe(UsbHandle i, uint8_t p) { return F().PipeCall("AbortPipe", i, p); }
UsbBool KORVANE_WINAPI FakeFlushPipe(UsbHandle i, uint8_t p) { return F().PipeCall("FlushPipe", i, p); }
UsbBool KORVANE_WINAPI FakeSetPowerPolicy(UsbHandle, uint32_t, uint32_t, void*) { return F().Unsupported(); }
UsbBool KORVANE_WINAPI FakeGetPowerPolicy(UsbHandle, uint32_t, uint32_t*, void*) { return F().Unsupported(); }
UsbBool KORVANE_WINAPI FakeSetPipePolicy(UsbHandle i, uint8_t p, uint32_t t, uint32_t n, void* v) {
  return F().SetPipePolicy(i, p, t, n, v);
}
UsbBool KORVANE_WINAPI FakeGetPipePolicy(UsbHandle, uint8_t, uint32_t, uint32_t*, void*) { return F().Unsupported(); }
UsbBool KORVANE_WINAPI FakeGetOverlappedResult(UsbHandle i, UsbOverlapped* o, uint32_t* t, UsbBool w) {
  return F().GetOverlappedResult(i, o, t, w);
}

UsbHandle FakeOpenDevice(const char* path) { return F().OpenDevice(path); }
void FakeCloseHandle(UsbHandle h) { F().CloseHandle(h); }
UsbHandle FakeCreateEvent() { return F().CreateEvent(); }
void FakeResetEvent(UsbHandle e) { F().ResetEvent(e); }
bool FakeWaitEvent(UsbHandle e, uint32_t ms) { return F().WaitEvent(e, ms); }
uint32_t FakeLastError() { return F().LastError(); }

template <class Fn>
void* Address(Fn fn) {
  return reinterpret_cast<void*>(fn);
}

void* EntryPoint(const std::string& name) {
  static const std::map<std::string, void*> table = {
      {"WinUsb_Initialize", Address(&FakeInitialize)},
      {"WinUsb_Free", Address(&FakeFree)},
      {"WinUsb_QueryDeviceInformation", Address(&FakeQueryDeviceInformation)},
      {"WinUsb_QueryInterfaceSettings", Address(&FakeQueryInterfaceSettings)},
      {"WinUsb_QueryPipe", Address(&FakeQueryPipe)},
      {"WinUsb_ReadPipe", Address(&FakeReadPipe)},
      {"WinUsb_WritePipe", Address(&FakeWritePipe)},
      {"WinUsb_ResetPipe", Address(&FakeResetPipe)},
      {"WinUsb_AbortPipe", Address(&FakeAbortPipe)},
      {"WinUsb_FlushPipe", Address(&FakeFlushPipe)},
      {"WinUsb_SetPowerPolicy", Address(&FakeSetPowerPolicy)},
      {"WinUsb_GetPowerPolicy", Address(&FakeGetPowerPolicy)},
      {"WinUsb_SetPipePolicy", Address(&FakeSetPipePolicy)},
      {"WinUsb_GetPipePolicy", Address(&FakeGetPipePolicy)},
      {"WinUsb_GetOverlappedResult", Address(&FakeGetOverlappedResult)},
  };
  auto it = table.find(name);
  return it == table.end() ? nullptr : it->second;
}

class FakeLoader final : public WinUsbLoader {
 public:
  FakeLoader(bool& missing, std::string& dropped, int& loads, int& unloads)
      : missing_(missing), dropped_(dropped), loads_(loads), unloads_(unloads) {}
  bool Load() override {
    if (missing_) return false;
    ++loads_;
    return true;
  }
  void* Find(const char* name) const override { return dropped_ == name ? nullptr : EntryPoint(name); }
  void Unload() override { ++unloads_; }
  const UsbSystemApi& System() const override { return system_; }

 private:
  static constexpr UsbSystemApi system_{FakeOpenDevice, FakeCloseHandle, FakeCreateEvent,
                                        FakeResetEvent, FakeWaitEvent,   FakeLastError};
  bool& missing_;
  std::string& dropped_;
  int& loads_;
  int& unloads_;
};

uintptr_t Key(UsbHandle h) { return reinterpret_cast<uintptr_t>(h); }

}  // namespace

FakeWinUsb::FakeWinUsb(ManualClock& clock) : clock_(clock), previous_(g_current) { g_current = this; }

FakeWinUsb::~FakeWinUsb() { g_current = previous_; }

FakeWinUsb& FakeWinUsb::Current() { return *g_current; }

std::unique_ptr<WinUsbLoader> FakeWinUsb::Loader() {
  return std::make_unique<FakeLoader>(library_missing_, dropped_, loads_, unloads_);
}

void FakeWinUsb::ArriveAt(uint32_t tick, std::vector<uint8_t> bytes) {
  std::vector<Packet> packets;
  for (size_t from = 0; from < bytes.size(); from += kMaxPacket) {
    const size_t n = std::min<size_t>(kMaxPacket, bytes.size() - from);
    packets.push_back({tick, {bytes.begin() + from, bytes.begin() + from + n}, n < kMaxPacket});
  }
  if (bytes.empty()) packets.push_back({tick, {}, true});
  // Arrivals mostly come in time order: look for the place from the back.
  auto at = arrivals_.end();
  while (at != arrivals_.begin() && Until(tick, std::prev(at)->tick) > 0) --at;
  arrivals_.insert(at, std::make_move_iterator(packets.begin()), std::make_move_iterator(packets.end()));
}

int FakeWinUsb::ReadsInFlight() const {
  return static_cast<int>(
      std::count_if(transfers_.begin(), transfers_.end(), [](const auto& t) { return !t.second.done; }));
}

uint32_t FakeWinUsb::PipeTimeout(uint8_t pipe) const {
  auto it = pipe_timeouts_.find(pipe);
  return it == pipe_timeouts_.end() ? 0 : it->second;
}

size_t FakeWinUsb::PendingInBytes() const {
  size_t n = 0;
  for (const auto& a : arrivals_) n += a.bytes.size();
  return n;
}

bool FakeWinUsb::Failing(Call call) {
  auto it = failures_.find(call);
  if (it == failures_.end()) return false;
  last_error_ = it->second;
  failures_.erase(it);
  return true;
}

UsbBool FakeWinUsb::Fails(uint32_t error) {
  last_error_ = error;
  return 0;
}

UsbBool FakeWinUsb::Unsupported() {
  NoteMisuse("entry point the device never needs was called");
  return Fails(kErrNotSupported);
}

UsbHandle FakeWinUsb::OpenDevice(const char* path) {
  opened_path_ = path;
  if (Failing(Call::kOpenDevice)) return nullptr;
  next_handle_ += kHandleStep;
  files_.insert(next_handle_);
  return reinterpret_cast<UsbHandle>(next_handle_);
}

UsbHandle FakeWinUsb::CreateEvent() {
  next_handle_ += kHandleStep;
  events_.insert(next_handle_);
  return reinterpret_cast<UsbHandle>(next_handle_);
}

FakeWinUsb::Transfer* FakeWinUsb::TransferOf(UsbHandle event) {
  for (auto& [ov, t] : transfers_)
    if (t.event == event) return &t;
  return nullptr;
}

void FakeWinUsb::CloseHandle(UsbHandle handle) {
  if (files_.erase(Key(handle))) return;
  if (events_.erase(Key(handle))) {
    if (Transfer* t = TransferOf(handle); t && !t->done) NoteMisuse("event closed while its read is in flight");
    std::erase_if(transfers_, [&](const auto& t) { return t.second.event == handle; });
    return;
  }
  NoteMisuse("unknown handle closed");
}

void FakeWinUsb::ResetEvent(UsbHandle event) {
  if (!events_.count(Key(event))) NoteMisuse("unknown event reset");
  if (Transfer* t = TransferOf(event); t && !t->done) NoteMisuse("event reset while its read is in flight");
}

UsbBool FakeWinUsb::Initialize(UsbHandle device, UsbHandle* iface) {
  if (!files_.count(Key(device))) return Fails(kErrInvalidHandle);
  if (Failing(Call::kInitialize)) return 0;
  next_handle_ += kHandleStep;
  interfaces_.insert(next_handle_);
  *iface = reinterpret_cast<UsbHandle>(next_handle_);
  return 1;
}

UsbBool FakeWinUsb::Free(UsbHandle iface) {
  if (!interfaces_.erase(Key(iface))) return Fails(kErrInvalidHandle);
  if (ReadsInFlight() > 0) NoteMisuse("interface freed while a read is in flight");
  transfers_.clear();
  return 1;
}

UsbBool FakeWinUsb::QueryInterfaceSettings(UsbHandle iface, uint8_t, UsbInterfaceDescriptor* out) {
  if (!interfaces_.count(Key(iface))) return Fails(kErrInvalidHandle);
  if (Failing(Call::kQueryInterfaceSettings)) return 0;
  *out = {};
  out->length = sizeof *out;
  out->endpoint_count = static_cast<uint8_t>(pipes_.size());
  return 1;
}

UsbBool FakeWinUsb::QueryPipe(UsbHandle iface, uint8_t, uint8_t index, UsbPipeInformation* out) {
  if (!interfaces_.count(Key(iface))) return Fails(kErrInvalidHandle);
  if (index >= pipes_.size()) return Fails(kErrNoMoreItems);
  *out = {pipes_[index].type, pipes_[index].id, kMaxPacket, 0};
  return 1;
}

UsbBool FakeWinUsb::SetPipePolicy(UsbHandle iface, uint8_t pipe, uint32_t type, uint32_t length, void* value) {
  if (!interfaces_.count(Key(iface))) return Fails(kErrInvalidHandle);
  uint32_t v = 0;
  std::memcpy(&v, value, std::min<uint32_t>(length, sizeof v));
  policies_.push_back({pipe, type, length, v});
  if (type == kPolicyPipeTransferTimeout) pipe_timeouts_[pipe] = v;
  return 1;
}

UsbBool FakeWinUsb::PipeCall(const char* name, UsbHandle iface, uint8_t pipe) {
  if (!interfaces_.count(Key(iface))) return Fails(kErrInvalidHandle);
  calls_.push_back(std::string(name) + " " + Hex(pipe));
  if (std::strcmp(name, "AbortPipe") == 0) {
    // The aborted read completes later, as on the real stack; its owner must wait for it. What
    // had reached it by now stays in its count.
    for (auto& [ov, t] : transfers_) {
      if (t.pipe != pipe || t.done) continue;
      Progress(t);
      t.aborted = !t.done;
    }
  }
  return 1;
}

UsbBool FakeWinUsb::ReadPipe(UsbHandle iface, uint8_t pipe, uint8_t* buffer, uint32_t length, uint32_t* transferred,
                             UsbOverlapped* overlapped) {
  if (!interfaces_.count(Key(iface))) return Fails(kErrInvalidHandle);
  calls_.push_back("ReadPipe " + Hex(pipe) + " " + std::to_string(length));
  if (!overlapped) NoteMisuse("read without an overlapped record");
  if (length == 0) NoteMisuse("zero-byte read");
  if (!(pipe & 0x80)) NoteMisuse("read on an OUT pipe");
  if (Failing(Call::kReadPipe)) return 0;
  if (!overlapped) return Fails(kErrInvalidParameter);
  auto it = transfers_.find(overlapped);
  if (it != transfers_.end() && !it->second.done) NoteMisuse("overlapped record reused while its read is in flight");
  Transfer t;
  t.pipe = pipe;
  t.event = overlapped->event;
  t.buffer = buffer;
  t.length = length;
  t.start = clock_.Now();
  t.timeout = PipeTimeout(pipe);
  transfers_[overlapped] = t;
  if (transferred) *transferred = 0;
  return Fails(kErrIoPending);
}

UsbBool FakeWinUsb::WritePipe(UsbHandle iface, uint8_t pipe, uint8_t* buffer, uint32_t length, uint32_t* transferred,
                              UsbOverlapped* overlapped) {
  if (!interfaces_.count(Key(iface))) return Fails(kErrInvalidHandle);
  if (overlapped) NoteMisuse("overlapped write");
  if (pipe & 0x80) NoteMisuse("write on an IN pipe");
  if (Failing(Call::kWritePipe)) return 0;
  if (keep_writes_) written_.insert(written_.end(), buffer, buffer + length);
  *transferred = length;
  if (on_write_) on_write_(buffer, length);
  return 1;
}

void FakeWinUsb::Progress(Transfer& t) {
  if (t.done) return;
  if (t.aborted) {
    t.done = true;
    t.status = kErrOperationAborted;
    return;
  }
  if (service_) service_();
  // Looked at late, the transfer still takes only what came before its time-out.
  const uint32_t now = clock_.Now();
  const bool timed_out = t.timeout != 0 && Until(t.start + t.timeout, now) >= 0;
  const uint32_t until = timed_out ? t.start + t.timeout : now;
  bool ended = false;
  while (!ended && t.transferred < t.length && !arrivals_.empty() && Until(until, arrivals_.front().tick) <= 0) {
    auto& bytes = arrivals_.front().bytes;
    const uint32_t n = std::min<uint32_t>(t.length - t.transferred, static_cast<uint32_t>(bytes.size()));
    if (n != 0) std::memcpy(t.buffer + t.transferred, bytes.data(), n);  // a zero-length packet has no bytes
    t.transferred += n;
    bytes.erase(bytes.begin(), bytes.begin() + n);
    // Partial reads are allowed: the rest of a packet that did not fit waits for the next read.
    if (!bytes.empty()) break;
    ended = arrivals_.front().is_short;
    arrivals_.pop_front();
  }
  if (ended || t.transferred == t.length) {
    t.done = true;
  } else if (timed_out) {
    t.done = true;  // what moved before the time-out is reported with it
    t.status = kErrSemTimeout;
  }
}

bool FakeWinUsb::NextEvent(const Transfer& t, uint32_t& when) const {
  bool any = false;
  const uint32_t now = clock_.Now();
  auto consider = [&](uint32_t at) {
    if (Until(now, at) < 0) at = now;
    if (!any || Until(when, at) < 0) when = at;
    any = true;
  };
  if (t.aborted) consider(now);
  if (!arrivals_.empty()) consider(arrivals_.front().tick);
  if (t.timeout != 0) consider(t.start + t.timeout);
  return any;
}

bool FakeWinUsb::WaitEvent(UsbHandle event, uint32_t ms) {
  Transfer* t = TransferOf(event);
  if (!t) {
    clock_.Advance(ms);  // nothing will signal it
    return false;
  }
  const uint32_t deadline = clock_.Now() + ms;
  Progress(*t);
  // Packets that do not end the transfer keep it waiting; each step moves data or ends it.
  uint32_t when = 0;
  while (!t->done && NextEvent(*t, when) && Until(when, deadline) >= 0) {
    clock_.Set(when);
    Progress(*t);
  }
  if (!t->done) {
    clock_.Set(deadline);  // a peer answers only once time has passed
    Progress(*t);
  }
  return t->done;
}

UsbBool FakeWinUsb::GetOverlappedResult(UsbHandle iface, UsbOverlapped* overlapped, uint32_t* transferred,
                                        UsbBool wait) {
  if (!interfaces_.count(Key(iface))) return Fails(kErrInvalidHandle);
  auto it = transfers_.find(overlapped);
  if (it == transfers_.end()) {
    NoteMisuse("result of a read never started");
    return Fails(kErrInvalidParameter);
  }
  Transfer& t = it->second;
  if (!t.done && Failing(Call::kGetOverlappedResult)) {
    t.done = true;
    t.status = last_error_;
  }
  Progress(t);
  if (!t.done && wait) {
    uint32_t when = 0;
    while (!t.done && NextEvent(t, when)) {
      clock_.Set(when);
      Progress(t);
    }
    if (!t.done) {
      NoteMisuse("waited for a read that never ends");
      return Fails(kErrIoIncomplete);
    }
  }
  if (!t.done) return Fails(kErrIoIncomplete);
  // A finished record keeps its result until a new read starts on it; the count is reported
  // whatever the status.
  *transferred = t.transferred;
  if (t.status != 0) return Fails(t.status);
  last_error_ = 0;
  return 1;
}

}  // namespace korvane::test
