// The Remote Desktop client add-in: the one channel it registers, the channel events, and the
// bridge that relays the channel's bytes to and from a port on the user's PC.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "frame/lvl_stream.h"
#include "frame/ts_port.h"
#include "platform/settings.h"
#include "rdp/channel_client_api.h"

namespace korvane::rdp {

// Opens a resolved local port; the default is tsOpenPort. Tests hand in their own.
using LocalPortOpener = std::function<TsPort*(const std::string& name, uint32_t kind, uint32_t* err)>;

constexpr uint32_t kLocalReadBlock = 6400;  // one channel message is the type byte and this block
constexpr int32_t kLocalReadTimeoutMs = 250;
constexpr int32_t kLocalWriteTimeoutMs = 15000;
constexpr uint32_t kReaderStopWaitMs = 10000;
constexpr uint32_t kErrorMessageBytes = 24;
inline constexpr const char* kDefaultLocalPort = "USB";
constexpr int32_t kOpenLocalPortFailed = -4;
constexpr int32_t kLocalPortIoFailed = -6;

// An auto-reset event.
class StopEvent {
 public:
  void Set();
  void Reset();
  // True when the event was signalled within `ms` (and resets it).
  bool Wait(uint32_t ms);

 private:
  std::mutex lock_;
  std::condition_variable signalled_;
  bool set_ = false;
};

// The local port: opened through the port layer and the frame protocol's open, read and written
// through a level stream.
class LocalPortConnection {
 public:
  ~LocalPortConnection() { Close(); }
  int32_t Open(const std::string& name, const LocalPortOpener& opener, uint32_t& err);
  // True when a port was open.
  bool Close();
  int32_t Read(int32_t timeout_ms, uint8_t* buffer, uint32_t capacity, uint32_t& count, uint32_t& err);
  int32_t Write(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err);
  bool IsOpen() const { return port_ != nullptr; }
  const std::string& Name() const { return name_; }

 private:
  std::string name_;
  TsPort* port_ = nullptr;
  CLvlStream stream_;
};

class RdpChannelClient final : public ChannelEvents {
 public:
  RdpChannelClient();
  ~RdpChannelClient();
  RdpChannelClient(const RdpChannelClient&) = delete;
  RdpChannelClient& operator=(const RdpChannelClient&) = delete;

  // The one add-in of the process.
  static RdpChannelClient& Instance();

  // VirtualChannelEntry. `table` is the client's entry-point table (null when none was given),
  // `table_size` its size field and `required_size` the size this build needs.
  bool Entry(const SettingsStore& settings, const void* table, uint32_t table_size, uint32_t required_size,
             ChannelClientApi* api);
  void SetPortOpener(LocalPortOpener opener);
  // How long a close waits for the reader before leaving the port to it (tests shorten it).
  void SetReaderStopWait(uint32_t ms) { reader_stop_wait_ms_ = ms; }
  // Tests play a system out of threads: a nonzero `err` fails every reader start with it.
  void FailReaderStarts(uint32_t err) { reader_start_failure_ = err; }

  // The client's callbacks: nothing thrown inside goes back into the client.
  void InitEvent(void* init_handle, uint32_t event, const void* data, uint32_t length) noexcept override;
  void OpenEvent(uint32_t open_handle, uint32_t event, void* data, uint32_t length, uint32_t total_length,
                 uint32_t flags) noexcept override;

  // The bridge.
  int32_t OpenLocalPort(uint32_t& err);
  void CloseLocalPort();
  void WriteToLocalPort(const uint8_t* data, uint32_t length);
  void SendErrorMessage(uint32_t code);

  // At library unload, under the loader lock: nothing may wait for a thread there.
  void Unload();

  std::string LocalPortName();
  bool ReaderRunning();
  // Channel buffers handed to writes and not yet freed, over the whole process.
  static int64_t BuffersOutstanding();

 private:
  struct Reader;
  void HandleInitEvent(void* init_handle, uint32_t event, const void* data, uint32_t length);
  void HandleOpenEvent(uint32_t event, void* data, uint32_t length, uint32_t flags);
  void OpenChannel();
  void HandleControl(const std::string& text);
  // Hands `buffer` to the channel; it is freed when the write completes or is cancelled.
  void ChannelWrite(uint8_t* buffer, uint32_t length);
  void ReaderMain(const std::shared_ptr<Reader>& reader, const std::shared_ptr<LocalPortConnection>& connection);
  void ReaderLoop(Reader& reader, LocalPortConnection& connection);

  ChannelClientApi* api_ = nullptr;
  std::atomic<void*> init_handle_{nullptr};
  std::atomic<uint32_t> open_handle_{0};
  // Open, close and write of the local port come from two client threads.
  std::recursive_mutex port_lock_;
  std::shared_ptr<LocalPortConnection> connection_;
  std::shared_ptr<Reader> reader_;
  std::string local_port_ = kDefaultLocalPort;
  LocalPortOpener opener_;
  uint32_t reader_stop_wait_ms_ = kReaderStopWaitMs;
  uint32_t reader_start_failure_ = 0;
};

}  // namespace korvane::rdp
