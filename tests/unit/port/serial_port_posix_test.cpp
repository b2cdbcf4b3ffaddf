#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/errors.h"
#include "platform/serial_device.h"
#include "platform/ticks.h"
#include "port/link_port.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using test::PtyPair;

TEST(SerialPort, ReadReturnsBufferedBytesAtOnceAndWaitsForTheFirstOtherwise) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  uint32_t err = 9;
  LinkPort* port = LvlOpen(pty.SlavePath(), Serial, err);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(err, 0u);
  EXPECT_EQ(port->kind, Serial);

  pty.WriteMaster({'a', 'b', 'c'});
  SleepMs(20);
  uint8_t buf[16];
  uint32_t count = 1;
  uint32_t start = TickCount();
  EXPECT_EQ(LvlReadMore(port, buf, count, sizeof buf, 2000, err), 4u);
  EXPECT_LT(TickCount() - start, 500u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 1), 3), "abc");

  start = TickCount();
  EXPECT_EQ(LvlReadMore(port, buf, count, sizeof buf, 300, err), 4u);
  const uint32_t waited = TickCount() - start;
  EXPECT_GE(waited, 250u);
  EXPECT_LT(waited, 1500u);
  EXPECT_EQ(err, 0u);

  // A byte that arrives during the wait ends it early.
  std::thread late([&] {
    SleepMs(100);
    pty.WriteMaster({'z'});
  });
  start = TickCount();
  EXPECT_EQ(LvlReadMore(port, buf, count, sizeof buf, 3000, err), 5u);
  EXPECT_LT(TickCount() - start, 2000u);
  late.join();

  const uint8_t out[] = {0x55, 0xF8, 0x00};
  EXPECT_EQ(LvlSend(port, out, 3, 1000, err), 3u);
  EXPECT_EQ(err, 0u);
  EXPECT_EQ(pty.ReadMaster(3, 1000), std::vector<uint8_t>(out, out + 3));
  EXPECT_EQ(pty.SlaveBaudRate(), 115200u);
  LvlClose(port);
}

TEST(SerialPort, UsbSerialKindNeverWaits) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  uint32_t err = 0;
  LinkPort* port = LvlOpen(pty.SlavePath(), UsbSerial, err);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->kind, UsbSerial);
  uint8_t buf[8];
  uint32_t count = 0;
  uint32_t start = TickCount();
  LvlReadMore(port, buf, count, sizeof buf, 2000, err);
  EXPECT_LT(TickCount() - start, 200u);
  EXPECT_EQ(count, 0u);
  LvlClose(port);
}

TEST(SerialPort, MissingAndBusyPortsGiveTheWindowsCodes) {
  uint32_t err = 0;
  EXPECT_EQ(LvlOpen("/dev/korvane-no-such-port", Serial, err), nullptr);
  EXPECT_EQ(err, kErrFileNotFound);
  EXPECT_EQ(LvlOpen("COM99", Serial, err), nullptr);
  EXPECT_EQ(err, kErrFileNotFound);
  EXPECT_EQ(LvlOpen("", Serial, err), nullptr);
  EXPECT_EQ(err, kErrFileNotFound);

  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  LinkPort* first = LvlOpen(pty.SlavePath(), Serial, err);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(LvlOpen(pty.SlavePath(), Serial, err), nullptr);
  EXPECT_EQ(err, kErrAccessDenied);
  LvlClose(first);
  LinkPort* again = LvlOpen(pty.SlavePath(), Serial, err);
  EXPECT_NE(again, nullptr);
  LvlClose(again);
}

