// Serial ports under Wine: COM9 and COM10 are pseudo-terminals whose far end echoes every byte
// (tests/windows/com_echo_peer.sh). Wine's first-byte read time-out always waits its full length,
// so reads here use short time-outs in a loop and only the no-data wait is timed.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/serial_device.h"
#include "platform/ticks.h"
#include "port/link_port.h"

namespace korvane {
namespace {

constexpr int32_t kReadSliceMs = 100;
constexpr uint32_t kEchoWaitMs = 5000;
constexpr const char* kEchoPort = "COM9";
constexpr const char* kHighEchoPort = "COM10";  // reachable only as \\.\COM10

std::vector<uint8_t> ReadEcho(LinkPort* port, uint32_t want, uint32_t& err) {
  std::vector<uint8_t> buf(want);
  uint32_t count = 0;
  const uint32_t deadline = TickCount() + kEchoWaitMs;
  while (count < want && !TickReached(TickCount(), deadline))
    LvlReadMore(port, buf.data(), count, want, kReadSliceMs, err);
  buf.resize(count);
  return buf;
}

LinkPort* OpenEchoPort(const char* name) {
  uint32_t err = 99;
  LinkPort* port = LvlOpen(name, Serial, err);
  EXPECT_NE(port, nullptr) << name << " did not open (err " << err
                           << "); is tests/windows/com_echo_peer.sh running for this prefix?";
  if (port) {
    EXPECT_EQ(err, 0u);
  }
  return port;
}

TEST(WineSerial, EveryByteValueCrossesTheLineUnchanged) {
  LinkPort* port = OpenEchoPort(kEchoPort);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->kind, Serial);
  // All 256 values, flow-control and line-end characters included: the line is raw binary.
  std::vector<uint8_t> out(256);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i);
  uint32_t err = 99;
  EXPECT_EQ(LvlSend(port, out.data(), static_cast<uint32_t>(out.size()), 1000, err), out.size());
  EXPECT_EQ(err, 0u);
  EXPECT_EQ(ReadEcho(port, static_cast<uint32_t>(out.size()), err), out);
  EXPECT_EQ(err, 0u);
  LvlClose(port);
}

