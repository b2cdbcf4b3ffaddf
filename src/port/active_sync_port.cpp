#include <mutex>

#include "log/diag_log.h"
#include "platform/ticks.h"
#include "port/active_sync.h"
#include "port/connect_back_value.h"
#include "port/port_kinds.h"
#include "port/rapi_library.h"
#include "port/tcp_socket_port.h"

namespace korvane {

namespace {

constexpr uint32_t kErrActiveSyncUnavailable = 2;  // no remote API, or it did not start
constexpr uint32_t kErrNoConnectBack = 21;         // the device key or value, or no connection in time
constexpr int kListenBacklog = 1;
constexpr const char* kAnyAddress = "0.0.0.0";
constexpr uint32_t kRegSz = 1;

// HKEY_LOCAL_MACHINE on the device: the predefined key's value, sign-extended as the system does.
const RapiHandle kDeviceLocalMachine = reinterpret_cast<RapiHandle>(static_cast<intptr_t>(INT32_C(-2147483646)));
constexpr const char16_t* kDeviceKey = u"SOFTWARE\\Qor\\Korvane";
constexpr const char16_t* kValueName = u"RemoteConnection";

uint32_t g_connect_wait_ms = kActiveSyncConnectWaitMs;

std::string NoDockingAddress() { return {}; }
DockingAddressSource g_docking_address = NoDockingAddress;

// The library and its entry points are one per process: one kind-5 open at a time.
std::mutex& OpenLock() {
  static std::mutex lock;
  return lock;
}

bool StartRemoteApi(RapiLibrary& library, RapiConnection& connection) {
  if (!library.Load()) return false;
  const RapiEntryPoints& api = library.Api();
  RapiInitRecord init;
  const int32_t called = api.CeRapiInitEx(&init);
  api.CeGetLastError();  // read once after the start; its value is not used
  if (called == 0) {
    // Only a start that fired its event with a success code counts.
    if (api.WaitEvent(init.start_event, kActiveSyncStartWaitMs) && init.result >= 0) {
      connection.SetInitialised();
      return true;
    }
    api.CeRapiUninit();
  }
  if (init.start_event) api.CloseEvent(init.start_event);
  return false;
}

bool ListenOnDockingLink(TcpSocket& listener, uint16_t& port, uint32_t& err) {
  std::string address = g_docking_address();
  if (address.empty()) {
    DiagLogAppend("(ActiveSync) Адрес ПК в канале синхронизации неизвестен, ожидание подключения на всех адресах", 0);
    address = kAnyAddress;
  }
  port = 0;
  return listener.Listen(address, port, kListenBacklog, err);
}

}  // namespace

void SetActiveSyncConnectWaitMs(uint32_t ms) { g_connect_wait_ms = ms ? ms : kActiveSyncConnectWaitMs; }

void SetDockingAddressSource(DockingAddressSource source) { g_docking_address = source ? source : NoDockingAddress; }

bool ActiveSyncConnect(SocketHandle& socket, uint32_t& err) {
  std::lock_guard<std::mutex> one_open(OpenLock());
  socket = kInvalidSocket;
  RapiLibrary& library = ProcessRapiLibrary();
  RapiConnection connection(library);  // every way out releases it and unloads the library
  if (!StartRemoteApi(library, connection)) {
    err = kErrActiveSyncUnavailable;
    return false;
  }
  TcpSocket listener;
  uint16_t port = 0;
  if (!ListenOnDockingLink(listener, port, err)) return false;

  const RapiEntryPoints& api = library.Api();
  if (api.CeRegOpenKeyEx(kDeviceLocalMachine, kDeviceKey, 0, 0, &connection.Key()) != 0) {
    connection.Key() = nullptr;
    err = kErrNoConnectBack;
    return false;
  }
  const std::string value = ConnectBackValue(port);
  const uint32_t deadline = TickCount() + g_connect_wait_ms;
  // The value is written on every pass: the terminal may have cleared it or missed it.
  while (!TickReached(TickCount(), deadline) && library.Loaded() && connection.Key()) {
    if (api.CeRegSetValueEx(connection.Key(), kValueName, 0, kRegSz, reinterpret_cast<const uint8_t*>(value.data()),
                            static_cast<uint32_t>(value.size())) != 0)
      break;
    if (!listener.WaitReadable(TicksLeft(TickCount(), deadline))) continue;
    SocketHandle accepted = kInvalidSocket;
    uint32_t accept_err = 0;
    if (listener.Accept(accepted, 0, accept_err)) {
      socket = accepted;  // already non-blocking
      err = 0;
      return true;
    }
  }
  err = kErrNoConnectBack;
  return false;
}

}  // namespace korvane
