// lumo-bench: exchange timings over virtual serial lines against the simulated
// gauge (run by scripts/bench.sh), in the fixed-window and the fast reply
// mode, side by side with lumo-bench-ref, the least program that can run the
// same exchange: CPU per exchange, the idle cost of an open port, release
// time, heap allocations per exchange, eight ports polled at once, and the
// time to read whole gauges; on the paced line and again on an instant one.
//
// The library's sources are linked in, with the allocation counter of the
// test support and the C++ run-time linked statically, so that every
// operator new the library makes is counted.
// Writes bench.md (the table), exchanges.csv and ports.csv into --out.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "AllocationCounter.h"
#include "BenchClock.h"
#include "ControlClient.h"
#include "driver/ConnectionConfig.h"
#include "driver/Silo.h"
#include "lumo.h"

namespace {

using lumo_bench::Clock;
using lumo_bench::CpuClock;
using lumo_bench::Median;
using lumo_bench::Percentile;
using lumo_bench::Ms;

constexpr uint32_t kAnswering = 0;
constexpr uint32_t kSilent = 31;          // silenced on the --com gauge only
constexpr double kAnsweredValue = 250.5;  // as scripts/bench.sh describes the gauge
constexpr uint32_t kChannels = 32;

struct Options {
  unsigned com = 6;
  int count = 100;       // fixed window: CPU time advances in 10-ms ticks
  int fast_count = 1000;  // fast mode: a few ms each
  int failures = 6;
  int idle_seconds = 10;
  int releases = 8;
  std::vector<unsigned> ports;  // the eight-port run's COM numbers
  int per_port = 30;
  int per_port_fast = 500;
  int instant_count = 1000;  // fast mode on the instant line
  int instant_fixed = 20;
  std::string out = ".";
  int turnaround_ms = 5;  // the simulated gauge's on the paced line
};

// The least time a prompt exchange can take on a 9600-baud 8N1 line: the
// request's and the reply's characters (11 and, for a level read, 19) at 10
// bits each, and the gauge's turnaround between them.
double WireFloorMs(int turnaround_ms, int reply_chars = 19) {
  return (11 + reply_chars) * 10 * 1000.0 / 9600 + turnaround_ms;
}

// The same for one whole gauge: per channel four 19-character replies and
// the 21 characters of the code-16 reading.
double GaugeFloorMs(int turnaround_ms) {
  return kChannels * (4 * WireFloorMs(turnaround_ms) + WireFloorMs(turnaround_ms, 21));
}

// ---------------------------------------------------------------------------
// The simulated gauges' control ports, as scripts/sim-run.sh tells them:
// LUMO_SIM for --com, LUMO_SIM2, LUMO_SIM3, ... for --ports in order.

std::string ControlVariable(size_t gauge) {
  return gauge == 0 ? "LUMO_SIM" : "LUMO_SIM" + std::to_string(gauge + 1);
}

// Sends one command to each of the first `gauges`; a refusal ends the run,
// since the figures would then describe another line than they claim.
void Control(size_t gauges, const std::string& command) {
  for (size_t i = 0; i < gauges; ++i) {
    ControlClient client(ControlVariable(i).c_str());
    const std::string reply = client.Connected() ? client.Exchange(command) : client.Error();
    if (reply.rfind("ok", 0) != 0) {
      std::fprintf(stderr, "lumo-bench: %s: \"%s\" gave: %s\n", ControlVariable(i).c_str(), command.c_str(),
                   reply.c_str());
      std::exit(1);
    }
  }
}

// ---------------------------------------------------------------------------
// cnf.ini's FastReply, set for the driver objects made next and put back.

class FastReplySetting {
 public:
  FastReplySetting() : path_(ConfigFilePath()) {
    existed_ = GetFileAttributesA(path_.c_str()) != INVALID_FILE_ATTRIBUTES;
    char value[16] = {};
    GetPrivateProfileStringA("Lumo", lumo::kFastReplyKey, "\x01", value, sizeof value, path_.c_str());
    had_key_ = value[0] != '\x01';
    old_ = value;
  }
  ~FastReplySetting() {
    if (!existed_) {
      DeleteFileA(path_.c_str());
    } else {
      WritePrivateProfileStringA("Lumo", lumo::kFastReplyKey, had_key_ ? old_.c_str() : nullptr,
                                 path_.c_str());
    }
  }
  void Set(bool fast) {
    WritePrivateProfileStringA("Lumo", lumo::kFastReplyKey, fast ? "1" : "0", path_.c_str());
  }

