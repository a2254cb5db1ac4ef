// Exchange timings over a serial line, through Lumo.dll's slots, against the
// simulated gauge (run by scripts/bench.sh): successful and failing exchanges,
// CPU per exchange, and the CPU an open, idle port costs.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "lumo.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& t) {
    return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Series {
  std::vector<double> wall_ms;
  double cpu_ms_per_exchange = 0;
  double Median() {
    std::sort(wall_ms.begin(), wall_ms.end());
    return wall_ms[wall_ms.size() / 2];
  }
  double Worst() { return *std::max_element(wall_ms.begin(), wall_ms.end()); }
};

}  // namespace

int main(int argc, char** argv) {
  const uint32_t com = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 6;
  const int successes = argc > 2 ? std::atoi(argv[2]) : 40;
  const int failures = argc > 3 ? std::atoi(argv[3]) : 6;
  const int idle_seconds = argc > 4 ? std::atoi(argv[4]) : 10;

  HMODULE dll = LoadLibraryA("Lumo.dll");
  if (!dll) return 1;
  auto factory = reinterpret_cast<lumo::GetSiloEx3Fn>(
      reinterpret_cast<void*>(GetProcAddress(dll, lumo::kGetSiloEx3Name)));
  lumo::Driver* d = factory(nullptr, com, 0);
  auto value4 = lumo::SlotAs<lumo::QueryValue4Fn>(d, lumo::kSlotQueryValue4);
  auto link = lumo::SlotAs<lumo::GetLinkStateFn>(d, lumo::kSlotGetLinkState);

  // Channel 0 answers; channel 31 is made silent by the simulator's fault.
  auto run = [&](uint32_t channel, int count, uint32_t expect_link) {
    Series s;
    const double cpu0 = CpuSeconds();
    for (int i = 0; i < count; ++i) {
      const auto t0 = Clock::now();
      value4(d, channel);
      s.wall_ms.push_back(Ms(Clock::now() - t0));
      if (link(d) != expect_link) std::fprintf(stderr, "unexpected link state %u\n", link(d));
    }
    s.cpu_ms_per_exchange = (CpuSeconds() - cpu0) * 1000.0 / count;
    return s;
  };
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  Sleep(static_cast<DWORD>(idle_seconds) * 1000);
  const double idle_percent = (CpuSeconds() - cpu0) * 100.0 / (Ms(Clock::now() - t0) / 1000.0);

  Series ok = run(0, successes, lumo::kLinkValidReply);
  Series fail = run(31, failures, lumo::kLinkNoReply);
  lumo::Release(d);

  std::printf("%-44s %10s %10s %10s\n", "measure", "value", "target", "verdict");
  auto line = [](const char* what, double value, const char* target, bool ok) {
    std::printf("%-44s %10.2f %10s %10s\n", what, value, target, ok ? "ok" : "MISSED");
  };
  const double ok_median = ok.Median(), ok_worst = ok.Worst();
  const double fail_median = fail.Median(), fail_worst = fail.Worst();
  line("successful exchange, median ms", ok_median, "200+3", ok_median <= 203);
  line("successful exchange, worst ms", ok_worst, "-", true);
  line("failing exchange, median ms", fail_median, "740+10", fail_median <= 750);
  line("failing exchange, worst ms", fail_worst, "-", true);
  line("CPU per successful exchange, ms", ok.cpu_ms_per_exchange, "<2", ok.cpu_ms_per_exchange < 2);
  line("CPU per failing exchange, ms", fail.cpu_ms_per_exchange, "<2", fail.cpu_ms_per_exchange < 2);
  line("idle open port, % of one core", idle_percent, "<0.5", idle_percent < 0.5);
  // What an exchange costs beyond the idle port's own rate over its duration.
  const double ok_excess = ok.cpu_ms_per_exchange - idle_percent / 100.0 * ok_median;
  const double fail_excess = fail.cpu_ms_per_exchange - idle_percent / 100.0 * fail_median;
  line("CPU per successful exchange above idle, ms", ok_excess, "-", true);
  line("CPU per failing exchange above idle, ms", fail_excess, "-", true);
  std::printf("(%d successful and %d failing exchanges, %d s idle, COM%u)\n", successes, failures,
              idle_seconds, com);
  return 0;
}
