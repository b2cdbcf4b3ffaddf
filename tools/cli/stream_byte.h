// One byte from a stream the tool alone reads, without taking the stream's lock for each byte
// (CSV files are read a byte at a time). Inline: the call is the inner loop of every file read.
#pragma once
#include <cstdio>

namespace korvane::tools {

inline int NextByte(FILE* f) {
#ifdef _WIN32
  return _getc_nolock(f);
#else
  return getc_unlocked(f);
#endif
}

}  // namespace korvane::tools
