// Both ends of a Remote Desktop static channel in one process: the server's channel functions
// (for kind-6 ports) and the client's entry points (for the add-in). Messages travel in chunks of
// at most 1600 bytes with first/last flags and the total length; server reads get each chunk
// after its 8-byte header; the add-in's callbacks run on a client thread of the fake; write
// completions return the write's user data, and writes still pending at a disconnect come back
// cancelled.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ticks.h"
#include "port/rdp_channel.h"
#include "rdp/channel_client_api.h"

namespace korvane::test {

using Bytes = std::vector<uint8_t>;
Bytes BytesOf(std::string_view text);
// A control message: the type byte and the text.
Bytes ControlMessage(std::string_view text);

// What the server's reads report once the client has disconnected.
constexpr uint32_t kFakeChannelBrokenError = 233;
constexpr uint32_t kFakeChannelRcNotOpen = 10;

class FakeRdpChannel final : public rdp::ChannelClientApi {
 public:
  // With `clock`, a server read that finds nothing moves the clock by its wait instead of waiting.
  explicit FakeRdpChannel(ManualClock* clock = nullptr);
  ~FakeRdpChannel() override;

  // The server end: every call gives a fresh function table over this channel.
  std::unique_ptr<WtsChannelApi> ServerApi();
  WtsChannelApiSource ServerSource() {
    return [this] { return ServerApi(); };
  }

  // The client end, called by the add-in.
  uint32_t Init(void** init_handle, rdp::ChannelDef* channels, int32_t count, uint32_t version,
                rdp::ChannelEvents* events) override;
  uint32_t Open(void* init_handle, uint32_t* open_handle, const char* name, rdp::ChannelEvents* events) override;
  uint32_t Close(uint32_t open_handle) override;
  uint32_t Write(uint32_t open_handle, void* data, uint32_t length, void* user_data) override;

  // Injected results (0: success).
  void SetServerOpenError(uint32_t err);
  void SetInitResult(uint32_t rc);
  void SetOpenResult(uint32_t rc);
  void SetClientWriteResult(uint32_t rc);

  // Events to the add-in, delivered in order on the client thread.
  void Connect(const std::u16string& server_name = u"TS01");
  void Disconnect();
  void InitEvent(uint32_t event, Bytes data);
  // One chunk to the add-in as the client would hand it over.
  void ChunkToClient(Bytes chunk, uint32_t total_length, uint32_t flags);
  // A chunk the server's next read returns: `payload` after a header with `flags`; or raw bytes.
  void ChunkToServer(const Bytes& payload, uint32_t flags, uint32_t total_length = 0);
  void RawToServer(Bytes bytes);
  // Waits until the client thread has delivered everything queued so far.
  void Settle();
  // While held, events queue up undelivered (the client busy elsewhere).
  void HoldEvents(bool hold);

  // What each end wrote, message by message, and counters.
  std::vector<Bytes> ServerWrites();
  std::vector<Bytes> ClientWrites();
  int ServerReads();
  int ServerOpens();
  bool ServerOpen();
  bool ClientOpen();
  // Successful client closes of an open channel.
  int ClientCloses();
  std::vector<rdp::ChannelDef> Channels();
  // Client writes that carried user data, and their completions (complete or cancelled).
  int BuffersHanded();
  int BuffersReturned();

 private:
  class ServerEnd;
  friend class ServerEnd;
  void Post(std::function<void()> event);
  void ClientThread();
  bool ServerRead(uint32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& read, uint32_t& err);
  bool ServerWrite(const uint8_t* data, uint32_t length, uint32_t& written);
  void QueueToServer(const Bytes& message);
  // Called with lock_ held.
  void QueueChunkToClient(Bytes chunk, uint32_t total_length, uint32_t flags);

  ManualClock* clock_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> events_;
  bool delivering_ = false;
  bool stopping_ = false;
  bool held_ = false;
  std::deque<Bytes> to_server_;
  std::vector<Bytes> server_writes_;
  std::vector<Bytes> client_writes_;
  std::vector<rdp::ChannelDef> channels_;
  rdp::ChannelEvents* init_sink_ = nullptr;
  rdp::ChannelEvents* open_sink_ = nullptr;
  uint32_t server_open_error_ = 0;
  uint32_t init_result_ = 0;
  uint32_t open_result_ = 0;
  uint32_t client_write_result_ = 0;
  uint32_t server_read_error_ = 0;
  uint32_t open_handle_ = 0;
  uint32_t next_handle_ = 0x70;
  bool server_open_ = false;
  bool cancel_writes_ = false;
  int server_reads_ = 0;
  int server_opens_ = 0;
  int client_closes_ = 0;
  int handed_ = 0;
  int returned_ = 0;
  std::thread thread_;
};

// Installs a fake's server end for kind-6 ports for the scope.
class ScopedChannelServer {
 public:
  explicit ScopedChannelServer(FakeRdpChannel& fake) { SetWtsChannelApiSource(fake.ServerSource()); }
  ~ScopedChannelServer() { SetWtsChannelApiSource(nullptr); }
};

}  // namespace korvane::test
