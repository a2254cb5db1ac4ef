#pragma once
// Deadlines of waits in tests, stretched by LUMO_TIME_SCALE (a whole number,
// default 1): an emulated machine runs the same code several times slower.
// Only how long a test waits is scaled, never what it asserts.
#include <cstdlib>

inline int TimeScale() {
  const char* s = std::getenv("LUMO_TIME_SCALE");
  const int v = s ? std::atoi(s) : 1;
  return v > 0 ? v : 1;
}
