#include "support/fake_rdp_channel.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace korvane::test {

Bytes BytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes ControlMessage(std::string_view text) {
  Bytes message(1 + text.size());
  message[0] = kRdpControlMessage;
  std::copy(text.begin(), text.end(), message.begin() + 1);
  return message;
}

namespace {

void PutLittleEndian32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A message cut as the platform cuts it: chunks with first/last flags.
template <typename Each>
void ForEachChunk(const Bytes& message, Each each) {
  for (size_t at = 0; at < message.size(); at += kRdpChunkSize) {
    const size_t n = std::min<size_t>(kRdpChunkSize, message.size() - at);
    uint32_t flags = 0;
    if (at == 0) flags |= kRdpChannelFlagFirst;
    if (at + n == message.size()) flags |= kRdpChannelFlagLast;
    each(
        Bytes(message.begin() + static_cast<std::ptrdiff_t>(at), message.begin() + static_cast<std::ptrdiff_t>(at + n)),
        flags);
  }
}

}  // namespace

class FakeRdpChannel::ServerEnd final : public WtsChannelApi {
 public:
  explicit ServerEnd(FakeRdpChannel& fake) : fake_(fake) {}
  Handle Open(const std::string& channel_name, uint32_t& err) override {
    std::lock_guard<std::mutex> hold(fake_.lock_);
    if (fake_.server_open_error_ || channel_name != kRdpChannelName) {
      err = fake_.server_open_error_;
      return nullptr;
    }
    fake_.server_open_ = true;
    ++fake_.server_opens_;
    return &fake_;
  }
  bool Close(Handle) override {
    std::lock_guard<std::mutex> hold(fake_.lock_);
    fake_.server_open_ = false;
    return true;
  }
  bool Read(Handle, uint32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& read, uint32_t& err) override {
    return fake_.ServerRead(timeout_ms, buffer, size, read, err);
  }
  bool Write(Handle, const uint8_t* data, uint32_t length, uint32_t& written, uint32_t&) override {
    return fake_.ServerWrite(data, length, written);
  }

 private:
  FakeRdpChannel& fake_;
};

FakeRdpChannel::FakeRdpChannel(ManualClock* clock) : clock_(clock), thread_([this] { ClientThread(); }) {}

FakeRdpChannel::~FakeRdpChannel() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    changed_.notify_all();
  }
  thread_.join();
}

std::unique_ptr<WtsChannelApi> FakeRdpChannel::ServerApi() { return std::make_unique<ServerEnd>(*this); }

void FakeRdpChannel::Post(std::function<void()> event) {
  std::lock_guard<std::mutex> hold(lock_);
  events_.push_back(std::move(event));
  changed_.notify_all();
}

void FakeRdpChannel::ClientThread() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return stopping_ || (!held_ && !events_.empty()); });
    if (stopping_ && (held_ || events_.empty())) return;
    auto event = std::move(events_.front());
    events_.pop_front();
    delivering_ = true;
    hold.unlock();
    event();
    hold.lock();
    delivering_ = false;
    changed_.notify_all();
  }
}

void FakeRdpChannel::HoldEvents(bool hold) {
  std::lock_guard<std::mutex> lock(lock_);
  held_ = hold;
  changed_.notify_all();
}

void FakeRdpChannel::Settle() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return events_.empty() && !delivering_; });
}

uint32_t FakeRdpChannel::Init(void** init_handle, rdp::ChannelDef* channels, int32_t count, uint32_t,
                              rdp::ChannelEvents* events) {
  std::lock_guard<std::mutex> hold(lock_);
  channels_.assign(channels, channels + count);
  if (init_result_) return init_result_;
  *init_handle = this;
  init_sink_ = events;
  events_.push_back([this, events] { events->InitEvent(this, rdp::kEventInitialized, nullptr, 0); });
  changed_.notify_all();
  return rdp::kChannelRcOk;
}

