#include <signal.h>
#include <sys/resource.h>

#include "sim_process.h"

namespace korvane::sim {

namespace {

std::atomic<bool>* g_stop = nullptr;

void OnSignal(int) { *g_stop = true; }

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

}  // namespace

void StopOnInterrupt(std::atomic<bool>& stop) {
  g_stop = &stop;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void ProcessCpuSeconds(double& user, double& system) {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  user = Seconds(ru.ru_utime);
  system = Seconds(ru.ru_stime);
}

}  // namespace korvane::sim
