// Clocks and figures shared by lumo-bench and its reference program.
#ifndef LUMO_TOOLS_BENCHCLOCK_H
#define LUMO_TOOLS_BENCHCLOCK_H

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

namespace lumo_bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The process's user and kernel time, all threads, in ms. Under Wine it
// advances in 10-ms ticks: series must be long enough for that.
inline double ProcessCpuMs() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ms = [](const FILETIME& t) {
    return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e4;
  };
  return ms(kernel) + ms(user);
}

// CPU spent since construction.
class CpuClock {
 public:
  CpuClock() : start_(ProcessCpuMs()) {}
  double Spent() const { return ProcessCpuMs() - start_; }
  double MsPer(int count) const { return count > 0 ? Spent() / count : 0; }
  double PercentOfOneCore(Clock::duration wall) const { return Spent() * 100.0 / Ms(wall); }

 private:
  double start_;
};

// The value below which a share p (0..1) of the figures lie.
inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto at = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

inline double Median(std::vector<double> v) { return Percentile(std::move(v), 0.5); }

}  // namespace lumo_bench

#endif