// Only a group other than root that may read and write the device is worth joining.
TEST(SerialPort, PermissionHintNamesOnlyAGroupThatGrantsAccess) {
  EXPECT_EQ(SystemErrorFromErrno(EACCES, ErrnoSite::kOpen), kErrNoPermission);  // not "in use"
  test::TempDir dir;
  const std::string device = dir.File("ttyX");
  std::fclose(std::fopen(device.c_str(), "wb"));
  const gid_t group = getgid() != 0 ? getgid() : 20;  // as root: any group can own it
  const struct group* g = getgrgid(group);
  ASSERT_NE(g, nullptr);
  const std::string named = std::string("группе ") + g->gr_name + ". Добавьте пользователя в эту группу (usermod -aG " +
                            g->gr_name + " ИМЯ)";
  struct Case {
    gid_t gid;
    mode_t mode;
    bool hint;
  };
  for (const Case& c :
       {Case{group, 0660, true}, Case{group, 0620, false}, Case{group, 0600, false}, Case{0, 0660, false}}) {
    if (chown(device.c_str(), static_cast<uid_t>(-1), c.gid) != 0) GTEST_SKIP() << "cannot give the file away";
    ASSERT_EQ(chmod(device.c_str(), c.mode), 0);
    const std::string hint = SerialOpenErrorHint(device, kErrNoPermission);
    EXPECT_EQ(hint.find(named) != std::string::npos, c.hint) << c.gid << " " << std::oct << c.mode << ": " << hint;
    EXPECT_EQ(hint.empty(), !c.hint);
  }
  EXPECT_TRUE(SerialOpenErrorHint(device, kErrFileNotFound).empty());
  EXPECT_TRUE(SerialOpenErrorHint(dir.File("missing"), kErrNoPermission).empty());
}

TEST(SerialPort, ErrnoBecomesOneWindowsNumber) {
  struct Row {
    int e;
    uint32_t on_open, on_io;
  };
  const Row rows[] = {{EIO, kErrDeviceLost, kErrDeviceLost},    {ENODEV, kErrFileNotFound, kErrDeviceLost},
                      {ENXIO, kErrFileNotFound, kErrDeviceLost}, {EBUSY, kErrAccessDenied, kErrAccessDenied},
                      {ENOENT, kErrFileNotFound, kErrFileNotFound}, {ECONNREFUSED, 10061, 10061},
                      {EAGAIN, kErrAccessDenied, kErrSocketWouldBlock}, {ENOTRECOVERABLE, 0x20000000 | ENOTRECOVERABLE, 0x20000000 | ENOTRECOVERABLE}};
  for (const Row& r : rows) {
    EXPECT_EQ(SystemErrorFromErrno(r.e, ErrnoSite::kOpen), r.on_open) << r.e;
    EXPECT_EQ(SystemErrorFromErrno(r.e, ErrnoSite::kIo), r.on_io) << r.e;
  }
  EXPECT_EQ(SystemErrorText(kErrDeviceLost), strerror(ENODEV));
  EXPECT_EQ(SystemErrorText(kErrAccessDenied), strerror(EBUSY));
  EXPECT_EQ(SystemErrorText(0x20000000 | ENOTRECOVERABLE), strerror(ENOTRECOVERABLE));
  EXPECT_TRUE(IsDeviceLostError(kErrDeviceLost));
  EXPECT_FALSE(IsDeviceLostError(kErrAccessDenied));
}

// A far end that vanishes (a pulled cable): every kind reports the lost device at once, never
// "busy" and never "no data"; and a send with no time left stops instead of waiting for ever.
TEST(SerialPort, VanishedFarEndIsALostDeviceAndSendsNeverBlock) {
  for (uint32_t kind : {Serial, UsbSerial}) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    uint32_t err = 0;
    LinkPort* port = LvlOpen(pty.SlavePath(), kind, err);
    ASSERT_NE(port, nullptr);

    // The far end never reads: once the line's buffer is full a send with time-out 0 returns short.
    std::vector<uint8_t> block(4096, 0x55);
    uint32_t start = TickCount();
    uint32_t sent = 0, last = 0;
    do {
      last = LvlSend(port, block.data(), static_cast<uint32_t>(block.size()), 0, err);
      sent += last;
    } while (last == block.size() && sent < (1u << 22));
    EXPECT_LT(last, block.size()) << kind;
    EXPECT_EQ(err, 0u) << kind;
    EXPECT_LT(TickCount() - start, 3000u) << kind;

    pty.CloseMaster();
    uint8_t buf[8];
    uint32_t count = 0;
    start = TickCount();
    LvlReadMore(port, buf, count, sizeof buf, 2000, err);
    EXPECT_EQ(err, kErrDeviceLost) << kind;
    EXPECT_EQ(LvlSend(port, buf, 1, 1000, err), 0u) << kind;
    EXPECT_EQ(err, kErrDeviceLost) << kind;
    EXPECT_LT(TickCount() - start, 500u) << kind;
    LvlClose(port);
  }
}

