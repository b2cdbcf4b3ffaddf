// Idle cost of a WCEPortSet under Wine: `com_idle SECONDS none|set` keeps an apartment thread
// waiting for messages, with or without a set watching for device changes, for SECONDS after it
// prints "ready". bench/com_idle.sh counts the process's context switches meanwhile from outside.
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "automation/korvane_idl.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kSettleMs = 1000;

// Waits `ms` while dispatching this thread's messages, as an application's main thread does.
void PumpFor(DWORD ms) {
  const ULONGLONG end = ::GetTickCount64() + ms;
  for (ULONGLONG now = ::GetTickCount64(); now < end; now = ::GetTickCount64()) {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: com_idle SECONDS none|set\n");
    return 2;
  }
  const DWORD seconds = static_cast<DWORD>(std::atoi(argv[1]));
  const bool with_set = std::string(argv[2]) == "set";
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  {
    ComPtr<IWCEPortSet> set;
    if (with_set &&
        FAILED(::CoCreateInstance(CLSID_WCEPortSet, nullptr, CLSCTX_INPROC_SERVER, IID_IWCEPortSet, &set))) {
      std::fprintf(stderr, "cannot create Korvane.WCEPortSet (is korvane.dll registered?)\n");
      return 1;
    }
    PumpFor(kSettleMs);
    std::printf("ready\n");
    std::fflush(stdout);
    PumpFor(seconds * 1000);
  }
  ::CoUninitialize();
  return 0;
}
