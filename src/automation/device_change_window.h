// Arrival and removal of hand-held devices, reported to a hidden message-only window that belongs
// to the thread that starts the watch: the changes arrive while that thread dispatches messages.
#pragma once
#include <windows.h>

#include <string_view>

namespace korvane::com {

inline constexpr const wchar_t* kNotifyWindowClass = L"NotifyDeviceChangeWndClass";
inline constexpr const wchar_t* kNotifyWindowName = L"NotifyDeviceChangeWnd";
// The device interface class of hand-held terminals.
inline constexpr GUID kHandheldInterfaceClass = {
    0x25DBCE51, 0x6C8F, 0x4A72, {0x8A, 0x6D, 0xB5, 0x4C, 0x2B, 0x4F, 0xC8, 0x35}};

// nState of a change: a device arrived or was removed.
constexpr long kDeviceArrived = 1;
constexpr long kDeviceRemoved = 0;

class DeviceChangeListener {
 public:
  virtual void DeviceChanged(long state, std::wstring_view device_path) = 0;

 protected:
  ~DeviceChangeListener() = default;
};

// The interface path a device-change record carries, bounded by the record's own size; false for
// records that carry none.
bool DevicePathOf(LPARAM record, std::wstring_view& path);

// One watch: the window, its device-notification registration, and a thread that marks the watch
// as running until it is stopped. Start and Stop run on the same thread.
class DeviceChangeWatch {
 public:
  explicit DeviceChangeWatch(DeviceChangeListener& listener) : listener_(listener) {}
  ~DeviceChangeWatch() { Stop(); }
  DeviceChangeWatch(const DeviceChangeWatch&) = delete;
  DeviceChangeWatch& operator=(const DeviceChangeWatch&) = delete;

  bool Running() const;
  // Starts the watch unless it runs; false when the system refused a part of it (nothing is left).
  bool Start();
  void Stop();

 private:
  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static DWORD WINAPI ThreadProcedure(void* stop_event);

  DeviceChangeListener& listener_;
  HANDLE stop_ = nullptr;
  HWND window_ = nullptr;
  HANDLE thread_ = nullptr;
  HDEVNOTIFY registration_ = nullptr;
  bool class_held_ = false;
};

}  // namespace korvane::com