// The far end of an infrared adapter: echoes the probe byte only at one rate and records what it
// received at which rate.
class FakeAdapter {
 public:
  FakeAdapter(PtyPair& pty, uint32_t answer_rate) : pty_(pty), answer_rate_(answer_rate) {
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeAdapter() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::pair<uint8_t, uint32_t>> Received() {
    stop_ = true;
    thread_.join();
    thread_ = std::thread([] {});
    return received_;
  }

 private:
  void Run() {
    while (!stop_) {
      auto bytes = pty_.ReadMaster(1, 20);
      for (uint8_t b : bytes) {
        const uint32_t rate = pty_.SlaveBaudRate();
        received_.emplace_back(b, rate);
        if (b == 0x0F && rate == answer_rate_) pty_.WriteMaster({0x0F});
      }
    }
  }
  PtyPair& pty_;
  uint32_t answer_rate_;
  std::atomic<bool> stop_{false};
  std::vector<std::pair<uint8_t, uint32_t>> received_;
  std::thread thread_;
};

// Before a row the block protocol drops stray input only: an answer it has just written must still
// reach the far end. A state a driver refuses fails with the error SetCommState gives.
TEST(SerialDevice, InputPurgeKeepsWhatWasWrittenAndARefusedStateSaysWhy) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  SerialDevice dev;
  uint32_t err = 0;
  ASSERT_TRUE(dev.Open(pty.SlavePath(), false, err));
  pty.WriteMaster({'x'});
  SleepMs(20);
  const std::vector<uint8_t> ack = {0x06, 0x06};
  uint32_t done = 0;
  ASSERT_TRUE(dev.Write(ack.data(), 2, done));
  ASSERT_TRUE(dev.PurgeInput());
  EXPECT_EQ(pty.ReadMaster(2, 500), ack);
  ASSERT_TRUE(dev.SetTimeouts({kMaxDword, 0, 0, 0, 0}));
  uint8_t b = 0;
  EXPECT_TRUE(dev.Read(&b, 1, done));
  EXPECT_EQ(done, 0u);

  SerialLineState s = FreshSerialLineState();
  s.baud_rate = 57600;
  s.byte_size = 8;
  EXPECT_TRUE(dev.SetState(s));
  s.xoff_char = s.xon_char;
  EXPECT_FALSE(dev.SetState(s));
  EXPECT_EQ(dev.LastError(), kErrInvalidParameter);
}

TEST(IrdaPort, ProbesRatesInOrderSetsUpTheAdapterAndEndsAt57600) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  FakeAdapter adapter(pty, 19200);
  uint32_t err = 9;
  LinkPort* port = LvlOpen(pty.SlavePath(), IrDA, err);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(err, 0u);
  EXPECT_EQ(pty.SlaveBaudRate(), 57600u);
  const std::vector<std::pair<uint8_t, uint32_t>> expected = {
      {0x0F, 115200}, {0x0F, 57600}, {0x0F, 38400}, {0x0F, 19200}, {0x07, 19200}, {0x35, 19200}, {0x51, 19200}};
  EXPECT_EQ(adapter.Received(), expected);
  termios t{};
  ASSERT_EQ(tcgetattr(pty.Master(), &t), 0);
  EXPECT_EQ(t.c_cc[VSTART], 0x11);  // distinct XON/XOFF, or SetCommState refuses every rate
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  LvlClose(port);
}

TEST(IrdaPort, NoAnsweringRateFailsWithTwoAndClosesThePort) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  FakeAdapter silent(pty, 0);
  uint32_t err = 0;
  EXPECT_EQ(LvlOpen(pty.SlavePath(), IrDA, err), nullptr);
  EXPECT_EQ(err, 2u);
  LinkPort* reopened = LvlOpen(pty.SlavePath(), Serial, err);
  EXPECT_NE(reopened, nullptr);  // nothing was left holding the device
  LvlClose(reopened);
  EXPECT_EQ(LvlOpen("/dev/korvane-no-such-port", IrDA, err), nullptr);
  EXPECT_EQ(err, 1u);
}

}  // namespace
}  // namespace korvane
