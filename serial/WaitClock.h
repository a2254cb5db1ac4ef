// Timed waits measured with the high-resolution counter. Windows ends Sleep
// and timed waits on its tick (15.6 ms by default) and may end them up to a
// tick early; a wait is therefore repeated until the counter says its whole
// length has passed.
#ifndef LUMO_SERIAL_WAITCLOCK_H
#define LUMO_SERIAL_WAITCLOCK_H

#include <windows.h>

namespace lumo::serial {

class WaitClock {
 public:
  WaitClock() {
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
  }
  // The counter now, and whole milliseconds since an earlier reading.
  static long long Ticks() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
  }
  static DWORD MsSince(long long ticks) {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    const long long elapsed = Ticks() - ticks;
    return elapsed <= 0 ? 0 : static_cast<DWORD>(elapsed * 1000 / frequency.QuadPart);
  }

  // Milliseconds left of a wait of total_ms begun at construction, rounded
  // up; 0 once it is over.
  DWORD LeftMs(DWORD total_ms) const {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const long long elapsed = now.QuadPart - start_.QuadPart;
    const long long total = frequency_.QuadPart * total_ms / 1000;
    if (elapsed >= total) return 0;
    return static_cast<DWORD>(((total - elapsed) * 1000 + frequency_.QuadPart - 1) / frequency_.QuadPart);
  }

 private:
  LARGE_INTEGER frequency_{};
  LARGE_INTEGER start_{};
};

}  // namespace lumo::serial

#endif
