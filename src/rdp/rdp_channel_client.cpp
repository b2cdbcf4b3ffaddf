#include "rdp/rdp_channel_client.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "log/addin_trace.h"
#include "platform/errors.h"
#include "platform/module_thread.h"
#include "platform/wts_channel.h"
#include "port/link_port.h"
#include "port/port_names.h"
#include "port/rdp_channel.h"

namespace korvane::rdp {

namespace {

constexpr uint32_t kTraceErrors = 0;
constexpr uint32_t kTraceLifeCycle = 1;
constexpr uint32_t kTraceChannel = 2;
constexpr uint32_t kTraceCallbacks = 3;
// A read back within this time found nothing to wait for (a port that never blocks): the reader
// then waits this long on its stop event instead of spinning.
constexpr uint32_t kQuickReadMs = 10;
constexpr uint32_t kIdlePauseMs = 10;
constexpr size_t kSettingsValueBytes = 2048;
inline constexpr std::string_view kOpenPrefix = "OPEN";
inline constexpr std::string_view kClosePrefix = "CLOSE";
constexpr uint8_t kOpenOkMessage[] = {kRdpControlMessage, 'O', 'P', 'E', 'N', '-', 'O', 'K'};
constexpr const char* kServerNameUnknown = "<unknown>";

std::atomic<int64_t> g_buffers_outstanding{0};

uint8_t* NewChannelBuffer(uint32_t size) {
  auto* buffer = new uint8_t[size]();
  ++g_buffers_outstanding;
  return buffer;
}

void FreeChannelBuffer(void* buffer) {
  if (!buffer) return;
  delete[] static_cast<uint8_t*>(buffer);
  --g_buffers_outstanding;
}

AddinTrace& Trace() { return AddinTrace::Instance(); }

// Called inside a catch block: traces what was caught and gives the error number an "ERROR:"
// reply carries for it.
uint32_t TraceCaught(unsigned line) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc& e) {
    Trace().TraceException(e.what(), __FILE__, line);
    return kErrNotEnoughMemory;
  } catch (const std::exception& e) {
    Trace().TraceException(e.what(), __FILE__, line);
  } catch (...) {
    Trace().TraceException(nullptr, __FILE__, line);
  }
  return kErrNoHandle;  // what the port layer reports for an exception raised inside it
}

// A channel buffer the reader still holds; it goes back to the heap on every way out.
struct HeldBuffer {
  uint8_t* data = nullptr;
  ~HeldBuffer() { FreeChannelBuffer(data); }
};

unsigned long long Address(const void* p) { return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)); }

uint32_t Elapsed(std::chrono::steady_clock::time_point since) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

std::string ServerName(const void* data, uint32_t length) {
  if (!data || length == 0) return kServerNameUnknown;
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (length > 2 && bytes[1] == 0) {
    std::u16string wide(length / 2, u'\0');
    std::memcpy(wide.data(), bytes, wide.size() * sizeof(char16_t));
    wide.resize(std::min(wide.size(), wide.find(u'\0')));
    return AnsiFromUtf16(wide.data(), wide.size());
  }
  std::string name(reinterpret_cast<const char*>(bytes), length);
  return name.substr(0, name.find('\0'));
}

}  // namespace

struct RdpChannelClient::Reader {
  ModuleThread thread;
  StopEvent stop;
  std::mutex lock;
  std::condition_variable ended_signal;
  bool ended = false;
  // Set when the close gave up waiting: the reader then closes the port itself when it ends.
  bool owns_port = false;
  bool Abandoned() {
    std::lock_guard<std::mutex> hold(lock);
    return owns_port;
  }
};

void StopEvent::Set() {
  std::lock_guard<std::mutex> hold(lock_);
  set_ = true;
  signalled_.notify_all();
}

void StopEvent::Reset() {
  std::lock_guard<std::mutex> hold(lock_);
  set_ = false;
}

bool StopEvent::Wait(uint32_t ms) {
  std::unique_lock<std::mutex> hold(lock_);
  if (!signalled_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return set_; })) return false;
  set_ = false;
  return true;
}

