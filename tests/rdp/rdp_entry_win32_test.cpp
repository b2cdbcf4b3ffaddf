// korvane.dll as the Remote Desktop client loads it: VirtualChannelEntry found by name and driven
// through an entry-point table of the system's layout whose functions are the fake client.
#include <windows.h>

#ifndef _stdcall
#define _stdcall __stdcall
#endif
#include <cchannel.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "platform/tcp_socket.h"
#include "support/fake_rdp_channel.h"

namespace korvane::rdp {
namespace {

test::FakeRdpChannel* g_fake = nullptr;
PCHANNEL_INIT_EVENT_FN g_init_event = nullptr;
PCHANNEL_OPEN_EVENT_FN g_open_event = nullptr;

// Set once the test has unloaded the DLL: the client calls it no more.
std::atomic<bool> g_unloaded{false};
// While set, a data message written by the add-in's reader stops inside the client's write until
// g_release is signalled (g_in_write says it got there).
std::atomic<bool> g_hold_data{false};
HANDLE g_in_write = nullptr;
HANDLE g_release = nullptr;

// The fake's events, passed on to the DLL's callbacks.
class DllCallbacks final : public ChannelEvents {
 public:
  void InitEvent(void* init_handle, uint32_t event, const void* data, uint32_t length) override {
    if (!g_unloaded) g_init_event(init_handle, event, const_cast<void*>(data), length);
  }
  void OpenEvent(uint32_t open_handle, uint32_t event, void* data, uint32_t length, uint32_t total_length,
                 uint32_t flags) override {
    if (!g_unloaded) g_open_event(open_handle, event, data, length, total_length, flags);
  }
} g_callbacks;

UINT VCAPITYPE FakeInit(LPVOID* init_handle, PCHANNEL_DEF channels, INT count, ULONG version,
                        PCHANNEL_INIT_EVENT_FN callback) {
  g_init_event = callback;
  std::vector<ChannelDef> defs(static_cast<size_t>(count));
  for (INT i = 0; i < count; ++i) {
    std::memcpy(defs[i].name, channels[i].name, sizeof defs[i].name);
    defs[i].options = channels[i].options;
  }
  return g_fake->Init(init_handle, defs.data(), count, version, &g_callbacks);
}

UINT VCAPITYPE FakeOpen(LPVOID init_handle, LPDWORD open_handle, PCHAR name, PCHANNEL_OPEN_EVENT_FN callback) {
  g_open_event = callback;
  uint32_t handle = 0;
  const UINT rc = g_fake->Open(init_handle, &handle, name, &g_callbacks);
  *open_handle = handle;
  return rc;
}

UINT VCAPITYPE FakeClose(DWORD open_handle) { return g_fake->Close(open_handle); }

UINT VCAPITYPE FakeWrite(DWORD open_handle, LPVOID data, ULONG length, LPVOID user_data) {
  if (g_hold_data && length > 0 && static_cast<const uint8_t*>(data)[0] == kRdpDataMessage) {
    ::SetEvent(g_in_write);
    ::WaitForSingleObject(g_release, INFINITE);
  }
  return g_fake->Write(open_handle, data, length, user_data);
}

// The module the function at `code` lives in, while it is mapped.
HMODULE MappedModule(const void* code) {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCSTR>(code), &module);
  return module;
}

TEST(RdpEntry, TheDllRegistersItsChannelAndAnswersThroughIt) {
  HMODULE dll = ::LoadLibraryA(KORVANE_DLL);
  ASSERT_NE(dll, nullptr) << ::GetLastError();
  auto entry = reinterpret_cast<PVIRTUALCHANNELENTRY>(
      reinterpret_cast<void*>(::GetProcAddress(dll, "VirtualChannelEntry")));
  ASSERT_NE(entry, nullptr);
  test::FakeRdpChannel fake;
  g_fake = &fake;
  EXPECT_FALSE(entry(nullptr));
  CHANNEL_ENTRY_POINTS short_table{};
  short_table.cbSize = sizeof short_table - 1;
  EXPECT_FALSE(entry(&short_table));
  CHANNEL_ENTRY_POINTS table{sizeof table, VIRTUAL_CHANNEL_VERSION_WIN2000, FakeInit, FakeOpen, FakeClose, FakeWrite};
  ASSERT_TRUE(entry(&table));
  fake.Settle();
  ASSERT_EQ(fake.Channels().size(), 1u);
  EXPECT_EQ(std::string(fake.Channels()[0].name, 8), std::string("vrnchl\0\0", 8));
  EXPECT_EQ(fake.Channels()[0].options, 0x00A00000u);

  fake.Connect();
  fake.Settle();
  EXPECT_TRUE(fake.ClientOpen());
  // Nothing listens on port 1: the open is refused and the server told so.
  const test::Bytes open = test::ControlMessage("OPEN:LAN;1");
  fake.ChunkToClient(open, static_cast<uint32_t>(open.size()), kRdpChannelFlagFirst | kRdpChannelFlagLast);
  fake.Settle();
  ASSERT_EQ(fake.ClientWrites().size(), 1u);
  EXPECT_EQ(fake.ClientWrites()[0], test::ControlMessage("ERROR:10061"));
  fake.Disconnect();
  fake.InitEvent(kEventTerminated, {});
  fake.Settle();
  EXPECT_FALSE(fake.ClientOpen());
  EXPECT_EQ(fake.BuffersHanded(), fake.BuffersReturned());
  EXPECT_TRUE(::FreeLibrary(dll));
  g_fake = nullptr;
}

// The connection ends while the reader is caught in a call that does not return (here the client's
// write): the close gives up on it after its 10 s and the client unloads the add-in. The reader
// keeps the DLL mapped, and once its call returns it closes its port and lets the DLL go.
TEST(RdpEntry, AReaderStuckAtUnloadKeepsTheDllUntilItEnds) {
  HMODULE dll = ::LoadLibraryA(KORVANE_DLL);
  ASSERT_NE(dll, nullptr) << ::GetLastError();
  auto entry = reinterpret_cast<PVIRTUALCHANNELENTRY>(
      reinterpret_cast<void*>(::GetProcAddress(dll, "VirtualChannelEntry")));
  ASSERT_NE(entry, nullptr);
  ASSERT_TRUE(StartSockets());
  uint16_t port = 0;
  uint32_t err = 0;
  const SocketHandle listener = SocketListen("127.0.0.1", port, 1, err);
  ASSERT_NE(listener, kInvalidSocket);
  g_in_write = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_release = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  test::FakeRdpChannel fake;
  g_fake = &fake;
  CHANNEL_ENTRY_POINTS table{sizeof table, VIRTUAL_CHANNEL_VERSION_WIN2000, FakeInit, FakeOpen, FakeClose, FakeWrite};
  ASSERT_TRUE(entry(&table));
  fake.Connect();
  const test::Bytes open = test::ControlMessage("OPEN:LAN;" + std::to_string(port));
  fake.ChunkToClient(open, static_cast<uint32_t>(open.size()), kRdpChannelFlagFirst | kRdpChannelFlagLast);
  fake.Settle();
  const SocketHandle terminal = SocketAccept(listener, 5000, err);
  ASSERT_NE(terminal, kInvalidSocket);
  ASSERT_EQ(fake.ClientWrites(), std::vector<test::Bytes>({test::ControlMessage("OPEN-OK")}));

  g_hold_data = true;
  const uint8_t byte = 0x55;
  ASSERT_EQ(SocketSend(terminal, &byte, 1, err), 1);
  ASSERT_EQ(::WaitForSingleObject(g_in_write, 5000), WAIT_OBJECT_0);
  fake.Disconnect();
  fake.InitEvent(kEventTerminated, {});
  fake.Settle();
  g_unloaded = true;
  EXPECT_TRUE(::FreeLibrary(dll));
  EXPECT_EQ(MappedModule(reinterpret_cast<const void*>(entry)), dll);

  ::SetEvent(g_release);
  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i) {
    gone = MappedModule(reinterpret_cast<const void*>(entry)) == nullptr;
    if (!gone) ::Sleep(10);
  }
  EXPECT_TRUE(gone);
  uint8_t buf[8];
  EXPECT_TRUE(SocketWaitReadable(terminal, 2000));
  EXPECT_EQ(SocketRecv(terminal, buf, sizeof buf, err), 0);  // the reader closed the port
  SocketClose(terminal);
  SocketClose(listener);
  g_fake = nullptr;
}

}  // namespace
}  // namespace korvane::rdp
