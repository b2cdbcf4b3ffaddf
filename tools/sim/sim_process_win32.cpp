#include <windows.h>

#include "sim_process.h"

namespace korvane::sim {

namespace {

constexpr double kFileTimeUnitsPerSecond = 1e7;

std::atomic<bool>* g_stop = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  *g_stop = true;
  return TRUE;
}

double Seconds(const FILETIME& t) {
  const ULONGLONG units = (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return static_cast<double>(units) / kFileTimeUnitsPerSecond;
}

}  // namespace

void StopOnInterrupt(std::atomic<bool>& stop) {
  g_stop = &stop;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void ProcessCpuSeconds(double& user, double& system) {
  FILETIME created{}, exited{}, kernel{}, user_time{};
  user = system = 0;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user_time)) return;
  user = Seconds(user_time);
  system = Seconds(kernel);
}

}  // namespace korvane::sim
