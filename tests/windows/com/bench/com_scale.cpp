// Several Zyl.Ostrel2 objects at once, each made and used on its own multithreaded-apartment
// thread against its own terminal: `com_scale [--sta] PORT...` downloads each terminal's journal and
// uploads the same rows back as goods, all threads together, and prints one line per object
// (port, device ID, rows down, rows up, seconds, results) and a total. The caller compares what
// each simulator received with what it sent. The objects are registered apartment-threaded, so
// from multithreaded-apartment threads COM creates them all in the process's one host apartment
// and every call goes there through a proxy; --sta gives each thread an apartment of its own
// instead, where its object lives and is called directly.
#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "automation/korvane_idl.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kJournal = 0;
constexpr int kGoods = 7;

struct Run {
  std::string port;
  std::string device_id;
  long received = -1;
  long sent = -1;
  long connect = 0, recv = 0, send = 0;
  double seconds = 0;
};

std::string Narrow(BSTR s) {
  std::string out;
  for (const wchar_t* p = s; p != nullptr && *p != 0; ++p) out.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
  return out;
}

void Transfer(Run& run, bool sta, std::atomic<int>& ready, HANDLE start) {
  ::CoInitializeEx(nullptr, sta ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
  {
    CLSID clsid{};
    ComPtr<IOstrel2> o;
    if (SUCCEEDED(::CLSIDFromProgID(L"Zyl.Ostrel2", &clsid)) &&
        SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOstrel2, &o))) {
      std::wstring wide(run.port.begin(), run.port.end());
      BSTR name = ::SysAllocString(wide.c_str());
      o->put_Port(name);
      ::SysFreeString(name);
      o->ConnectTerminal(&run.connect);
      BSTR id = nullptr;
      if (SUCCEEDED(o->get_RemoteDevID(&id))) run.device_id = Narrow(id);
      ::SysFreeString(id);
      // Every object connected before any transfer starts, so all of them run together.
      ++ready;
      ::WaitForSingleObject(start, INFINITE);
      const auto t0 = std::chrono::steady_clock::now();
      long r = 0;
      ComPtr<IOstrelStrings> rows;
      if (run.connect == 1 && SUCCEEDED(o->RecvPrepare(&r)) && r == 0 &&
          SUCCEEDED(o->RecvTableAsStrings(kJournal, &rows)) && rows) {
        o->get_LastErrorCode(&run.recv);
        rows->get_Count(&run.received);
        if (SUCCEEDED(o->SendPrepare(&r)) && r == 0) {
          o->SendTableAsStrings(kGoods, rows.Get(), &run.send);
          if (run.send == 0) {
            run.sent = run.received;
            o->SendFinal(0, &r);
          }
        }
      }
      run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      o->DisconnectTerminal();
    } else {
      ++ready;
      ::WaitForSingleObject(start, INFINITE);
    }
  }
  ::CoUninitialize();
}

}  // namespace

int main(int argc, char** argv) {
  const bool sta = argc > 1 && std::string(argv[1]) == "--sta";
  const int first = sta ? 2 : 1;
  if (argc <= first) {
    std::fprintf(stderr, "usage: com_scale [--sta] LAN:HOST:PORT...\n");
    return 2;
  }
  std::vector<Run> runs(static_cast<size_t>(argc - first));
  for (int i = first; i < argc; ++i) runs[static_cast<size_t>(i - first)].port = argv[i];
  HANDLE start = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (Run& run : runs) threads.emplace_back([&run, sta, &ready, start]() { Transfer(run, sta, ready, start); });
  // The connects take a moment each; then all transfers begin at once.
  for (int wait = 0; wait < 3000 && ready.load() < static_cast<int>(runs.size()); ++wait) ::Sleep(10);
  const auto t0 = std::chrono::steady_clock::now();
  ::SetEvent(start);
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ::CloseHandle(start);
  bool ok = true;
  long rows = 0;
  for (const Run& run : runs) {
    std::printf("%s %s %ld %ld %.3f %ld %ld %ld\n", run.port.c_str(),
                run.device_id.empty() ? "-" : run.device_id.c_str(), run.received, run.sent, run.seconds, run.connect,
                run.recv, run.send);
    ok = ok && run.received > 0 && run.sent == run.received;
    rows += run.received + run.sent;
  }
  std::printf("total %zu %ld %.3f\n", runs.size(), rows, seconds);
  return ok ? 0 : 1;
}