uint32_t FakeRdpChannel::Open(void* init_handle, uint32_t* open_handle, const char* name, rdp::ChannelEvents* events) {
  std::lock_guard<std::mutex> hold(lock_);
  if (open_result_) return open_result_;
  if (init_handle != this || std::strcmp(name, kRdpChannelName) != 0) return kFakeChannelRcNotOpen;
  open_handle_ = *open_handle = ++next_handle_;
  open_sink_ = events;
  cancel_writes_ = false;
  return rdp::kChannelRcOk;
}

uint32_t FakeRdpChannel::Close(uint32_t open_handle) {
  std::lock_guard<std::mutex> hold(lock_);
  if (open_handle != open_handle_ || !open_handle_) return kFakeChannelRcNotOpen;
  open_handle_ = 0;
  ++client_closes_;
  return rdp::kChannelRcOk;
}

uint32_t FakeRdpChannel::Write(uint32_t open_handle, void* data, uint32_t length, void* user_data) {
  std::lock_guard<std::mutex> hold(lock_);
  if (client_write_result_) return client_write_result_;
  if (!open_handle_ || open_handle != open_handle_) return kFakeChannelRcNotOpen;
  if (user_data) ++handed_;
  rdp::ChannelEvents* sink = open_sink_;
  // The client sends the buffer later, so it is read only when the write goes out.
  events_.push_back([this, sink, open_handle, data, length, user_data] {
    bool cancelled;
    {
      std::lock_guard<std::mutex> hold(lock_);
      cancelled = cancel_writes_;
      if (!cancelled) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        client_writes_.emplace_back(bytes, bytes + length);
        QueueToServer(client_writes_.back());
      }
      if (user_data) ++returned_;
    }
    sink->OpenEvent(open_handle, cancelled ? rdp::kEventWriteCancelled : rdp::kEventWriteComplete, user_data, length,
                    length, 0);
  });
  changed_.notify_all();
  return rdp::kChannelRcOk;
}

void FakeRdpChannel::SetServerOpenError(uint32_t err) {
  std::lock_guard<std::mutex> hold(lock_);
  server_open_error_ = err;
}
void FakeRdpChannel::SetInitResult(uint32_t rc) {
  std::lock_guard<std::mutex> hold(lock_);
  init_result_ = rc;
}
void FakeRdpChannel::SetOpenResult(uint32_t rc) {
  std::lock_guard<std::mutex> hold(lock_);
  open_result_ = rc;
}
void FakeRdpChannel::SetClientWriteResult(uint32_t rc) {
  std::lock_guard<std::mutex> hold(lock_);
  client_write_result_ = rc;
}

void FakeRdpChannel::InitEvent(uint32_t event, Bytes data) {
  Post([this, event, data] {
    rdp::ChannelEvents* sink;
    {
      std::lock_guard<std::mutex> hold(lock_);
      sink = init_sink_;
    }
    if (sink) sink->InitEvent(this, event, data.empty() ? nullptr : data.data(), static_cast<uint32_t>(data.size()));
  });
}

void FakeRdpChannel::Connect(const std::u16string& server_name) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    server_read_error_ = 0;
  }
  Bytes name((server_name.size() + 1) * sizeof(char16_t));
  std::memcpy(name.data(), server_name.c_str(), name.size());
  InitEvent(rdp::kEventConnected, name);
}

void FakeRdpChannel::Disconnect() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    cancel_writes_ = true;
    server_read_error_ = kFakeChannelBrokenError;
    changed_.notify_all();
  }
  InitEvent(rdp::kEventDisconnected, {});
}

void FakeRdpChannel::ChunkToClient(Bytes chunk, uint32_t total_length, uint32_t flags) {
  std::lock_guard<std::mutex> hold(lock_);
  QueueChunkToClient(std::move(chunk), total_length, flags);
}

void FakeRdpChannel::QueueChunkToClient(Bytes chunk, uint32_t total_length, uint32_t flags) {
  events_.push_back([this, chunk, total_length, flags]() mutable {
    rdp::ChannelEvents* sink;
    uint32_t handle;
    {
      std::lock_guard<std::mutex> hold(lock_);
      sink = open_sink_;
      handle = open_handle_;
    }
    if (sink && handle)
      sink->OpenEvent(handle, rdp::kEventDataReceived, chunk.data(), static_cast<uint32_t>(chunk.size()), total_length,
                      flags);
  });
  changed_.notify_all();
}