int32_t LocalPortConnection::Open(const std::string& name, const LocalPortOpener& opener, uint32_t& err) {
  stream_.Attach(nullptr);
  if (port_) tsClosePort(port_);
  port_ = nullptr;
  name_ = name;
  std::string resolved = name;
  const uint32_t kind = ResolvePortKind(resolved);
  // The server cuts a TSCLIENT name at its colons, so a remote address comes as LAN;host;port.
  if (kind == Lan) {
    const auto pieces = SplitDroppingEmpty(name, ";,");
    if (pieces.size() >= 3) resolved = pieces[1] + ":" + pieces[2];
  }
  uint32_t e = 0;
  port_ = opener ? opener(resolved, kind, &e) : tsOpenPort(resolved, kind, &e);
  if (!port_) {
    err = e;
    return kOpenLocalPortFailed;
  }
  stream_.Attach(port_->port);
  return 0;
}

bool LocalPortConnection::Close() {
  if (!port_) return false;
  stream_.Attach(nullptr);
  try {
    tsClosePort(port_);
  } catch (...) {
    Trace().TraceException(nullptr, __FILE__, __LINE__);
  }
  port_ = nullptr;
  return true;
}

int32_t LocalPortConnection::Read(int32_t timeout_ms, uint8_t* buffer, uint32_t capacity, uint32_t& count,
                                  uint32_t& err) {
  stream_.Read(timeout_ms, buffer, capacity, count, err);
  if (err == 0) return 0;
  Trace().TraceFormat(kTraceErrors, "Ошибка чтения данных из локального порта \"%s\", err=%u", name_.c_str(), err);
  return kLocalPortIoFailed;
}

int32_t LocalPortConnection::Write(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err) {
  stream_.Write(timeout_ms, data, length, err);
  if (err == 0) return 0;
  Trace().TraceFormat(kTraceErrors, "Ошибка отправки данных в локальный порт \"%s\", err=%u", name_.c_str(), err);
  return kLocalPortIoFailed;
}

RdpChannelClient::RdpChannelClient() : connection_(std::make_shared<LocalPortConnection>()) {}

RdpChannelClient::~RdpChannelClient() {
  CloseLocalPort();
  if (api_ && open_handle_ && init_handle_) api_->Close(open_handle_.exchange(0));
}

RdpChannelClient& RdpChannelClient::Instance() {
  // Never destroyed: the library's unload calls Unload instead, which waits for nothing.
  static RdpChannelClient* client = new RdpChannelClient;
  return *client;
}

void RdpChannelClient::SetPortOpener(LocalPortOpener opener) {
  std::lock_guard<std::recursive_mutex> hold(port_lock_);
  opener_ = std::move(opener);
}

std::string RdpChannelClient::LocalPortName() {
  std::lock_guard<std::recursive_mutex> hold(port_lock_);
  return local_port_;
}

bool RdpChannelClient::ReaderRunning() {
  std::lock_guard<std::recursive_mutex> hold(port_lock_);
  if (!reader_) return false;
  std::lock_guard<std::mutex> state(reader_->lock);
  return !reader_->ended;
}

int64_t RdpChannelClient::BuffersOutstanding() { return g_buffers_outstanding.load(); }

bool RdpChannelClient::Entry(const SettingsStore& settings, const void* table, uint32_t table_size,
                             uint32_t required_size, ChannelClientApi* api) {
  std::string port = LocalPortName();
  Trace().Configure(settings, &port);
  if (port.size() < kSettingsValueBytes) {
    std::lock_guard<std::recursive_mutex> hold(port_lock_);
    local_port_ = port;
  }
  if (!table) {
    Trace().TraceFormat(kTraceErrors, "Bad pEntryPoints=0x%8.8llX, sz=<?>", Address(table));
    return false;
  }
  if (table_size < required_size) {
    Trace().TraceFormat(kTraceErrors, "Bad pEntryPoints=0x%8.8llX, sz=%u", Address(table), table_size);
    return false;
  }
  api_ = api;
  ChannelDef channel;
  std::strncpy(channel.name, kRdpChannelName, sizeof channel.name);
  channel.options = kChannelOptions;
  void* init_handle = nullptr;
  const uint32_t rc = api_->Init(&init_handle, &channel, 1, kVirtualChannelVersion, this);
  if (rc == kChannelRcOk) {
    init_handle_ = init_handle;
    return true;
  }
  if (rc == kChannelRcTooManyChannels)
    Trace().TraceWrite(kTraceErrors, "Init error, ret = CHANNEL_RC_TOO_MANY_CHANNELS");
  else
    Trace().TraceFormat(kTraceErrors, "Init error, ret = %u", rc);
  return false;
}

