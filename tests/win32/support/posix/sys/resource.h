#pragma once

// getrusage's peak resident size for the Windows build's tests: the process's
// peak working set.
#include <windows.h>
#include <psapi.h>

#define RUSAGE_SELF 0

struct rusage {
  long ru_maxrss;  // KiB
};

inline int getrusage(int, rusage* usage) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
  usage->ru_maxrss = static_cast<long>(counters.PeakWorkingSetSize / 1024);
  return 0;
}