void FakeRdpChannel::QueueToServer(const Bytes& message) {
  ForEachChunk(message, [&](Bytes chunk, uint32_t flags) {
    Bytes framed;
    PutLittleEndian32(framed, static_cast<uint32_t>(message.size()));
    PutLittleEndian32(framed, flags);
    framed.insert(framed.end(), chunk.begin(), chunk.end());
    to_server_.push_back(std::move(framed));
  });
  changed_.notify_all();
}

void FakeRdpChannel::ChunkToServer(const Bytes& payload, uint32_t flags, uint32_t total_length) {
  Bytes framed;
  PutLittleEndian32(framed, total_length ? total_length : static_cast<uint32_t>(payload.size()));
  PutLittleEndian32(framed, flags);
  framed.insert(framed.end(), payload.begin(), payload.end());
  RawToServer(std::move(framed));
}

void FakeRdpChannel::RawToServer(Bytes bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  to_server_.push_back(std::move(bytes));
  changed_.notify_all();
}

bool FakeRdpChannel::ServerRead(uint32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& read, uint32_t& err) {
  std::unique_lock<std::mutex> hold(lock_);
  ++server_reads_;
  read = 0;
  // A zero wait only looks: even a wait that has timed out already costs a trip through the scheduler.
  if (!clock_ && timeout_ms > 0)
    changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                      [this] { return !to_server_.empty() || server_read_error_ != 0; });
  if (server_read_error_ && to_server_.empty()) {
    err = server_read_error_;
    return false;
  }
  if (to_server_.empty()) {
    if (clock_) clock_->Advance(timeout_ms);
    err = kErrIoIncomplete;
    return false;
  }
  const Bytes chunk = std::move(to_server_.front());
  to_server_.pop_front();
  read = std::min<uint32_t>(size, static_cast<uint32_t>(chunk.size()));
  std::memcpy(buffer, chunk.data(), read);
  return true;
}

bool FakeRdpChannel::ServerWrite(const uint8_t* data, uint32_t length, uint32_t& written) {
  std::lock_guard<std::mutex> hold(lock_);
  server_writes_.emplace_back(data, data + length);
  written = length;
  if (!open_handle_ || !open_sink_) return true;  // nobody listening on the client
  ForEachChunk(server_writes_.back(),
               [&](Bytes chunk, uint32_t flags) { QueueChunkToClient(std::move(chunk), length, flags); });
  return true;
}

std::vector<Bytes> FakeRdpChannel::ServerWrites() {
  std::lock_guard<std::mutex> hold(lock_);
  return server_writes_;
}
std::vector<Bytes> FakeRdpChannel::ClientWrites() {
  std::lock_guard<std::mutex> hold(lock_);
  return client_writes_;
}
int FakeRdpChannel::ServerReads() {
  std::lock_guard<std::mutex> hold(lock_);
  return server_reads_;
}
int FakeRdpChannel::ServerOpens() {
  std::lock_guard<std::mutex> hold(lock_);
  return server_opens_;
}
bool FakeRdpChannel::ServerOpen() {
  std::lock_guard<std::mutex> hold(lock_);
  return server_open_;
}
bool FakeRdpChannel::ClientOpen() {
  std::lock_guard<std::mutex> hold(lock_);
  return open_handle_ != 0;
}
int FakeRdpChannel::ClientCloses() {
  std::lock_guard<std::mutex> hold(lock_);
  return client_closes_;
}
std::vector<rdp::ChannelDef> FakeRdpChannel::Channels() {
  std::lock_guard<std::mutex> hold(lock_);
  return channels_;
}
int FakeRdpChannel::BuffersHanded() {
  std::lock_guard<std::mutex> hold(lock_);
  return handed_;
}
int FakeRdpChannel::BuffersReturned() {
  std::lock_guard<std::mutex> hold(lock_);
  return returned_;
}

}  // namespace korvane::test