void RdpChannelClient::InitEvent(void* init_handle, uint32_t event, const void* data, uint32_t length) noexcept {
  try {
    HandleInitEvent(init_handle, event, data, length);
  } catch (...) {
    TraceCaught(__LINE__);
  }
}

void RdpChannelClient::HandleInitEvent(void* init_handle, uint32_t event, const void* data, uint32_t length) {
  Trace().TraceFormat(kTraceCallbacks,
                      "VirtualChannelInitEvent(pInitHandle=%llX, nEvent=%u, pData=0x%8.8llX, dataLength=%u)",
                      Address(init_handle), event, Address(data), length);
  switch (event) {
    case kEventInitialized: Trace().TraceWrite(kTraceLifeCycle, "[Init-Event = CHANNEL_EVENT_INITIALIZED]"); break;
    case kEventConnected: {
      const std::string server = ServerName(data, length);
      Trace().TraceFormat(kTraceLifeCycle, "[Init-Event = CHANNEL_EVENT_CONNECTED] server name = %s", server.c_str());
      OpenChannel();
      break;
    }
    case kEventV1Connected:
      Trace().TraceWrite(kTraceLifeCycle,
                         "[Init-Event = CHANNEL_EVENT_V1_CONNECTED, virtual channels does not supported by server]");
      break;
    case kEventDisconnected:
      Trace().TraceWrite(kTraceLifeCycle, "[Init-Event = CHANNEL_EVENT_DISCONNECTED]");
      CloseLocalPort();
      if (api_ && open_handle_ && init_handle_) api_->Close(open_handle_.exchange(0));
      break;
    case kEventTerminated:
      Trace().TraceWrite(kTraceLifeCycle, "[Init-Event = CHANNEL_EVENT_TERMINATED]");
      // The client unloads the add-in next, and the unload must not wait for the reader.
      CloseLocalPort();
      break;
    default: Trace().TraceFormat(kTraceLifeCycle, "[untraced Init-Event = %u]", event); break;
  }
}

void RdpChannelClient::OpenChannel() {
  void* init_handle = init_handle_;
  if (!init_handle || !api_) return;
  CloseLocalPort();
  if (open_handle_) api_->Close(open_handle_.exchange(0));
  uint32_t handle = 0;
  const uint32_t rc = api_->Open(init_handle, &handle, kRdpChannelName, this);
  open_handle_ = handle;
  if (rc != kChannelRcOk) Trace().TraceFormat(kTraceErrors, "Error open RDP vitual channel, ret = %u", rc);
}

void RdpChannelClient::OpenEvent(uint32_t open_handle, uint32_t event, void* data, uint32_t length,
                                 uint32_t total_length, uint32_t flags) noexcept {
  try {
    Trace().TraceFormat(kTraceCallbacks,
                        "VirtualChannelOpenEvent(openHandle=%u, nEvent=%u, pData=%llX, dataLength=%u, totalLength=%u, "
                        "dataFlags=%u)",
                        open_handle, event, Address(data), length, total_length, flags);
    HandleOpenEvent(event, data, length, flags);
  } catch (...) {
    TraceCaught(__LINE__);
  }
}

void RdpChannelClient::HandleOpenEvent(uint32_t event, void* data, uint32_t length, uint32_t flags) {
  switch (event) {
    case kEventDataReceived: {
      Trace().TraceWrite(kTraceChannel, "[nEvent = CHANNEL_EVENT_DATA_RECEIVED]");
      if (length == 0 || !data) return;
      const auto* bytes = static_cast<const uint8_t*>(data);
      if (!(flags & kRdpChannelFlagFirst)) {
        WriteToLocalPort(bytes, length);
      } else if (bytes[0] == kRdpControlMessage) {
        // The text has no terminator: it ends with the chunk.
        const std::string text(reinterpret_cast<const char*>(bytes + 1), length - 1);
        Trace().TraceFormat(kTraceChannel, "[SERVER] Recv-notify: \"%s\"", text.c_str());
        HandleControl(text);
      } else {
        WriteToLocalPort(bytes + 1, length - 1);
      }
      break;
    }
    case kEventWriteComplete:
    case kEventWriteCancelled:
      // Freed first: the buffer comes back whatever the trace line costs.
      FreeChannelBuffer(data);
      Trace().TraceWrite(kTraceChannel, event == kEventWriteComplete ? "[nEvent = CHANNEL_EVENT_WRITE_COMPLETE]"
                                                                     : "[nEvent = CHANNEL_EVENT_WRITE_CANCELLED]");
      break;
    default: break;
  }
}