 private:
  std::string path_, old_;
  bool existed_ = false, had_key_ = false;
};

lumo::Driver* OpenDriver(unsigned com) {
  return (new TSilo(static_cast<uint8_t>(com + 2), nullptr))->AsDriver();
}

double Value4(lumo::Driver* d, uint32_t channel) {
  return lumo::SlotAs<lumo::QueryValue4Fn>(d, lumo::kSlotQueryValue4)(d, channel);
}

uint32_t Link(lumo::Driver* d) {
  return lumo::SlotAs<lumo::GetLinkStateFn>(d, lumo::kSlotGetLinkState)(d);
}

struct Series {
  std::vector<double> wall_ms;
  double cpu_ms = 0;  // per exchange
  double allocations = 0;  // per exchange
  int wrong = 0;      // exchanges that ended with another link state or value
  double MedianMs() const { return Median(wall_ms); }
};

Series Run(lumo::Driver* d, uint32_t channel, int count, uint32_t expect_link) {
  Series s;
  s.wall_ms.reserve(static_cast<size_t>(count));
  CpuClock cpu;
  const long allocations = lumo_test::Allocations();
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    const double value = Value4(d, channel);
    s.wall_ms.push_back(Ms(Clock::now() - t0));
    const bool answered = expect_link == lumo::kLinkValidReply;
    if (Link(d) != expect_link || (answered && value != kAnsweredValue)) ++s.wrong;
  }
  s.allocations = static_cast<double>(lumo_test::Allocations() - allocations) / count;
  s.cpu_ms = cpu.MsPer(count);
  return s;
}

// Runs lumo-bench-ref and parses its key=value line.
std::map<std::string, double> Reference(const std::string& args) {
  std::map<std::string, double> result;
  const std::string command = "lumo-bench-ref.exe " + args;
  FILE* pipe = _popen(command.c_str(), "r");
  if (!pipe) return result;
  char line[512] = {};
  while (std::fgets(line, sizeof line, pipe)) {
    std::istringstream words(line);
    std::string pair;
    while (words >> pair) {
      const auto eq = pair.find('=');
      if (eq != std::string::npos) result[pair.substr(0, eq)] = std::atof(pair.c_str() + eq + 1);
    }
  }
  _pclose(pipe);
  if (result.empty()) std::fprintf(stderr, "lumo-bench: no figures from: %s\n", command.c_str());
  return result;
}

// Reads the five level-type values of every channel; wall time in ms.
struct Scan {
  double ms = 0;
  int wrong = 0;  // reads that ended without a valid reply
};

Scan ScanGauge(lumo::Driver* d) {
  Scan s;
  const auto t0 = Clock::now();
  for (uint32_t ch = 0; ch < kChannels; ++ch) {
    double four[4] = {};
    lumo::SlotAs<lumo::QueryValue4Fn>(d, lumo::kSlotQueryValue4)(d, ch);
    s.wrong += Link(d) != lumo::kLinkValidReply;
    lumo::SlotAs<lumo::QuerySignedValue6Fn>(d, lumo::kSlotQuerySignedValue6)(d, ch, four);
    s.wrong += Link(d) != lumo::kLinkValidReply;
    lumo::SlotAs<lumo::QueryRoundedValue5Fn>(d, lumo::kSlotQueryRoundedValue5)(d, ch);
    s.wrong += Link(d) != lumo::kLinkValidReply;
    lumo::SlotAs<lumo::QueryScaledValue8Fn>(d, lumo::kSlotQueryScaledValue8)(d, ch);
    s.wrong += Link(d) != lumo::kLinkValidReply;
    lumo::SlotAs<lumo::QueryScaledValue16Fn>(d, lumo::kSlotQueryScaledValue16)(d, ch);
    s.wrong += Link(d) != lumo::kLinkValidReply;
  }
  s.ms = Ms(Clock::now() - t0);
  return s;
}

// Each gauge read whole by a thread of its own, all at once: the slowest
// gauge's time and the wrong reads of all.
Scan ScanGauges(const std::vector<unsigned>& coms) {
  std::vector<lumo::Driver*> drivers;
  for (unsigned com : coms) {
    drivers.push_back(OpenDriver(com));
    Value4(drivers.back(), kAnswering);  // the first exchange starts the line
  }
  std::vector<Scan> scans(coms.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < coms.size(); ++i) threads.emplace_back([&, i] { scans[i] = ScanGauge(drivers[i]); });
  for (auto& t : threads) t.join();
  for (auto* d : drivers) lumo::Release(d);
  Scan all;
  for (const auto& s : scans) {
    all.ms = std::max(all.ms, s.ms);
    all.wrong += s.wrong;
  }
  return all;
}

