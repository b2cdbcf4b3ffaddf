#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

#include "log/addin_trace.h"
#include "platform/tcp_socket.h"
#include "port/rdp_channel.h"
#include "rdp/rdp_channel_client.h"
#include "support/fake_rdp_channel.h"
#include "support/temp_dir.h"

namespace {
// Armed with a size, the next array allocation of exactly that size fails, as when memory runs out.
std::atomic<size_t> g_fail_array_of{0};
}  // namespace

void* operator new[](std::size_t size) {
  size_t armed = g_fail_array_of.load();
  if (armed != 0 && size == armed && g_fail_array_of.compare_exchange_strong(armed, 0)) throw std::bad_alloc();
  return ::operator new(size);
}
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { ::operator delete(p); }

namespace korvane::rdp {
namespace {

using test::Bytes;
using test::BytesOf;
using test::ControlMessage;

constexpr uint32_t kWhole = kRdpChannelFlagFirst | kRdpChannelFlagLast;
constexpr uint32_t kTableSize = 24;

// The add-in's trace into a fresh file at `level` for one test.
class TraceFile {
 public:
  explicit TraceFile(uint32_t level) { AddinTrace::Instance().Set(level, dir_.File("addin.log")); }
  ~TraceFile() { AddinTrace::Instance().Set(0, ""); }
  std::string Text() const { return test::ReadFileBytes(dir_.File("addin.log")); }
  size_t Count(const std::string& line) const {
    const std::string text = Text();
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
  }