void RdpChannelClient::HandleControl(const std::string& text) {
  if (text.compare(0, kOpenPrefix.size(), kOpenPrefix) == 0) {
    uint32_t err = 0;
    int32_t opened = kOpenLocalPortFailed;
    try {
      {
        std::lock_guard<std::recursive_mutex> hold(port_lock_);
        const auto pieces = SplitDroppingEmpty(text, ":");
        if (pieces.size() >= 2) local_port_ = pieces[1];
      }
      opened = OpenLocalPort(err);
    } catch (...) {
      err = TraceCaught(__LINE__);
    }
    if (opened == 0) {
      // Static storage, no user data: nothing to free when the write completes.
      if (api_) api_->Write(open_handle_, const_cast<uint8_t*>(kOpenOkMessage), sizeof kOpenOkMessage, nullptr);
    } else {
      SendErrorMessage(err);
    }
  } else if (text.compare(0, kClosePrefix.size(), kClosePrefix) == 0) {
    CloseLocalPort();
  } else {
    Trace().TraceFormat(kTraceLifeCycle, "Unknown notify: \"%s\"", text.c_str());
  }
}

int32_t RdpChannelClient::OpenLocalPort(uint32_t& err) {
  std::lock_guard<std::recursive_mutex> hold(port_lock_);
  err = 0;
  CloseLocalPort();
  Trace().TraceFormat(kTraceLifeCycle, "Open local port: \"%s\"", local_port_.c_str());
  if (connection_->Open(local_port_, opener_, err) == 0) {
    uint32_t start_err = reader_start_failure_;
    try {
      auto reader = std::make_shared<Reader>();
      if (start_err == 0 &&
          reader->thread.Start([this, reader, connection = connection_] { ReaderMain(reader, connection); },
                               start_err)) {
        reader_ = std::move(reader);
        return 0;
      }
    } catch (...) {
      start_err = TraceCaught(__LINE__);
    }
    // A port without its reader would never be heard: it does not stay open.
    connection_->Close();
    err = start_err;
  }
  Trace().TraceFormat(kTraceErrors, "Ошибка открытия локального порта \"%s\", err=%u", local_port_.c_str(), err);
  return kOpenLocalPortFailed;
}

void RdpChannelClient::CloseLocalPort() {
  std::lock_guard<std::recursive_mutex> hold(port_lock_);
  bool handed_to_reader = false;
  if (auto reader = std::move(reader_)) {
    reader->stop.Set();
    std::unique_lock<std::mutex> wait(reader->lock);
    if (reader->ended_signal.wait_for(wait, std::chrono::milliseconds(reader_stop_wait_ms_),
                                      [&] { return reader->ended; })) {
      wait.unlock();
      reader->thread.Join();
    } else {
      // A read stuck in the port: the reader keeps the port and closes it when it ends.
      reader->owns_port = true;
      reader->thread.Detach();
      handed_to_reader = true;
      Trace().TraceFormat(kTraceErrors, "Local port reader did not stop in %u ms; it closes \"%s\" when it ends",
                          reader_stop_wait_ms_, connection_->Name().c_str());
    }
  }
  if (!connection_->IsOpen()) return;
  Trace().TraceWrite(kTraceLifeCycle, "Close local port");
  if (handed_to_reader)
    connection_ = std::make_shared<LocalPortConnection>();
  else
    connection_->Close();
}

void RdpChannelClient::WriteToLocalPort(const uint8_t* data, uint32_t length) {
  std::lock_guard<std::recursive_mutex> hold(port_lock_);
  if (!connection_->IsOpen()) return;
  uint32_t err = 0;
  try {
    if (connection_->Write(kLocalWriteTimeoutMs, data, length, err) == 0) return;
  } catch (...) {
    err = TraceCaught(__LINE__);
  }
  SendErrorMessage(err);
}

