// Table transfer through korvane.dll against the same transfer through the link itself, in one
// Windows process kind under Wine: `com_bench direct|com PORT ROWS` downloads the journal and
// uploads it back as goods, then prints one line of figures. The caller runs both and compares.
#include <windows.h>
#include <wrl/client.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "automation/korvane_idl.h"
#include "link/row_stream.h"
#include "link/terminal_link.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kJournal = 0;
constexpr int kGoods = 7;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Figures {
  long received = -1, sent = -1;
  double recv_s = 0, send_s = 0;
  int recv_result = 0, send_result = 0;
};

Figures Direct(const std::string& port) {
  Figures f;
  korvane::TerminalLink link;
  link.SetPort(port);
  if (link.ConnectTerminal() != korvane::S_CONNECTED || link.RecvPrepare() != 0) return f;
  korvane::StringRowList rows;
  auto t0 = std::chrono::steady_clock::now();
  f.recv_result = link.RecvTable(kJournal, rows, nullptr);
  f.recv_s = Seconds(t0);
  f.received = static_cast<long>(rows.Rows().size());
  if (link.ActivateUploadingTables() != 0) return f;
  t0 = std::chrono::steady_clock::now();
  f.send_result = link.SendTable(kGoods, rows, nullptr, static_cast<int32_t>(rows.Rows().size()));
  f.send_s = Seconds(t0);
  f.sent = f.send_result == 0 ? f.received : 0;
  link.SendFinal(0);
  link.Disconnect();
  return f;
}

Figures ThroughCom(const std::string& port) {
  Figures f;
  CLSID clsid{};
  ComPtr<IOstrel2> o;
  if (FAILED(::CLSIDFromProgID(L"Zyl.Ostrel2", &clsid)) ||
      FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOstrel2, &o)))
    return f;
  std::wstring wide(port.begin(), port.end());
  BSTR name = ::SysAllocString(wide.c_str());
  o->put_Port(name);
  ::SysFreeString(name);
  long r = 0;
  o->ConnectTerminal(&r);
  if (r != 1) return f;
  o->RecvPrepare(&r);
  if (r != 0) return f;
  ComPtr<IOstrelStrings> rows;
  auto t0 = std::chrono::steady_clock::now();
  o->RecvTableAsStrings(kJournal, &rows);
  f.recv_s = Seconds(t0);
  o->get_LastErrorCode(&r);
  f.recv_result = static_cast<int>(r);
  rows->get_Count(&f.received);
  o->SendPrepare(&r);
  if (r != 0) return f;
  t0 = std::chrono::steady_clock::now();
  o->SendTableAsStrings(kGoods, rows.Get(), &r);
  f.send_s = Seconds(t0);
  f.send_result = static_cast<int>(r);
  f.sent = r == 0 ? f.received : 0;
  o->SendFinal(0, &r);
  o->DisconnectTerminal();
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::string(argv[1]) != "direct" && std::string(argv[1]) != "com")) {
    std::fprintf(stderr, "usage: com_bench direct|com LAN:HOST:PORT\n");
    return 2;
  }
  const bool com = std::string(argv[1]) == "com";
  if (com) ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const Figures f = com ? ThroughCom(argv[2]) : Direct(argv[2]);
  if (com) ::CoUninitialize();
  // One machine-readable line: path rows_received recv_s rows_sent send_s results. The caller takes
  // the peak memory from the host (the process's own counters under Wine miss most of the heap).
  std::printf("%s %ld %.4f %ld %.4f %d %d\n", argv[1], f.received, f.recv_s, f.sent, f.send_s, f.recv_result,
              f.send_result);
  return f.received > 0 && f.sent == f.received ? 0 : 1;
}