// ---------------------------------------------------------------------------
// The table.

class Table {
 public:
  void Section(const std::string& title) { rows_.push_back({title, "", "", ""}); }
  // goal: "" for a figure without one; ok is then ignored.
  void Row(const std::string& measure, double value, const std::string& goal, bool ok,
           int decimals = 2) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    rows_.push_back({measure, text, goal.empty() ? "-" : goal, goal.empty() ? "-" : ok ? "ok" : "MISSED"});
  }
  // num / den; a reference too cheap to register in the CPU clock gives no ratio.
  void Ratio(const std::string& measure, double num, double den, const std::string& goal,
             double most) {
    if (den <= 0) {
      rows_.push_back({measure, "no ratio", goal.empty() ? "-" : goal, goal.empty() ? "-" : "MISSED"});
      return;
    }
    Row(measure, num / den, goal, num / den <= most);
  }
  void Print() const {
    std::printf("%-58s %10s %10s %8s\n", "measure", "value", "goal", "verdict");
    for (const auto& r : rows_) {
      if (r.value.empty()) {
        std::printf("-- %s\n", r.measure.c_str());
      } else {
        std::printf("%-58s %10s %10s %8s\n", r.measure.c_str(), r.value.c_str(), r.goal.c_str(),
                    r.verdict.c_str());
      }
    }
  }
  void WriteMarkdown(const std::string& path) const {
    std::ofstream f(path);
    f << "| measure | value | goal | verdict |\n|---|---:|---:|---|\n";
    for (const auto& r : rows_) {
      if (r.value.empty()) {
        f << "| **" << r.measure << "** | | | |\n";
      } else {
        f << "| " << r.measure << " | " << r.value << " | " << r.goal << " | " << r.verdict << " |\n";
      }
    }
  }

 private:
  struct Line {
    std::string measure, value, goal, verdict;
  };
  std::vector<Line> rows_;
};

// ---------------------------------------------------------------------------
// Several ports at once, each polled by a thread of its own.

struct PortsRun {
  std::vector<double> medians;
  double cpu_percent = 0;
  int wrong = 0;
};