void RdpChannelClient::SendErrorMessage(uint32_t code) {
  if (!open_handle_ || !init_handle_ || !api_) return;
  try {
    uint8_t* buffer = NewChannelBuffer(kErrorMessageBytes);
    buffer[0] = kRdpControlMessage;
    const int n = std::snprintf(reinterpret_cast<char*>(buffer + 1), kErrorMessageBytes - 1, "ERROR:%u", code);
    Trace().TraceFormat(kTraceErrors, "[SERVER] Send-notify: \"%s\"", reinterpret_cast<const char*>(buffer + 1));
    ChannelWrite(buffer, static_cast<uint32_t>(n) + 1);
  } catch (...) {
  }
}

void RdpChannelClient::ChannelWrite(uint8_t* buffer, uint32_t length) {
  const uint32_t rc = api_ ? api_->Write(open_handle_, buffer, length, buffer) : kChannelRcTooManyChannels;
  if (rc == kChannelRcOk) return;
  // A refused write gets no completion event, so the buffer is ours again.
  FreeChannelBuffer(buffer);
  Trace().TraceFormat(kTraceErrors, "Channel write refused, ret = %u; %u bytes dropped", rc, length);
}

void RdpChannelClient::ReaderLoop(Reader& reader, LocalPortConnection& connection) {
  if (reader.stop.Wait(0)) return;
  HeldBuffer buffer;
  for (;;) {
    if (!buffer.data) buffer.data = NewChannelBuffer(kLocalReadBlock + 1);
    uint32_t count = 0, err = 0;
    const auto asked = std::chrono::steady_clock::now();
    if (connection.Read(kLocalReadTimeoutMs, buffer.data + 1, kLocalReadBlock, count, err) != 0) {
      if (!reader.Abandoned()) SendErrorMessage(err);
      return;
    }
    if (count > 0) {
      // A reader left behind by its close may outlive the client's channel: it only closes its port.
      if (reader.Abandoned()) return;
      buffer.data[0] = kRdpDataMessage;
      ChannelWrite(std::exchange(buffer.data, nullptr), count + 1);
    } else if (Elapsed(asked) < kQuickReadMs) {
      if (reader.stop.Wait(kIdlePauseMs)) return;
      continue;
    }
    if (reader.stop.Wait(0)) return;
  }
}

void RdpChannelClient::ReaderMain(const std::shared_ptr<Reader>& reader,
                                  const std::shared_ptr<LocalPortConnection>& connection) {
  try {
    Trace().TraceWrite(kTraceLifeCycle, "-- thread started (local port reader)");
    ReaderLoop(*reader, *connection);
  } catch (...) {
    // The server is waiting on this port: tell it the reader is gone.
    const uint32_t err = TraceCaught(__LINE__);
    if (!reader->Abandoned()) SendErrorMessage(err);
  }
  try {
    Trace().TraceWrite(kTraceLifeCycle, "-- thread stopped (local port reader)");
  } catch (...) {
  }
  std::lock_guard<std::mutex> hold(reader->lock);
  if (reader->owns_port && connection->Close())
    Trace().TraceFormat(kTraceErrors, "Local port \"%s\" closed by its reader", connection->Name().c_str());
  reader->ended = true;
  reader->ended_signal.notify_all();
}

void RdpChannelClient::Unload() {
  // Every reader holds the module until it has ended, so the unload finds none running but,
  // perhaps, the one whose end gave the last reference back (on this very thread). A busy lock
  // means a client thread still inside a callback as the library goes, which nothing here can help.
  std::unique_lock<std::recursive_mutex> hold(port_lock_, std::try_to_lock);
  if (!hold.owns_lock()) {
    Trace().TraceWrite(kTraceErrors, "Unloaded during a channel callback; the local port is left to it");
    return;
  }
  if (auto reader = std::move(reader_)) {
    reader->stop.Set();
    // Even an ended thread cannot be joined here: its exit needs the loader lock.
    std::lock_guard<std::mutex> wait(reader->lock);
    reader->thread.Detach();
    if (!reader->ended) {
      reader->owns_port = true;
      connection_ = std::make_shared<LocalPortConnection>();
    }
  }
  connection_->Close();
  if (api_ && open_handle_ && init_handle_) api_->Close(open_handle_.exchange(0));
}

}  // namespace korvane::rdp