 private:
  test::TempDir dir_;
};

template <typename Done>
bool WaitFor(Done done, int ms = 5000) {
  for (int i = 0; i < ms / 5; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

void Deliver(test::FakeRdpChannel& fake, const Bytes& chunk, uint32_t flags = kWhole) {
  fake.ChunkToClient(chunk, static_cast<uint32_t>(chunk.size()), flags);
  fake.Settle();
}

TEST(RdpAddin, EntryChecksTheTableAndTheChannelInit) {
  struct Case {
    bool table;
    uint32_t size;
    uint32_t init_rc;
    bool result;
    std::string line;
  } cases[] = {
      {false, 0, 0, false, "Bad pEntryPoints=0x00000000, sz=<?>"},
      {true, 12, 0, false, ", sz=12"},
      {true, kTableSize, 5, false, "Init error, ret = CHANNEL_RC_TOO_MANY_CHANNELS"},
      {true, kTableSize, 7, false, "Init error, ret = 7"},
      {true, kTableSize, 0, true, "[Init-Event = CHANNEL_EVENT_INITIALIZED]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    TraceFile trace(3);
    test::FakeRdpChannel fake;
    fake.SetInitResult(c.init_rc);
    RdpChannelClient client;
    MemorySettings settings;
    settings.SetDword("LogTraceLevel", 3);
    EXPECT_EQ(client.Entry(settings, c.table ? &fake : nullptr, c.size, kTableSize, &fake), c.result);
    fake.Settle();
    EXPECT_EQ(trace.Count(c.line), 1u) << trace.Text();
    EXPECT_EQ(trace.Count(kTraceLoadLine), 1u);
    if (c.table && c.size == kTableSize) {
      ASSERT_EQ(fake.Channels().size(), 1u);
      EXPECT_EQ(std::string(fake.Channels()[0].name, 8), std::string("vrnchl\0\0", 8));
      EXPECT_EQ(fake.Channels()[0].options, 0x00A00000u);
    }
  }
}

TEST(RdpAddin, SettingsKeepDefaultsForMissingWrongOrLongValues) {
  AddinTrace::Instance().Set(0, "");
  test::FakeRdpChannel fake;
  RdpChannelClient client;
  EXPECT_TRUE(client.Entry(MemorySettings(), &fake, kTableSize, kTableSize, &fake));
  EXPECT_EQ(client.LocalPortName(), "USB");
  EXPECT_EQ(AddinTrace::Instance().Threshold(), 0u);
  MemorySettings odd;
  odd.SetDword("LocalPort", 5);
  odd.SetString("LogTraceLevel", "3");
  EXPECT_TRUE(client.Entry(odd, &fake, kTableSize, kTableSize, &fake));
  EXPECT_EQ(client.LocalPortName(), "USB");
  EXPECT_EQ(AddinTrace::Instance().Threshold(), 0u);
  MemorySettings too_long;
  too_long.SetString("LocalPort", std::string(2048, 'C'));
  EXPECT_TRUE(client.Entry(too_long, &fake, kTableSize, kTableSize, &fake));
  EXPECT_EQ(client.LocalPortName(), "USB");
  MemorySettings com7;
  com7.SetString("LocalPort", "COM7");
  EXPECT_TRUE(client.Entry(com7, &fake, kTableSize, kTableSize, &fake));
  EXPECT_EQ(client.LocalPortName(), "COM7");
  fake.Settle();
}

// The whole bridge over a loopback TCP port: open, both directions, unknown and repeated
// controls, a refused local open, disconnect; every buffer comes back once.
TEST(RdpAddin, BridgesChannelAndLocalPort) {
  TraceFile trace(3);
  StartSockets();
  uint16_t port = 0;
  uint32_t err = 0;
  const SocketHandle listener = SocketListen("127.0.0.1", port, 1, err);
  ASSERT_NE(listener, kInvalidSocket);
  const int64_t outstanding = RdpChannelClient::BuffersOutstanding();
  test::FakeRdpChannel fake;
  {
    RdpChannelClient client;
    ASSERT_TRUE(client.Entry(MemorySettings(), &fake, kTableSize, kTableSize, &fake));
    fake.Connect(u"TS\u0421\u0415\u0420\u0412");
    fake.Settle();
    EXPECT_TRUE(fake.ClientOpen());
    EXPECT_EQ(trace.Count("[Init-Event = CHANNEL_EVENT_CONNECTED] server name = TSСЕРВ\r\n"), 1u) << trace.Text();

    Deliver(fake, ControlMessage("OPEN:LAN;" + std::to_string(port)));
    const SocketHandle terminal = SocketAccept(listener, 5000, err);
    ASSERT_NE(terminal, kInvalidSocket);
    ASSERT_EQ(fake.ClientWrites().size(), 1u);
    EXPECT_EQ(fake.ClientWrites()[0], Bytes({0x01, 'O', 'P', 'E', 'N', '-', 'O', 'K'}));
    EXPECT_TRUE(client.ReaderRunning());

    // Channel to port: the first chunk loses its type byte, a later chunk goes whole.
    Deliver(fake, {0x00, 'a', 'b', 'c'}, kRdpChannelFlagFirst);
    Deliver(fake, {0x01, 'x', 'y', 'z'}, kRdpChannelFlagLast);
    std::string at_terminal;
    ASSERT_TRUE(WaitFor([&] {
      uint8_t buf[64];
      if (SocketWaitReadable(terminal, 10)) {
        const int32_t n = SocketRecv(terminal, buf, sizeof buf, err);
        if (n > 0) at_terminal.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
      }
      return at_terminal.size() >= 7;
    }));
    EXPECT_EQ(at_terminal, std::string("abc\x01xyz", 7));

    // Port to channel: one data message per read.
    const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(SocketSend(terminal, hello, sizeof hello, err), 5);
    EXPECT_TRUE(WaitFor([&] { return fake.ClientWrites().size() == 2; }));
    fake.Settle();
    EXPECT_EQ(fake.ClientWrites().back(), Bytes({0x00, 'h', 'e', 'l', 'l', 'o'}));

    Deliver(fake, ControlMessage("open:COM5"));
    EXPECT_EQ(trace.Count("Unknown notify: \"open:COM5\""), 1u);
    EXPECT_EQ(fake.ClientWrites().size(), 2u);

    Deliver(fake, ControlMessage("CLOSE"));
    EXPECT_FALSE(client.ReaderRunning());
    uint8_t buf[8];
    EXPECT_TRUE(SocketWaitReadable(terminal, 2000));
    EXPECT_EQ(SocketRecv(terminal, buf, sizeof buf, err), 0);  // the port was closed
    SocketClose(terminal);
    Deliver(fake, ControlMessage("CLOSE"));
    Deliver(fake, {0x00, 'l', 'o', 's', 't'});  // no port: dropped
    EXPECT_EQ(trace.Count("Close local port"), 1u);
    EXPECT_EQ(trace.Count("-- thread stopped (local port reader)"), 1u);

    // A local port that cannot be opened: the exact error reply, and no reader.
    SocketClose(listener);
    Deliver(fake, ControlMessage("OPEN:LAN;" + std::to_string(port)));
    const std::string refused = "ERROR:10061";
    EXPECT_EQ(fake.ClientWrites().back(), ControlMessage(refused));
    EXPECT_EQ(trace.Count("[SERVER] Send-notify: \"" + refused + "\""), 1u);
    EXPECT_FALSE(client.ReaderRunning());

    fake.Disconnect();
    fake.Settle();
    EXPECT_FALSE(fake.ClientOpen());
  }
  EXPECT_EQ(fake.BuffersHanded(), fake.BuffersReturned());
  EXPECT_EQ(RdpChannelClient::BuffersOutstanding(), outstanding);
}

// A local port scripted by the test: reads that never wait, then data, then a read error.
class ScriptedDevice final : public PortDevice {
 public:
  explicit ScriptedDevice(std::atomic<int>* closes = nullptr) : closes_(closes) {}
  bool HasHandle() const override { return true; }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t, uint32_t& err) override {
    std::lock_guard<std::mutex> hold(lock_);
    err = send_error;
    if (err) return 0;
    sent.append(reinterpret_cast<const char*>(data), length);
    return length;
  }
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t, uint32_t& err) override {
    std::lock_guard<std::mutex> hold(lock_);
    ++reads;
    if (!next_read.empty()) {
      const uint32_t n = std::min<uint32_t>(capacity - count, static_cast<uint32_t>(next_read.size()));
      std::copy_n(next_read.begin(), n, buffer + count);
      next_read.clear();
      return count + n;
    }
    if (read_error) err = std::exchange(read_error, 0);
    return count;
  }
  void Purge() override {}
  void Close() override {
    if (closes_) ++*closes_;
  }
  void FailSends(uint32_t error) {
    std::lock_guard<std::mutex> hold(lock_);
    send_error = error;
  }
  std::string Sent() {
    std::lock_guard<std::mutex> hold(lock_);
    return sent;
  }
  int Reads() {
    std::lock_guard<std::mutex> hold(lock_);
    return reads;
  }
  void Script(std::string data, uint32_t error) {
    std::lock_guard<std::mutex> hold(lock_);
    next_read = std::move(data);
    read_error = error;
  }

 private:
  std::atomic<int>* closes_;
  std::mutex lock_;
  std::string sent, next_read;
  uint32_t read_error = 0, send_error = 0;
  int reads = 0;
};

TEST(RdpAddin, ReaderIdlesRefusedWritesFreeAndReadErrorsReportOnce) {
  TraceFile trace(0);
  test::FakeRdpChannel fake;
  RdpChannelClient client;
  std::vector<std::string> opened;
  ScriptedDevice* device = nullptr;
  client.SetPortOpener([&](const std::string& name, uint32_t, uint32_t* err) -> TsPort* {
    opened.push_back(name);
    if (name != "QUICK") {
      *err = 2;
      return nullptr;
    }
    auto d = std::make_unique<ScriptedDevice>();
    device = d.get();
    return tsAdoptPort(LvlAdopt(std::move(d), UsbSerial));
  });
  ASSERT_TRUE(client.Entry(MemorySettings(), &fake, kTableSize, kTableSize, &fake));
  fake.Connect();
  fake.Settle();
  const int64_t outstanding = RdpChannelClient::BuffersOutstanding();

  // "OPEN:COM5" then "OPEN": COM5 both times, each refusal answered.
  Deliver(fake, ControlMessage("OPEN:COM5"));
  Deliver(fake, ControlMessage("OPEN"));
  EXPECT_EQ(opened, std::vector<std::string>({"COM5", "COM5"}));
  EXPECT_EQ(fake.ClientWrites(), std::vector<Bytes>({ControlMessage("ERROR:2"), ControlMessage("ERROR:2")}));
  EXPECT_EQ(trace.Count("Ошибка открытия локального порта \"COM5\", err=2"), 2u);

  // A port whose reads never wait: the reader pauses instead of spinning.
  Deliver(fake, ControlMessage("OPEN:QUICK"));
  ASSERT_NE(device, nullptr);
  const int reads_before = device->Reads();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(device->Reads() - reads_before, 60);

  // A refused channel write: the buffer is freed at once.
  fake.SetClientWriteResult(test::kFakeChannelRcNotOpen);
  device->Script("q", 0);
  EXPECT_TRUE(WaitFor([&] { return trace.Count("Channel write refused") == 1; }));
  EXPECT_TRUE(WaitFor([&] { return RdpChannelClient::BuffersOutstanding() == outstanding + 1; }));  // the next read's
  fake.SetClientWriteResult(0);

  // A read error: one "ERROR:" and the reader ends; channel data still reaches the port.
  device->Script("", 1167);
  EXPECT_TRUE(WaitFor([&] { return !client.ReaderRunning(); }));
  fake.Settle();
  EXPECT_EQ(fake.ClientWrites().back(), ControlMessage("ERROR:1167"));
  EXPECT_EQ(trace.Count("Ошибка чтения данных из локального порта \"QUICK\", err=1167"), 1u);
  Deliver(fake, {0x00, 'z', 'z'});
  EXPECT_EQ(device->Sent(), "zz");
  client.CloseLocalPort();
  fake.Settle();
  EXPECT_EQ(RdpChannelClient::BuffersOutstanding(), outstanding);
}

TsPort* AdoptScripted(ScriptedDevice*& device, std::atomic<int>& closes) {
  auto d = std::make_unique<ScriptedDevice>(&closes);
  device = d.get();
  return tsAdoptPort(LvlAdopt(std::move(d), Serial));
}

// The channel's life at every trace level: a refused channel open, the connect events, a write the
// local port refuses, a second connect without a disconnect, a disconnect that cancels the reply
// still queued, and the end of the client with the port open. Lines above the threshold are left
// out; the port and the channel fare the same at every level.
TEST(RdpAddin, ChannelLifeAtEveryTraceLevel) {
  for (uint32_t threshold = 0; threshold <= 3; ++threshold) {
    SCOPED_TRACE(threshold);
    TraceFile trace(threshold);
    test::FakeRdpChannel fake;
    RdpChannelClient client;
    std::atomic<int> closes{0};
    ScriptedDevice* device = nullptr;
    client.SetPortOpener([&](const std::string&, uint32_t, uint32_t*) { return AdoptScripted(device, closes); });
    ASSERT_TRUE(client.Entry(MemorySettings(), &fake, kTableSize, kTableSize, &fake));
    fake.SetOpenResult(7);
    fake.Connect();
    fake.Settle();
    EXPECT_FALSE(fake.ClientOpen());
    fake.SetOpenResult(0);
    fake.Connect();
    fake.InitEvent(kEventV1Connected, {});
    fake.InitEvent(9, {});
    Deliver(fake, ControlMessage("OPEN:COM5"));
    ASSERT_TRUE(client.ReaderRunning());
    device->FailSends(1117);
    Deliver(fake, {0x00, 'a', 'b'});

    fake.Connect(u"TS02");
    fake.Settle();
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(client.ReaderRunning());
    EXPECT_EQ(fake.ClientCloses(), 1);
    EXPECT_TRUE(fake.ClientOpen());

    Deliver(fake, ControlMessage("OPEN"));
    device->FailSends(1117);
    fake.HoldEvents(true);
    fake.ChunkToClient({0x00, 'c'}, 2, kWhole);
    fake.Disconnect();
    fake.HoldEvents(false);
    fake.Settle();
    EXPECT_EQ(closes, 2);

    fake.Connect();
    Deliver(fake, ControlMessage("OPEN"));
    EXPECT_TRUE(client.ReaderRunning());
    fake.InitEvent(kEventTerminated, {});
    fake.Settle();
    EXPECT_FALSE(client.ReaderRunning());
    EXPECT_EQ(closes, 3);
    const Bytes open_ok = ControlMessage("OPEN-OK");
    EXPECT_EQ(fake.ClientWrites(), std::vector<Bytes>({open_ok, ControlMessage("ERROR:1117"), open_ok, open_ok}));

    char init_handle[32];
    std::snprintf(init_handle, sizeof init_handle, "%llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&fake)));
    const std::string init_event = std::string("VirtualChannelInitEvent(pInitHandle=") + init_handle + ", nEvent=";
    const struct {
      uint32_t level;
      std::string text;
      size_t count;
    } lines[] = {
        {0, "Error open RDP vitual channel, ret = 7", 1},
        {0, "Ошибка отправки данных в локальный порт \"COM5\", err=1117", 2},
        {0, "[SERVER] Send-notify: \"ERROR:1117\"", 2},
        {1, kTraceLoadLine, 1},
        {1, "[Init-Event = CHANNEL_EVENT_INITIALIZED]", 1},
        {1, "[Init-Event = CHANNEL_EVENT_CONNECTED] server name = TS01\r\n", 3},
        {1, "[Init-Event = CHANNEL_EVENT_CONNECTED] server name = TS02\r\n", 1},
        {1, "[Init-Event = CHANNEL_EVENT_V1_CONNECTED, virtual channels does not supported by server]", 1},
        {1, "[untraced Init-Event = 9]", 1},
        {1, "[Init-Event = CHANNEL_EVENT_DISCONNECTED]", 1},
        {1, "[Init-Event = CHANNEL_EVENT_TERMINATED]", 1},
        {1, "Open local port: \"COM5\"", 3},
        {1, "Close local port", 3},
        {1, "-- thread started (local port reader)", 3},
        {1, "-- thread stopped (local port reader)", 3},
        {2, "[nEvent = CHANNEL_EVENT_DATA_RECEIVED]", 5},
        {2, "[SERVER] Recv-notify: \"OPEN:COM5\"", 1},
        {2, "[SERVER] Recv-notify: \"OPEN\"", 2},
        {2, "[nEvent = CHANNEL_EVENT_WRITE_COMPLETE]", 4},
        {2, "[nEvent = CHANNEL_EVENT_WRITE_CANCELLED]", 1},
        {3, init_event, 9},
        {3, init_event + "4, pData=0x00000000, dataLength=0)\r\n", 1},
        {3, "VirtualChannelOpenEvent(openHandle=", 10},
        {3, ", dataLength=10, totalLength=10, dataFlags=3)\r\n", 1},
        {3, "VirtualChannelOpenEvent(openHandle=113, nEvent=11, pData=0, dataLength=8, totalLength=8, dataFlags=0)", 1},
    };
    for (const auto& line : lines)
      EXPECT_EQ(trace.Count(line.text), line.level <= threshold ? line.count : 0u) << line.text << "\n" << trace.Text();
    EXPECT_EQ(trace.Count("[TID:") > 0, threshold > 0);
  }
}

// What the add-in cannot get (memory for the open, a thread, the reader's buffer) is answered with
// "ERROR:" and traced, never thrown into the client; a port left without a reader is closed.
TEST(RdpAddin, FailuresInsideTheAddinAreAnsweredNotThrown) {
  TraceFile trace(0);
  test::FakeRdpChannel fake;
  RdpChannelClient client;
  std::atomic<int> closes{0};
  ScriptedDevice* device = nullptr;
  bool open_throws = true;
  client.SetPortOpener([&](const std::string&, uint32_t, uint32_t*) -> TsPort* {
    if (open_throws) throw std::bad_alloc();
    return AdoptScripted(device, closes);
  });
  ASSERT_TRUE(client.Entry(MemorySettings(), &fake, kTableSize, kTableSize, &fake));
  fake.Connect();
  fake.Settle();
  const std::string bad_alloc = "Exception \"std::bad_alloc\" in file: \"";

  Deliver(fake, ControlMessage("OPEN:COM5"));
  EXPECT_EQ(fake.ClientWrites(), std::vector<Bytes>({ControlMessage("ERROR:8")}));
  EXPECT_EQ(trace.Count(bad_alloc), 1u) << trace.Text();

  open_throws = false;
  client.FailReaderStarts(1455);
  Deliver(fake, ControlMessage("OPEN"));
  EXPECT_EQ(fake.ClientWrites().back(), ControlMessage("ERROR:1455"));
  EXPECT_EQ(trace.Count("Ошибка открытия локального порта \"COM5\", err=1455"), 1u);
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(client.ReaderRunning());

  client.FailReaderStarts(0);
  g_fail_array_of = kLocalReadBlock + 1;
  Deliver(fake, ControlMessage("OPEN"));
  EXPECT_TRUE(WaitFor([&] { return !client.ReaderRunning(); }));
  fake.Settle();
  EXPECT_EQ(g_fail_array_of, 0u);
  const auto writes = fake.ClientWrites();
  EXPECT_EQ(std::count(writes.begin(), writes.end(), ControlMessage("OPEN-OK")), 1);
  EXPECT_EQ(std::count(writes.begin(), writes.end(), ControlMessage("ERROR:8")), 2);
  EXPECT_EQ(trace.Count(bad_alloc), 2u);
  Deliver(fake, {0x00, 'z', 'z'});
  EXPECT_EQ(device->Sent(), "zz");
  client.CloseLocalPort();
  EXPECT_EQ(closes, 2);
}

// The terminal hangs up while the server's data keeps coming: the reader finds out on its thread
// while the client's thread is writing to the same socket (a data race there is what the thread
// sanitizer looks for), and every write after that is answered "ERROR:6".
TEST(RdpAddin, ATerminalHangingUpMidStreamIsAnswered) {
  TraceFile trace(0);
  StartSockets();
  uint16_t port = 0;
  uint32_t err = 0;
  const SocketHandle listener = SocketListen("127.0.0.1", port, 1, err);
  ASSERT_NE(listener, kInvalidSocket);
  test::FakeRdpChannel fake;
  RdpChannelClient client;
  ASSERT_TRUE(client.Entry(MemorySettings(), &fake, kTableSize, kTableSize, &fake));
  fake.Connect();
  Deliver(fake, ControlMessage("OPEN:LAN;" + std::to_string(port)));
  const SocketHandle terminal = SocketAccept(listener, 5000, err);
  SocketClose(listener);
  ASSERT_NE(terminal, kInvalidSocket);
  Bytes chunk(1000, 'd');
  chunk[0] = kRdpDataMessage;
  for (int i = 0; i < 200; ++i) fake.ChunkToClient(chunk, static_cast<uint32_t>(chunk.size()), kWhole);
  SocketClose(terminal);
  const auto is_error = [](const Bytes& m) { return m.size() > 7 && m[0] == kRdpControlMessage && m[1] == 'E'; };
  EXPECT_TRUE(WaitFor([&] {
    const auto writes = fake.ClientWrites();
    return writes.size() > 1 && is_error(writes.back());
  }));
  fake.Settle();
  Deliver(fake, {0x00, 'x'});
  const auto writes = fake.ClientWrites();
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes.front(), ControlMessage("OPEN-OK"));
  EXPECT_TRUE(std::all_of(writes.begin() + 1, writes.end(), is_error));
  EXPECT_EQ(writes.back(), ControlMessage("ERROR:6"));
  client.CloseLocalPort();
}

// A read that never comes back within the close's wait: the port passes to the reader, which
// closes it when the read returns, and the close itself does not hang. The state outlives the
// device, which the reader's close deletes.
struct StuckLine {
  std::mutex lock;
  std::condition_variable changed;
  bool reading = false, released = false, closed = false;
  template <typename Done>
  bool Wait(Done done) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(5), done);
  }
  void Set(bool& flag) {
    std::lock_guard<std::mutex> hold(lock);
    flag = true;
    changed.notify_all();
  }
};

class StuckDevice final : public PortDevice {
 public:
  explicit StuckDevice(std::shared_ptr<StuckLine> line) : line_(std::move(line)) {}
  bool HasHandle() const override { return true; }
  uint32_t Send(const uint8_t*, uint32_t length, int32_t, uint32_t&) override { return length; }
  uint32_t ReadMore(uint8_t*, uint32_t count, uint32_t, int32_t, uint32_t&) override {
    line_->Set(line_->reading);
    std::unique_lock<std::mutex> hold(line_->lock);
    line_->changed.wait(hold, [this] { return line_->released; });
    return count;
  }
  void Purge() override {}
  void Close() override { line_->Set(line_->closed); }

