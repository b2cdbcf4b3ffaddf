// What the simulator asks of its process: an orderly stop on an interrupt, and its CPU time.
#pragma once
#include <atomic>

namespace korvane::sim {

// Sets `stop` on an interrupt (Ctrl+C, SIGTERM, a closed console); a peer gone from a pipe or
// socket never kills the simulator.
void StopOnInterrupt(std::atomic<bool>& stop);
// CPU seconds used so far, in user and in system mode.
void ProcessCpuSeconds(double& user, double& system);

}  // namespace korvane::sim
