#pragma once
#include <cstdint>

namespace korvane {

// The calling thread's id as the system numbers threads (32-bit).
uint32_t CurrentThreadId();

}  // namespace korvane
