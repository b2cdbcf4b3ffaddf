// The WinUSB device and the port layer's kind 3, against a fake stack on the manual clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/ts_port.h"
#include "link/terminal_link.h"
#include "port/winusb_device.h"
#include "port/winusb_port.h"
#include "support/fake_winusb.h"
#include "support/fixed_log_time.h"
#include "support/temp_dir.h"
#include "terminal/terminal_side.h"

namespace korvane {
namespace {

using test::FakeWinUsb;
using Call = FakeWinUsb::Call;
using Calls = std::vector<std::string>;

constexpr const char* kPath = "\\\\?\\USB#VID_0F0F&PID_0001#5&1&0&1#{25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}";

class WinUsbTest : public ::testing::Test {
 protected:
  std::unique_ptr<WinUsbDevice> OpenDevice() {
    auto d = std::make_unique<WinUsbDevice>(kPath, fake_.Loader());
    uint32_t err = 99;
    EXPECT_EQ(d->Open(err), 0u);
    EXPECT_EQ(err, 0u);
    fake_.ClearCalls();
    return d;
  }
  std::string ReadText(WinUsbDevice& d, uint32_t size, uint32_t expect_result = 0) {
    std::vector<uint8_t> buf(size);
    uint32_t got = 0, err = 0;
    EXPECT_EQ(d.Read(buf.data(), size, got, err), expect_result);
    if (expect_result == 0) {
      EXPECT_EQ(err, 0u);
    }
    last_err_ = err;
    return std::string(buf.begin(), buf.begin() + got);
  }
  void TearDown() override { EXPECT_EQ(fake_.Misuse(), Calls{}); }

  test::TempDir dir_;
  test::ScopedLogDir logs_{dir_.Path()};
  test::FixedLogTime log_time_;
  ManualClock clock_;
  FakeWinUsb fake_{clock_};
  uint32_t last_err_ = 0;
};

// Every way an open fails: the number logged, the err the port layer reports, and nothing left
// open or loaded.
TEST_F(WinUsbTest, OpenFailuresLogTheirNumberAndLeaveNothingOpen) {
  struct Case {
    const char* what;
    std::function<void(FakeWinUsb&)> arrange;
    uint32_t err;
    const char* line;
  };
  const std::vector<FakeWinUsb::Pipe> interrupt_only = {{FakeWinUsb::kInterrupt, 0x81}, {FakeWinUsb::kInterrupt, 0x02}};
  const std::vector<FakeWinUsb::Pipe> in_only = {{FakeWinUsb::kBulk, 0x81}, {FakeWinUsb::kInterrupt, 0x02}};
  const Case cases[] = {
      {"no library", [](FakeWinUsb& f) { f.SetLibraryMissing(true); }, 1, "№21 работы с winusb.dll"},
      {"entry point missing", [](FakeWinUsb& f) { f.DropEntryPoint("WinUsb_GetOverlappedResult"); }, 1,
       "№22 работы с winusb.dll"},
      {"no such device", [](FakeWinUsb& f) { f.Fail(Call::kOpenDevice, 2); }, 2, "№1 работы с winusb.dll (2)"},
      {"initialize", [](FakeWinUsb& f) { f.Fail(Call::kInitialize, 31); }, 31, "№23 работы с winusb.dll (31)"},
      {"interface settings", [](FakeWinUsb& f) { f.Fail(Call::kQueryInterfaceSettings, 1167); }, 1167,
       "№24 работы с winusb.dll (1167)"},
      {"interrupt pipes only", [&](FakeWinUsb& f) { f.SetPipes(interrupt_only); }, 1, "№25 работы с winusb.dll"},
      {"bulk IN only", [&](FakeWinUsb& f) { f.SetPipes(in_only); }, 1, "№25 работы с winusb.dll"},
  };
  std::string expected_log;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ManualClock clock;
    FakeWinUsb fake(clock);
    c.arrange(fake);
    uint32_t err = 0;
    EXPECT_EQ(OpenWinUsbPort(kPath, err, fake.Loader()), nullptr);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(fake.OpenHandles(), 0);
    EXPECT_EQ(fake.Loads(), fake.Unloads());
    EXPECT_EQ(fake.Misuse(), Calls{});
    expected_log += std::string("[05-03-2025 09:07:03]\t(Port->Init|Open) Ошибка ") + c.line + "\r\n";
  }
  EXPECT_EQ(test::ReadFileBytes(dir_.File("korvane.log")), expected_log);

