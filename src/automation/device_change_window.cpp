#include "automation/device_change_window.h"

#include <dbt.h>

#include <cstddef>
#include <mutex>

#include "automation/com_module.h"

namespace korvane::com {

namespace {

constexpr int kWindowExtraBytes = 1024;
constexpr int kWatchSlot = 0;  // offset of the watch pointer in the extra bytes
constexpr DWORD kFilterBytes = 32;
constexpr size_t kPathOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == kFilterBytes);

// The class is one per module, but watches come and go independently: it stays registered while
// any watch still has a window of it.
std::mutex g_class_lock;
int g_class_users = 0;

bool HoldWindowClass(WNDPROC procedure) {
  std::lock_guard<std::mutex> guard(g_class_lock);
  if (g_class_users == 0) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = procedure;
    wc.cbWndExtra = kWindowExtraBytes;
    wc.hInstance = ModuleHandle();
    wc.lpszClassName = kNotifyWindowClass;
    if (!::RegisterClassExW(&wc)) return false;
  }
  ++g_class_users;
  return true;
}

void ReleaseWindowClass() {
  std::lock_guard<std::mutex> guard(g_class_lock);
  if (--g_class_users == 0) ::UnregisterClassW(kNotifyWindowClass, ModuleHandle());
}

}  // namespace

bool DevicePathOf(LPARAM record, std::wstring_view& path) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(record);
  if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE || header->dbch_size < kPathOffset) return false;
  // The name need not end in a NUL inside the record: the record's size is the limit.
  const auto* name = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(record)->dbcc_name;
  const size_t room = (header->dbch_size - kPathOffset) / sizeof(wchar_t);
  size_t length = 0;
  while (length < room && name[length] != L'\0') ++length;
  path = std::wstring_view(name, length);
  return true;
}

bool DeviceChangeWatch::Running() const { return thread_ && ::WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT; }

bool DeviceChangeWatch::Start() {
  if (Running()) return true;
  Stop();
  stop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!stop_) return false;
  class_held_ = HoldWindowClass(&WindowProcedure);
  if (class_held_)
    window_ = ::CreateWindowExW(0, kNotifyWindowClass, kNotifyWindowName, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ModuleHandle(), this);
  if (window_) thread_ = ::CreateThread(nullptr, 0, &ThreadProcedure, stop_, 0, nullptr);
  if (!thread_) {
    Stop();
    return false;
  }
  return true;
}

void DeviceChangeWatch::Stop() {
  if (registration_) ::UnregisterDeviceNotification(registration_);
  registration_ = nullptr;
  if (window_) ::DestroyWindow(window_);
  window_ = nullptr;
  if (thread_) {
    ::SetEvent(stop_);
    ::WaitForSingleObject(thread_, INFINITE);
    ::CloseHandle(thread_);
    thread_ = nullptr;
  }
  if (stop_) ::CloseHandle(stop_);
  stop_ = nullptr;
  if (class_held_) ReleaseWindowClass();
  class_held_ = false;
}

// The window's messages are queued for the thread that created it, never for this one: the
// thread only waits to be stopped, without waking meanwhile.
DWORD WINAPI DeviceChangeWatch::ThreadProcedure(void* stop_event) {
  ::WaitForSingleObject(static_cast<HANDLE>(stop_event), INFINITE);
  return 0;
}

LRESULT CALLBACK DeviceChangeWatch::WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE: {
      auto* watch = static_cast<DeviceChangeWatch*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
      DEV_BROADCAST_DEVICEINTERFACE_W filter{};
      filter.dbcc_size = kFilterBytes;
      filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      filter.dbcc_classguid = kHandheldInterfaceClass;
      watch->registration_ = ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
      ::SetWindowLongPtrW(window, kWatchSlot, reinterpret_cast<LONG_PTR>(watch));
      return 0;
    }
    case WM_DEVICECHANGE: {
      if (wparam != DBT_DEVICEARRIVAL && wparam != DBT_DEVICEREMOVECOMPLETE) return TRUE;
      auto* watch = reinterpret_cast<DeviceChangeWatch*>(::GetWindowLongPtrW(window, kWatchSlot));
      std::wstring_view path;
      // The listener may stop the watch and destroy this window: nothing of either is used after.
      if (watch && DevicePathOf(lparam, path))
        watch->listener_.DeviceChanged(wparam == DBT_DEVICEARRIVAL ? kDeviceArrived : kDeviceRemoved, path);
      return TRUE;
    }
    case WM_DESTROY: ::SetWindowLongPtrW(window, kWatchSlot, 0); return 0;
    case WM_SIZE:
    case WM_PAINT: return 0;
    default: return ::DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace korvane::com