 private:
  std::shared_ptr<StuckLine> line_;
};

TEST(RdpAddin, AStuckReaderKeepsThePortAndClosesItWhenItEnds) {
  TraceFile trace(1);
  test::FakeRdpChannel fake;
  RdpChannelClient client;
  client.SetReaderStopWait(50);
  auto line = std::make_shared<StuckLine>();
  client.SetPortOpener([&](const std::string&, uint32_t, uint32_t*) -> TsPort* {
    return tsAdoptPort(LvlAdopt(std::make_unique<StuckDevice>(line), Serial));
  });
  ASSERT_TRUE(client.Entry(MemorySettings(), &fake, kTableSize, kTableSize, &fake));
  fake.Connect();
  fake.Settle();
  Deliver(fake, ControlMessage("OPEN:COM4"));
  ASSERT_TRUE(line->Wait([&] { return line->reading; }));
  client.CloseLocalPort();
  EXPECT_FALSE(client.ReaderRunning());
  {
    std::lock_guard<std::mutex> hold(line->lock);
    EXPECT_FALSE(line->closed);  // still the reader's, inside its read
  }
  EXPECT_EQ(trace.Count("Local port reader did not stop in 50 ms; it closes \"COM4\" when it ends"), 1u);
  line->Set(line->released);
  EXPECT_TRUE(line->Wait([&] { return line->closed; }));
  EXPECT_TRUE(WaitFor([&] { return trace.Count("Local port \"COM4\" closed by its reader") == 1; }));
  fake.Settle();
}

}  // namespace
}  // namespace korvane::rdp