  // The device itself reports 25 with err 0.
  fake_.SetPipes(interrupt_only);
  WinUsbDevice d(kPath, fake_.Loader());
  uint32_t err = 99;
  EXPECT_EQ(d.Open(err), kWinUsbNoPipePair);
  EXPECT_EQ(err, 0u);
  EXPECT_EQ(fake_.OpenedPath(), kPath);
}

TEST_F(WinUsbTest, PipesAndPoliciesAreExact) {
  // An interrupt pipe is passed over; of two bulk IN pipes the later one is used.
  fake_.SetPipes({{FakeWinUsb::kInterrupt, 0x83},
                  {FakeWinUsb::kBulk, 0x81},
                  {FakeWinUsb::kBulk, 0x02},
                  {FakeWinUsb::kBulk, 0x84}});
  auto d = OpenDevice();
  std::vector<FakeWinUsb::Policy> expected;
  for (uint8_t pipe : {0x84, 0x02})
    for (auto [type, value] : {std::pair{1u, 1u}, {2u, 1u}, {5u, 1u}, {4u, 0u}, {6u, 0u}, {7u, 0u}})
      expected.push_back({pipe, type, 1, value});
  expected.push_back({0x84, 3, 4, 500});
  expected.push_back({0x02, 3, 4, 500});
  EXPECT_EQ(fake_.Policies(), expected);
  EXPECT_EQ(d->ReadTimeout(), 500u);

  // The write time-out never goes below 500 at the pipe; the stored value may.
  fake_.ClearPolicies();
  d->SetWriteTimeout(100);
  d->SetWriteTimeout(2000);
  d->SetReadTimeout(0);
  EXPECT_EQ(fake_.Policies(),
            (std::vector<FakeWinUsb::Policy>{{0x02, 3, 4, 500}, {0x02, 3, 4, 2000}, {0x84, 3, 4, 0}}));
  d->SetWriteTimeout(100);
  EXPECT_EQ(d->WriteTimeout(), 100u);

  uint32_t written = 0, err = 0;
  EXPECT_EQ(d->Write(reinterpret_cast<const uint8_t*>("\x55\xF8"), 2, written, err), 0u);
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(fake_.Written(), (std::vector<uint8_t>{0x55, 0xF8}));
  fake_.Fail(Call::kWritePipe, 1167);
  EXPECT_EQ(d->Write(reinterpret_cast<const uint8_t*>("x"), 1, written, err), kWinUsbTransferFailed);
  EXPECT_EQ(err, 1167u);
  EXPECT_EQ(written, 0u);
}

TEST_F(WinUsbTest, ReadsWithTimeOuts) {
  auto d = OpenDevice();
  // Time-out 0: returns at once with the read left outstanding; a later call delivers.
  d->SetReadTimeout(0);
  const uint32_t t0 = clock_.Now();
  EXPECT_EQ(ReadText(*d, 64), "");
  EXPECT_EQ(clock_.Now(), t0);
  EXPECT_EQ(fake_.ReadsInFlight(), 1);
  fake_.ArriveAt(t0 + 30, {'a', 'b', 'c'});
  EXPECT_EQ(ReadText(*d, 64), "");
  clock_.Advance(30);
  EXPECT_EQ(ReadText(*d, 64), "abc");
  EXPECT_EQ(fake_.Calls(), (Calls{"ReadPipe 81 64"}));

  // A non-zero time-out waits for the first bytes, and no longer than it even for a read that
  // was started under time-out 0 (whose transfer has no time-out of its own).
  EXPECT_EQ(ReadText(*d, 64), "");
  d->SetReadTimeout(200);
  const uint32_t t1 = clock_.Now();
  EXPECT_EQ(ReadText(*d, 64), "");
  EXPECT_EQ(clock_.Now(), t1 + 200);
  fake_.ArriveAt(clock_.Now() + 50, {'d'});
  EXPECT_EQ(ReadText(*d, 64), "d");
  EXPECT_EQ(clock_.Now(), t1 + 250);

  // The pipe's transfer time-out ends a read with nothing; the next read starts afresh and gets
  // what comes later (the ended record would report the time-out forever).
  const uint32_t t2 = clock_.Now();
  EXPECT_EQ(ReadText(*d, 64), "");
  EXPECT_EQ(clock_.Now(), t2 + 200);
  EXPECT_EQ(fake_.ReadsInFlight(), 0);
  fake_.ArriveAt(clock_.Now() + 10, {'e', 'f'});
  EXPECT_EQ(ReadText(*d, 64), "ef");

  // A request beyond the buffer's free space reserves only the space; the rest waits in the device.
  fake_.ClearCalls();
  fake_.Arrive(std::vector<uint8_t>(StagingBuffer::kCapacity + 10, 'z'));
  std::vector<uint8_t> big(StagingBuffer::kCapacity + 100);
  uint32_t got = 0, err = 0;
  EXPECT_EQ(d->Read(big.data(), static_cast<uint32_t>(big.size()), got, err), 0u);
  EXPECT_EQ(got, StagingBuffer::kCapacity);
  fake_.Arrive("12345678");
  EXPECT_EQ(ReadText(*d, 4), std::string(4, 'z'));
  EXPECT_EQ(ReadText(*d, 100), std::string(6, 'z'));  // the rest of a short packet ends its read
  EXPECT_EQ(ReadText(*d, 100), "12345678");
  EXPECT_EQ(fake_.Calls(), (Calls{"ReadPipe 81 131072", "ReadPipe 81 4", "ReadPipe 81 100", "ReadPipe 81 100"}));
  // A zero-byte request starts no transfer.
  fake_.ClearCalls();
  EXPECT_EQ(ReadText(*d, 0), "");
  EXPECT_EQ(fake_.Calls(), Calls{});
}

// No short packet ends a read of whole packets: the transfer time-out does, and what moved is
// data; a read a poll started, which has no time-out, is ended by the next call that waits.
TEST_F(WinUsbTest, WholePacketFramesArriveAtTheTimeOut) {
  auto d = OpenDevice();
  std::vector<uint8_t> frame(2 * FakeWinUsb::kMaxPacket);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(0x55 + i);
  const std::string text(frame.begin(), frame.end());
  d->SetReadTimeout(200);
  uint32_t t = clock_.Now();
  fake_.ArriveAt(t + 10, frame);
  EXPECT_EQ(ReadText(*d, 4096), text);
  EXPECT_EQ(clock_.Now(), t + 200);
  // A later short packet or a zero-length one ends the read when it comes.
  t = clock_.Now();
  fake_.ArriveAt(t + 10, frame);
  fake_.ArriveAt(t + 30, {'!'});
  EXPECT_EQ(ReadText(*d, 4096), text + "!");
  EXPECT_EQ(clock_.Now(), t + 30);
  fake_.Arrive(frame);
  fake_.Arrive(std::vector<uint8_t>{});
  EXPECT_EQ(ReadText(*d, 4096), text);
  EXPECT_EQ(clock_.Now(), t + 30);

  d->SetReadTimeout(0);
  EXPECT_EQ(ReadText(*d, 4096), "");
  fake_.Arrive(frame);
  EXPECT_EQ(ReadText(*d, 4096), "");
  fake_.ClearCalls();
  d->SetReadTimeout(200);
  EXPECT_EQ(ReadText(*d, 4096), text);
  EXPECT_EQ(clock_.Now(), t + 230);
  EXPECT_EQ(fake_.Calls(), Calls{"AbortPipe 81"});
  EXPECT_EQ(fake_.PendingInBytes(), 0u);
}

TEST_F(WinUsbTest, ReadErrorsEmptyTheBufferAndAbort) {
  auto d = OpenDevice();
  d->SetReadTimeout(0);
  fake_.Fail(Call::kReadPipe, 31);
  EXPECT_EQ(ReadText(*d, 64, kWinUsbTransferFailed), "");
  EXPECT_EQ(last_err_, 31u);
  fake_.Fail(Call::kGetOverlappedResult, 1167);
  EXPECT_EQ(ReadText(*d, 64, kWinUsbTransferFailed), "");
  EXPECT_EQ(last_err_, 1167u);
  EXPECT_EQ(fake_.Calls(), (Calls{"ReadPipe 81 64", "AbortPipe 81", "ReadPipe 81 64", "AbortPipe 81"}));
  fake_.Arrive("ok");
  EXPECT_EQ(ReadText(*d, 64), "ok");
}

// A purge or close with a read outstanding waits for the aborted read before its buffer and event
// are reused or freed (the fake notes any misuse), and drops what was staged.
TEST_F(WinUsbTest, FlushAndCloseWaitForTheAbortedRead) {
  auto d = OpenDevice();
  d->SetReadTimeout(0);
  EXPECT_EQ(ReadText(*d, 100), "");  // outstanding, for up to 100 bytes
  fake_.Arrive("abcdef");
  EXPECT_EQ(ReadText(*d, 2), "ab");  // "cdef" stays staged
  fake_.ClearCalls();
  EXPECT_EQ(ReadText(*d, 100), "cdef");
  EXPECT_EQ(fake_.Calls(), Calls{});  // staged bytes went out without a new read
  EXPECT_EQ(ReadText(*d, 100), "");
  fake_.Arrive("ghij");
  EXPECT_EQ(ReadText(*d, 1), "g");
  EXPECT_EQ(d->Staged().Held(), 3u);
  fake_.ClearCalls();
  d->Flush();
  EXPECT_EQ(fake_.Calls(), (Calls{"AbortPipe 81", "ResetPipe 81", "AbortPipe 02", "ResetPipe 02"}));
  EXPECT_EQ(d->Staged().Held(), 0u);

  EXPECT_EQ(ReadText(*d, 100), "");  // outstanding
  d->Flush();
  EXPECT_EQ(fake_.ReadsInFlight(), 0);
  fake_.Arrive("new");
  EXPECT_EQ(ReadText(*d, 100), "new");  // a fresh read, not the aborted one's "aborted"

  EXPECT_EQ(ReadText(*d, 100), "");
  d->Close();
  EXPECT_EQ(fake_.OpenHandles(), 0);
  EXPECT_FALSE(d->IsOpen());
  d->Unload();
  EXPECT_EQ(fake_.Loads(), fake_.Unloads());
}

// The port layer's kind-3 branches: time-outs handed to the pipes, errors logged with their number.
TEST_F(WinUsbTest, PortLayerBranches) {
  uint32_t err = 99;
  LinkPort* port = LvlAdopt(OpenWinUsbPort(kPath, err, fake_.Loader()), WinUsb);
  ASSERT_NE(port->device, nullptr);
  EXPECT_EQ(err, 0u);
  fake_.ClearPolicies();
  EXPECT_EQ(LvlSend(port, reinterpret_cast<const uint8_t*>("abc"), 3, 100, err), 3u);
  EXPECT_EQ(LvlSend(port, reinterpret_cast<const uint8_t*>("d"), 1, 100, err), 1u);
  fake_.Arrive("xy");
  uint8_t buf[8] = {'>'};
  uint32_t count = 1;
  EXPECT_EQ(LvlReadMore(port, buf, count, sizeof buf, 0, err), 3u);
  EXPECT_EQ(std::string(buf, buf + 3), ">xy");
  // Only a changed time-out reaches the pipe.
  EXPECT_EQ(fake_.Policies(), (std::vector<FakeWinUsb::Policy>{{0x02, 3, 4, 500}, {0x81, 3, 4, 0}}));

  fake_.Fail(Call::kWritePipe, 22);
  EXPECT_EQ(LvlSend(port, reinterpret_cast<const uint8_t*>("e"), 1, 100, err), 0u);
  EXPECT_EQ(err, 22u);
  fake_.Fail(Call::kReadPipe, 31);
  EXPECT_EQ(LvlReadMore(port, buf, count, sizeof buf, 10, err), 3u);
  EXPECT_EQ(err, 31u);
  fake_.ClearCalls();
  LvlPurge(port);
  EXPECT_EQ(fake_.Calls(), (Calls{"AbortPipe 81", "ResetPipe 81", "AbortPipe 02", "ResetPipe 02"}));
  LvlClose(port);
  EXPECT_EQ(fake_.OpenHandles(), 0);
  EXPECT_EQ(fake_.Loads(), fake_.Unloads());
  EXPECT_EQ(test::ReadFileBytes(dir_.File("korvane.log")),
            "[05-03-2025 09:07:03]\t(Port->Write) Ошибка №3 работы с winusb.dll (22)\r\n"
            "[05-03-2025 09:07:03]\t(Port->Read) Ошибка №3 работы с winusb.dll (31)\r\n");
}

// A whole download over kind 3: the link and the library's terminal side with the fake pipes
// between them.
class WinUsbLink : public WinUsbTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(WinUsbLink, Downloads1000Rows) {
  constexpr int kRows = 1000;
  TerminalState state;
  for (int i = 0; i < kRows; ++i) state.tables[1].push_back(std::to_string(i) + ";товар;" + std::string(i % 97, 'x'));
  state.lines_count = kRows;
  TerminalSide side(state);
  side.KeepReceived(false);
  TerminalEndpoint endpoint(side, GetParam(), clock_);
  fake_.KeepWrites(false);
  fake_.SetOnWrite([&](const uint8_t* data, uint32_t n) { endpoint.Feed(data, n); });
  fake_.SetService([&] {
    endpoint.Poll();
    std::vector<uint8_t> out = endpoint.TakeOutput();
    if (!out.empty()) fake_.Arrive(std::move(out));
  });