TEST(WineSerial, PortsAboveNineOpenThroughTheDeviceNamespace) {
  // The bare name is a plain file name to the system; only \\.\COM10 is the port.
  HANDLE bare = ::CreateFileA(kHighEchoPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(bare, INVALID_HANDLE_VALUE);
  if (bare != INVALID_HANDLE_VALUE) ::CloseHandle(bare);

  LinkPort* port = OpenEchoPort(kHighEchoPort);
  ASSERT_NE(port, nullptr);
  const std::vector<uint8_t> out = {0x55, 0xF8, 0x01, 0x00, 0x0D, 0x0A, 0xFF};
  uint32_t err = 99;
  EXPECT_EQ(LvlSend(port, out.data(), static_cast<uint32_t>(out.size()), 1000, err), out.size());
  EXPECT_EQ(ReadEcho(port, static_cast<uint32_t>(out.size()), err), out);
  LvlClose(port);

  // A name that already carries the prefix is used as given.
  port = OpenEchoPort("\\\\.\\COM10");
  ASSERT_NE(port, nullptr);
  LvlClose(port);
}

TEST(WineSerial, AbsentPortFailsWithFileNotFound) {
  uint32_t err = 0;
  EXPECT_EQ(LvlOpen("COM7", Serial, err), nullptr);
  EXPECT_EQ(err, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  err = 0;
  EXPECT_EQ(LvlOpen("COM27", Serial, err), nullptr);
  EXPECT_EQ(err, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST(WineSerial, ReadWithoutDataWaitsItsTimeOutAndReportsNoError) {
  LinkPort* port = OpenEchoPort(kEchoPort);
  ASSERT_NE(port, nullptr);
  uint8_t buf[8] = {};
  uint32_t count = 2;
  uint32_t err = 99;
  const uint32_t start = TickCount();
  EXPECT_EQ(LvlReadMore(port, buf, count, sizeof buf, 300, err), 2u);
  const uint32_t waited = TickCount() - start;
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(err, 0u);
  EXPECT_GE(waited, 250u);
  EXPECT_LT(waited, 3000u);

  // A full buffer returns at once without touching the line.
  count = sizeof buf;
  EXPECT_EQ(LvlReadMore(port, buf, count, sizeof buf, 2000, err), sizeof buf);
  LvlClose(port);
}

TEST(WineSerial, PurgeDropsBytesAlreadyReceived) {
  LinkPort* port = OpenEchoPort(kEchoPort);
  ASSERT_NE(port, nullptr);
  const uint8_t out[] = {'s', 't', 'a', 'l', 'e'};
  uint32_t err = 0;
  ASSERT_EQ(LvlSend(port, out, sizeof out, 1000, err), sizeof out);
  SleepMs(300);  // the echo is back in the input queue
  LvlPurge(port);
  uint8_t buf[16];
  uint32_t count = 0;
  LvlReadMore(port, buf, count, sizeof buf, 0, err);
  EXPECT_EQ(count, 0u);

  // The line still works after the purge.
  const uint8_t fresh[] = {'n', 'e', 'w'};
  ASSERT_EQ(LvlSend(port, fresh, sizeof fresh, 1000, err), sizeof fresh);
  EXPECT_EQ(ReadEcho(port, sizeof fresh, err), std::vector<uint8_t>(fresh, fresh + sizeof fresh));
  LvlClose(port);
}

TEST(WineSerial, DeviceKeepsLineStateAndTimeOutsAsSet) {
  SerialDevice dev;
  uint32_t err = 99;
  ASSERT_TRUE(dev.Open(kEchoPort, false, err)) << "err " << err;
  EXPECT_EQ(err, 0u);
  EXPECT_TRUE(dev.SetupQueues(4096, 4096));

  const SerialTimeouts set{kMaxDword, kMaxDword, 500, 0, 1000};
  ASSERT_TRUE(dev.SetTimeouts(set));
  SerialTimeouts got{};
  ASSERT_TRUE(dev.GetTimeouts(got));
  EXPECT_EQ(got.read_interval, kMaxDword);
  EXPECT_EQ(got.read_multiplier, kMaxDword);
  EXPECT_EQ(got.read_constant, 500u);
  EXPECT_EQ(got.write_multiplier, 0u);
  EXPECT_EQ(got.write_constant, 1000u);

  SerialLineState line;
  ASSERT_TRUE(dev.GetState(line));
  line.baud_rate = 57600;
  line.byte_size = 8;
  line.parity = 0;
  line.stop_bits = 0;
  ASSERT_TRUE(dev.SetState(line));
  SerialLineState read_back;
  ASSERT_TRUE(dev.GetState(read_back));
  EXPECT_EQ(read_back.baud_rate, 57600u);
  EXPECT_EQ(read_back.byte_size, 8u);
  EXPECT_EQ(read_back.parity, 0u);
  EXPECT_EQ(read_back.stop_bits, 0u);

  // From a zeroed state only what is given counts.
  SerialLineState fresh;
  fresh.from_zero = true;
  fresh.baud_rate = 38400;
  fresh.byte_size = 8;
  fresh.xon_char = 0x11;
  fresh.xoff_char = 0x13;
  ASSERT_TRUE(dev.SetState(fresh));
  ASSERT_TRUE(dev.GetState(read_back));
  EXPECT_EQ(read_back.baud_rate, 38400u);
  EXPECT_EQ(read_back.xon_char, 0x11);
  EXPECT_EQ(read_back.xoff_char, 0x13);
  EXPECT_FALSE(read_back.xon_xoff_in);
  EXPECT_FALSE(read_back.xon_xoff_out);

  dev.Close();
  EXPECT_FALSE(dev.IsOpen());
  EXPECT_FALSE(dev.GetState(read_back));
}

// An adapter pulled mid-transfer: ReadFile and WriteFile fail, and ClearCommError fails too or
// has no flags to give. The caller gets the failed call's own error, never 0 (which would send it
// into its whole time-out on a dead device); real flags still win.
DWORD g_call_error = 0;
BOOL g_clear_ok = FALSE;
DWORD g_flags = 0;
int __stdcall FailingRead(void*, void*, unsigned long, unsigned long* done, void*) {
  *done = 0;
  ::SetLastError(g_call_error);
  return FALSE;
}
int __stdcall FailingWrite(void*, const void*, unsigned long, unsigned long* done, void*) {
  *done = 0;
  ::SetLastError(g_call_error);
  return FALSE;
}
int __stdcall ScriptedClearCommError(void*, unsigned long* errors, void*) {
  *errors = g_flags;
  ::SetLastError(ERROR_INVALID_HANDLE);
  return g_clear_ok;
}

TEST(WineSerial, PulledAdapterReportsTheFailedCallsError) {
  LinkPort* port = OpenEchoPort(kEchoPort);
  ASSERT_NE(port, nullptr);
  const SerialDataCalls failing = {FailingRead, FailingWrite, ScriptedClearCommError};
  const SerialDataCalls* system = SetSerialDataCalls(&failing);
  struct Case {
    DWORD call_error;
    BOOL clear_ok;
    DWORD flags;
    uint32_t reported;
  };
  const Case cases[] = {{ERROR_GEN_FAILURE, FALSE, 0, ERROR_GEN_FAILURE},
                        {ERROR_DEVICE_NOT_CONNECTED, TRUE, 0, ERROR_DEVICE_NOT_CONNECTED},
                        {ERROR_GEN_FAILURE, TRUE, CE_FRAME, CE_FRAME}};
  for (const Case& c : cases) {
    g_call_error = c.call_error;
    g_clear_ok = c.clear_ok;
    g_flags = c.flags;
    uint8_t buf[8];
    uint32_t count = 0, err = 0;
    LvlReadMore(port, buf, count, sizeof buf, 1000, err);
    EXPECT_EQ(err, c.reported) << c.call_error << " " << c.flags;
    EXPECT_EQ(LvlSend(port, buf, 1, 1000, err), 0u);
    EXPECT_EQ(err, c.reported) << c.call_error << " " << c.flags;
  }
  SetSerialDataCalls(system);
  EXPECT_TRUE(IsDeviceLostError(ERROR_GEN_FAILURE));
  LvlClose(port);
}

}  // namespace
}  // namespace korvane
