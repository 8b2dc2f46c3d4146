// The clocks of the Windows benchmarks: wall time and the process's CPU time.
#pragma once

#include <windows.h>

#include <cstdint>

inline double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// User + kernel time of the whole process (every thread: the device's worker
// threads included), in ms.
inline double ProcessCpuMs() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
  auto ms = [](const FILETIME& f) {
    return static_cast<double>((uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime) / 10000.0;
  };
  return ms(kernel) + ms(user);
}