  TerminalLink link(clock_);
  link.SetPort(kPath);
  link.SetPortOpener([&](const std::string& name, uint32_t, uint32_t* err) -> TsPort* {
    uint32_t e = 0;
    auto device = OpenWinUsbPort(name, e, fake_.Loader());
    if (err) *err = e;
    if (!device) return nullptr;
    TsPort* port = tsAdoptPort(LvlAdopt(std::move(device), WinUsb));
    port->clock = &clock_;
    return port;
  });
  ASSERT_EQ(link.ConnectTerminal(), S_CONNECTED) << link.GetDiag().message;
  EXPECT_EQ(fake_.OpenedPath(), kPath);
  StringRowList rows;
  EXPECT_EQ(link.RecvTable(1, rows, nullptr), 0) << link.GetDiag().message;
  EXPECT_EQ(rows.Rows(), state.tables[1]);
  link.Disconnect();
  EXPECT_EQ(fake_.OpenHandles(), 0);
  EXPECT_EQ(fake_.Loads(), fake_.Unloads());
}

INSTANTIATE_TEST_SUITE_P(Protocols, WinUsbLink, ::testing::Values(uint16_t{0x0200}, uint16_t{0x0300}),
                         [](const auto& info) { return info.param == 0x0300 ? std::string("v3") : std::string("v2"); });

}  // namespace
}  // namespace korvane