PortsRun PollPorts(const std::vector<unsigned>& coms, int per_port) {
  std::vector<lumo::Driver*> drivers;
  for (unsigned com : coms) drivers.push_back(OpenDriver(com));
  std::vector<Series> series(coms.size());
  CpuClock cpu;
  const auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (size_t i = 0; i < coms.size(); ++i)
    threads.emplace_back([&, i] { series[i] = Run(drivers[i], kAnswering, per_port, lumo::kLinkValidReply); });
  for (auto& t : threads) t.join();
  PortsRun r;
  r.cpu_percent = cpu.PercentOfOneCore(Clock::now() - t0);
  for (const auto& s : series) {
    r.medians.push_back(s.MedianMs());
    r.wrong += s.wrong;
  }
  for (auto* d : drivers) lumo::Release(d);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"lumo-bench: exchange figures of the library against a reference program"};
  app.add_option("--com", o.com, "COM port of the simulated gauge");
  app.add_option("--count", o.count, "successful exchanges per fixed-window series");
  app.add_option("--fast-count", o.fast_count, "successful exchanges per fast-mode series");
  app.add_option("--failures", o.failures, "failing exchanges per series");
  app.add_option("--idle", o.idle_seconds, "seconds of an idle open port");
  app.add_option("--releases", o.releases, "driver objects released, for the release time");
  app.add_option("--ports", o.ports, "COM ports, each with a gauge of its own, polled at once")
      ->delimiter(',');
  app.add_option("--per-port", o.per_port, "exchanges per port in the several-port runs, fixed window");
  app.add_option("--per-port-fast", o.per_port_fast, "the same in fast mode");
  app.add_option("--out", o.out, "folder for bench.md, exchanges.csv and ports.csv");
  app.add_option("--turnaround", o.turnaround_ms,
                 "the simulated gauge's turnaround in ms on the paced line, for the wire-time floor")
      ->capture_default_str();
  app.add_option("--instant-count", o.instant_count, "fast-mode exchanges on the instant line");
  app.add_option("--instant-fixed", o.instant_fixed, "fixed-window exchanges on the instant line");
  CLI11_PARSE(app, argc, argv);
  const size_t gauges = 1 + o.ports.size();
  Control(gauges, "set pace=on");
  Control(1, "fault ch=" + std::to_string(kSilent) + " kind=silence persist");
  const std::string com_arg = "--com " + std::to_string(o.com);

  Table table;
  std::ofstream times(o.out + "\\exchanges.csv");
  times << "program,mode,outcome,ms\n";
  FastReplySetting setting;

  // Both reply modes, each with its own driver object.
  Series ok[2], fail[2];
  for (int fast = 0; fast < 2; ++fast) {
    setting.Set(fast != 0);
    lumo::Driver* d = OpenDriver(o.com);
    Value4(d, kAnswering);  // the first exchange starts the line
    ok[fast] = Run(d, kAnswering, fast ? o.fast_count : o.count, lumo::kLinkValidReply);
    fail[fast] = Run(d, kSilent, o.failures, lumo::kLinkNoReply);
    lumo::Release(d);
    const char* mode = fast ? "fast" : "fixed";
    for (double ms : ok[fast].wall_ms) times << "library," << mode << ",reply," << ms << "\n";
    for (double ms : fail[fast].wall_ms) times << "library," << mode << ",silent," << ms << "\n";
  }
  setting.Set(false);

  // The reference program, over the same line, in both modes and both ways
  // of receiving.
  const std::string count_arg = " --count " + std::to_string(o.count);
  const std::string fast_arg = " --count " + std::to_string(o.fast_count) + " --fast";
  auto ref_fixed = Reference(com_arg + count_arg);
  auto ref_fast = Reference(com_arg + fast_arg);
  auto ref_fixed_events = Reference(com_arg + count_arg + " --events");
  auto ref_fast_events = Reference(com_arg + fast_arg + " --events");

  // Idle: the library's open port against the reference holding the port
  // open, without and with a WaitCommEvent in flight.
  double idle_library = 0;
  {
    lumo::Driver* d = OpenDriver(o.com);
    Value4(d, kAnswering);
    CpuClock cpu;
    const auto t0 = Clock::now();
    Sleep(static_cast<DWORD>(o.idle_seconds) * 1000);
    idle_library = cpu.PercentOfOneCore(Clock::now() - t0);
    lumo::Release(d);
  }
  const std::string idle_arg = com_arg + " --idle " + std::to_string(o.idle_seconds);
  const double idle_ref = Reference(idle_arg)["idle_percent"];
  const double idle_ref_events = Reference(idle_arg + " --events")["idle_percent"];

  // Release of a driver object whose port has just answered.
  std::vector<double> release_ms;
  long open_allocations = 0;
  for (int i = 0; i < o.releases; ++i) {
    const long before_open = lumo_test::Allocations();
    lumo::Driver* d = OpenDriver(o.com);
    open_allocations = lumo_test::Allocations() - before_open;
    Value4(d, kAnswering);
    const auto t0 = Clock::now();
    lumo::Release(d);
    release_ms.push_back(Ms(Clock::now() - t0));
  }
  const double release_worst = *std::max_element(release_ms.begin(), release_ms.end());

  for (int fast = 0; fast < 2; ++fast) {
    auto& ref = fast ? ref_fast : ref_fixed;
    auto& ref_events = fast ? ref_fast_events : ref_fixed_events;
    const char* mode = fast ? "fast mode (FastReply=1)" : "fixed window";
    table.Section(std::string("Exchange, ") + mode);
    const double median = ok[fast].MedianMs();
    if (fast) {
      const double floor = WireFloorMs(o.turnaround_ms);
      table.Row("wire-time floor at 9600 8N1, turnaround " + std::to_string(o.turnaround_ms) + " ms", floor, "",
                true);
      table.Row("library: successful exchange, median ms", median, "floor+5", median <= floor + 5);
    } else {
      table.Row("library: successful exchange, median ms", median, "200+3", median >= 199 && median <= 203);
    }
    table.Row("library: successful exchange, 95th percentile ms", Percentile(ok[fast].wall_ms, 0.95), "", true);
    table.Row("reference: successful exchange, median ms", ref["median_ms"], "", true);
    table.Row("reference by line events: successful exchange, median ms", ref_events["median_ms"], "",
              true);
    const double fail_median = fail[fast].MedianMs();
    table.Row("library: failing exchange, median ms", fail_median, "740+10",
              fail_median >= 739 && fail_median <= 750);
    table.Row("library: exchanges with a wrong link state or value", ok[fast].wrong + fail[fast].wrong, "0",
              ok[fast].wrong + fail[fast].wrong == 0, 0);
    const double cpu = ok[fast].cpu_ms;
    table.Row("library: CPU per successful exchange, ms", cpu, "", true, 3);
    table.Row("reference: CPU per exchange, ms", ref["cpu_ms"], "", true, 3);
    table.Ratio("  ratio library / reference", cpu, ref["cpu_ms"], "<=1.2", 1.2);
    table.Row("reference by line events: CPU per exchange, ms", ref_events["cpu_ms"], "", true, 3);
    table.Ratio("  ratio library / reference by line events", cpu, ref_events["cpu_ms"], "<=1.2", 1.2);
    table.Row("library: CPU per failing exchange, ms", fail[fast].cpu_ms, "", true, 3);
    table.Row("library: heap allocations per exchange", ok[fast].allocations, "0",
              ok[fast].allocations == 0 && fail[fast].allocations == 0, 2);
    if (fast) {
      table.Row("reference: valid replies of " + std::to_string(o.fast_count), ref["valid"], "", true, 0);
    }
  }
  table.Section("Open port, idle");
  table.Row("library: idle open port, % of one core", idle_library, "", true, 3);
  table.Row("reference holding the port open, % of one core", idle_ref, "", true, 3);
  table.Ratio("  ratio library / reference", idle_library, idle_ref, "<=1.2", 1.2);
  table.Row("reference with a WaitCommEvent in flight, % of one core", idle_ref_events, "", true, 3);
  table.Ratio("  ratio library / reference with a wait", idle_library, idle_ref_events, "<=1.2", 1.2);
  table.Section("Driver object with an open port");
  // Shows that the counter sees the library's allocations.
  table.Row("heap allocations to open one", static_cast<double>(open_allocations), "", true, 0);
  table.Row("release, median ms", Median(release_ms), "<=50", Median(release_ms) <= 50);
  table.Row("release, worst ms", release_worst, "<=50", release_worst <= 50);

  if (!o.ports.empty()) {
    std::ofstream ports(o.out + "\\ports.csv");
    ports << "mode,com,median_ms\n";
    const std::string label = std::to_string(o.ports.size()) + " ports";
    for (int fast = 0; fast < 2; ++fast) {
      setting.Set(fast != 0);
      const int per_port = fast ? o.per_port_fast : o.per_port;
      const PortsRun one = PollPorts({o.ports.front()}, per_port);
      const PortsRun all = PollPorts(o.ports, per_port);
      double worst = 0, slowest = 0;
      for (size_t i = 0; i < o.ports.size(); ++i) {
        ports << (fast ? "fast," : "fixed,") << o.ports[i] << "," << all.medians[i] << "\n";
        worst = std::max(worst, std::abs(all.medians[i] - one.medians[0]));
        slowest = std::max(slowest, all.medians[i]);
      }
      table.Section(label + " at once, one host thread each, " +
                    (fast ? "fast mode" : "fixed window"));
      table.Row("one port: exchange median ms", one.medians[0], "", true);
      table.Row("slowest of " + label + ": exchange median ms", slowest, "", true);
      table.Row("largest difference from one port, ms", worst, "<=2", worst <= 2);
      table.Row("exchanges with a wrong link state or value", one.wrong + all.wrong, "0",
                one.wrong + all.wrong == 0, 0);
      table.Row("one port: process CPU, % of one core", one.cpu_percent, "", true);
      table.Row(label + ": process CPU, % of one core", all.cpu_percent, "", true);
      const double growth = all.cpu_percent / (static_cast<double>(o.ports.size()) * one.cpu_percent);
      table.Row("  CPU per port, " + label + " / one port", growth, "<=1.1", growth <= 1.1);
    }
    // Whole gauges: every channel's five readings, on one gauge and on all
    // the ports' gauges at once.
    const std::string reads = std::to_string(kChannels) + " channels x 5 readings";
    table.Section("Whole gauge (" + reads + "), seconds");
    for (int fast = 0; fast < 2; ++fast) {
      setting.Set(fast != 0);
      const char* mode = fast ? "fast mode" : "fixed window";
      const Scan one = ScanGauges({o.ports.front()});
      const Scan all = ScanGauges(o.ports);
      // The fast mode's goal is the wire-time floor plus 5 ms a read.
      const double most = fast ? (GaugeFloorMs(o.turnaround_ms) + kChannels * 5 * 5) / 1000 : kChannels * 5 * 0.203;
      char goal[16];
      std::snprintf(goal, sizeof goal, "<=%.2f", most);
      if (fast) table.Row("wire-time floor of one gauge", GaugeFloorMs(o.turnaround_ms) / 1000, "", true);
      table.Row(std::string(mode) + ": one gauge", one.ms / 1000, goal, one.ms / 1000 <= most);
      table.Row(std::string(mode) + ": slowest of " + label + " at once", all.ms / 1000, goal, all.ms / 1000 <= most);
      table.Row(std::string(mode) + ": reads without a valid reply", one.wrong + all.wrong, "0",
                one.wrong + all.wrong == 0, 0);
    }
    setting.Set(false);
  }

  // The same line without wire time: every byte at once and no turnaround,
  // the figures of a pseudo-terminal.
  Control(gauges, "set pace=off");
  {
    table.Section("Instant line (no wire time, no turnaround)");
    Series instant[2];
    for (int fast = 0; fast < 2; ++fast) {
      setting.Set(fast != 0);
      lumo::Driver* d = OpenDriver(o.com);
      Value4(d, kAnswering);
      instant[fast] = Run(d, kAnswering, fast ? o.instant_count : o.instant_fixed, lumo::kLinkValidReply);
      lumo::Release(d);
      for (double ms : instant[fast].wall_ms) times << "library," << (fast ? "fast" : "fixed") << "-instant,reply," << ms << "\n";
    }
    table.Row("fixed window: successful exchange, median ms", instant[0].MedianMs(), "200+3",
              instant[0].MedianMs() >= 199 && instant[0].MedianMs() <= 203);
    table.Row("fast mode: successful exchange, median ms", instant[1].MedianMs(), "", true);
    table.Row("fast mode: successful exchange, 95th percentile ms", Percentile(instant[1].wall_ms, 0.95), "", true);
    table.Row("fast mode: CPU per successful exchange, ms", instant[1].cpu_ms, "", true, 3);
    table.Row("fast mode: heap allocations per exchange, trace off", instant[1].allocations, "0",
              instant[1].allocations == 0, 2);
    {
      // The same exchanges traced into a file: what switching the trace on
      // costs in CPU (and in wall time, for the lines written).
      setting.Set(true);
      const std::string trace_file = o.out + "\\bench-trace.log";
      DeleteFileA(trace_file.c_str());
      DeleteFileA((trace_file + ".1").c_str());
      SetEnvironmentVariableA(lumo::kTraceFileVariable, trace_file.c_str());
      lumo::Driver* d = OpenDriver(o.com);
      Value4(d, kAnswering);
      const Series traced = Run(d, kAnswering, o.instant_count, lumo::kLinkValidReply);
      lumo::Release(d);
      SetEnvironmentVariableA(lumo::kTraceFileVariable, nullptr);
      table.Row("fast mode, trace on: CPU per successful exchange, ms", traced.cpu_ms, "", true, 3);
      table.Row("  ratio trace on / trace off", instant[1].cpu_ms > 0 ? traced.cpu_ms / instant[1].cpu_ms : 0,
                "", true, 2);
      table.Row("fast mode, trace on: successful exchange, median ms", traced.MedianMs(), "", true);
      table.Row("fast mode, trace on: exchanges with a wrong link state or value", traced.wrong, "0",
                traced.wrong == 0, 0);
    }
    table.Row("exchanges with a wrong link state or value", instant[0].wrong + instant[1].wrong, "0",
              instant[0].wrong + instant[1].wrong == 0, 0);
    if (!o.ports.empty()) {
      const Scan one = ScanGauges({o.ports.front()});
      const Scan all = ScanGauges(o.ports);
      table.Row("fast mode: one whole gauge, s", one.ms / 1000, "", true);
      table.Row("fast mode: slowest of " + std::to_string(o.ports.size()) + " whole gauges at once, s",
                all.ms / 1000, "", true);
      table.Row("fast mode: reads without a valid reply", one.wrong + all.wrong, "0", one.wrong + all.wrong == 0, 0);
    }
    setting.Set(false);
  }
  Control(gauges, "set pace=on");
  table.Print();
  table.WriteMarkdown(o.out + "\\bench.md");
  std::printf("(%d fixed-window and %d fast successful exchanges, %d failing per mode, %d s idle, "
              "COM%u; %zu ports at once; instant line: %d fast, %d fixed)\n",
              o.count, o.fast_count, o.failures, o.idle_seconds, o.com, o.ports.size(), o.instant_count,
              o.instant_fixed);
  return 0;
}
