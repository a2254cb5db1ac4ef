// lumo-cli: field diagnostics over Lumo.dll. It loads the library the way any
// host does (LoadLibrary, GetProcAddress, the slots of include/lumo.h) and
// reads a gauge on a COM port.
//
//   lumo-cli info --com N [--format table|json]
//   lumo-cli poll --com N [--ch LIST] [--read KINDS] [--interval T]
//                 [--count K | --duration T] [--format table|csv|json]
//   lumo-cli scan --com N [--ch LIST] [--format table|csv|json]
//   lumo-cli params --com N --ch C [--format ...] [--save F | --load F [--dry-run] | --diff F]
//   lumo-cli trace FILE [--com N] [--since T] [--format table|json]
//   lumo-cli --trace FILE SUBCOMMAND ...   (the library traces into FILE)
//
// Exit status: 0 all requests answered; 1 a request failed (no reply, a bad
// reply, an exception) or the port or library could not be opened; 2 bad input.
// Channel parameters and program codes have no slot in the host interface:
// params (and scan's program codes) link the library's own code instead
// (Params.cpp).
#include <windows.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CliOutput.h"
#include "HostSide.h"
#include "Params.h"
#include "TraceSummary.h"
#include "lumo.h"

#ifndef LUMO_VERSION
#error "the build passes LUMO_VERSION"
#endif

namespace {

// Fields keep the order they are written in.
using json = nlohmann::ordered_json;
using lumo_tools::Export;
using lumo_tools::Utf8From1251;
using lumo_tools::Utf8FromWide;
using namespace lumo_cli;

double NowMs() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart) / 1000.0;
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / frequency;
}

// ---------------------------------------------------------------------------
// Command-line values.

// The items of a comma-separated list, empty ones included.
std::vector<std::string> CommaItems(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    items.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return items;
}

// "0-3,7": channel numbers 0..255 (the slots take a byte), in the order given.
bool ParseChannels(const std::string& text, std::vector<uint32_t>* out) {
  out->clear();
  for (const std::string& item : CommaItems(text)) {
    const size_t dash = item.find('-');
    auto number = [](const std::string& s, uint32_t* n) {
      if (s.empty() || s.size() > 3 || s.find_first_not_of("0123456789") != std::string::npos) return false;
      *n = static_cast<uint32_t>(std::stoul(s));
      return *n <= 255;
    };
    uint32_t first = 0;
    uint32_t last = 0;
    if (dash == std::string::npos) {
      if (!number(item, &first)) return false;
      last = first;
    } else if (!number(item.substr(0, dash), &first) || !number(item.substr(dash + 1), &last) || last < first) {
      return false;
    }
    for (uint32_t ch = first; ch <= last; ++ch) out->push_back(ch);
  }
  return !out->empty();
}

// "1s", "500ms", "10m", "1h", "2.5s"; a bare number is seconds.
std::optional<double> ParseDurationMs(const std::string& text) {
  size_t end = 0;
  double value = 0;
  try {
    value = std::stod(text, &end);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  const std::string unit = text.substr(end);
  double scale = 0;
  if (unit.empty() || unit == "s") scale = 1000;
  else if (unit == "ms") scale = 1;
  else if (unit == "m" || unit == "min") scale = 60000;
  else if (unit == "h") scale = 3600000;
  if (scale == 0 || !std::isfinite(value) || value < 0 || value * scale > 4e9) return std::nullopt;  // a wait fits a DWORD
  return value * scale;
}

enum class ReadKind { kValue4, kSigned6, kRounded5, kScaled8, kScaled16 };

struct ReadKindName {
  ReadKind kind;
  const char* name;
};
constexpr ReadKindName kReadKinds[] = {{ReadKind::kValue4, "value4"},
                                       {ReadKind::kSigned6, "signed6"},
                                       {ReadKind::kRounded5, "rounded5"},
                                       {ReadKind::kScaled8, "scaled8"},
                                       {ReadKind::kScaled16, "scaled16"}};

const char* ReadName(ReadKind kind) {
  for (const auto& k : kReadKinds)
    if (k.kind == kind) return k.name;
  return "?";
}

bool ParseReadKinds(const std::string& text, std::vector<ReadKind>* out) {
  out->clear();
  for (const std::string& item : CommaItems(text)) {
    bool found = false;
    for (const auto& k : kReadKinds) {
      if (item == k.name) {
        out->push_back(k.kind);
        found = true;
      }
    }
    if (!found) return false;
  }
  return !out->empty();
}

// ---------------------------------------------------------------------------
// The library and one driver object.

std::string ModulePath(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  return Utf8FromWide(std::wstring(path, n));
}

// The file version of a module from its VERSIONINFO resource ("" if none).
std::string ModuleVersion(HMODULE module) {
  wchar_t path[MAX_PATH];
  if (GetModuleFileNameW(module, path, MAX_PATH) == 0) return {};
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return {};
  std::vector<char> data(size);
  if (!GetFileVersionInfoW(path, 0, size, data.data())) return {};
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed) return {};
  return Format("%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
                static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
                static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)));
}

// The outcome of one request through a slot.
struct Reading {
  int link = 0;                  // slot 4 after the request; 0 when it raised
  std::optional<double> value;   // only with a valid reply
  std::string error;             // the exception's message (UTF-8)
  double ms = 0;                 // time spent in the slot
  bool Ok() const { return error.empty() && link == lumo::kLinkValidReply; }
};

class Gauge {
 public:
  explicit Gauge(lumo::Driver* driver) : driver_(driver) {}
  ~Gauge() { lumo::Release(driver_); }
  Gauge(const Gauge&) = delete;
  Gauge& operator=(const Gauge&) = delete;

  template <typename Fn, typename... Args>
  auto Call(int slot, Args... args) const {
    return lumo::SlotAs<Fn>(driver_, slot)(driver_, args...);
  }

  std::string DriverName() const {
    unsigned char name[lumo::kDriverNameBytes] = {};
    lumo::SlotAs<lumo::GetDriverNameFn>(driver_, lumo::kSlotGetDriverName)(name, driver_);
    const size_t length = std::min<size_t>(name[0], lumo::kDriverNameBytes - 1);
    return Utf8From1251(std::string(reinterpret_cast<char*>(name + 1), length));
  }

  // One request; f performs it and returns its value.
  template <typename F>
  Reading Request(F f) const {
    Reading r;
    const double start = NowMs();
    try {
      const double value = f();
      r.link = static_cast<int>(Call<lumo::GetLinkStateFn>(lumo::kSlotGetLinkState) & 0xFF);
      if (r.link == lumo::kLinkValidReply) r.value = value;
    } catch (...) {
      r.link = 0;
      r.error = CurrentExceptionText();
    }
    r.ms = NowMs() - start;
    return r;
  }

  Reading Read(ReadKind kind, uint32_t channel) const {
    return Request([&]() -> double {
      switch (kind) {
        case ReadKind::kValue4: return Call<lumo::QueryValue4Fn>(lumo::kSlotQueryValue4, channel);
        case ReadKind::kSigned6: {
          double four[4] = {0, 0, 0, 0};
          Call<lumo::QuerySignedValue6Fn>(lumo::kSlotQuerySignedValue6, channel, four);
          return four[0];
        }
        case ReadKind::kRounded5:
          return Call<lumo::QueryRoundedValue5Fn>(lumo::kSlotQueryRoundedValue5, channel);
        case ReadKind::kScaled8: return Call<lumo::QueryScaledValue8Fn>(lumo::kSlotQueryScaledValue8, channel);
        case ReadKind::kScaled16:
          return Call<lumo::QueryScaledValue16Fn>(lumo::kSlotQueryScaledValue16, channel);
      }
      return 0;
    });
  }

 private:
  lumo::Driver* driver_;
};

// Loads Lumo.dll and opens COMn; prints the reason and returns null on failure.
struct Session {
  HMODULE dll = nullptr;
  std::unique_ptr<Gauge> gauge;
  ~Session() {
    gauge.reset();
    if (dll) FreeLibrary(dll);
  }
};

bool OpenSession(uint32_t com, Session* s) {
  s->dll = LoadLibraryA("Lumo.dll");
  if (!s->dll) {
    Line(stderr, Format("lumo-cli: cannot load Lumo.dll (error %lu)", GetLastError()));
    return false;
  }
  const auto get_silo_ex3 = Export<lumo::GetSiloEx3Fn>(s->dll, lumo::kGetSiloEx3Name);
  if (!get_silo_ex3) {
    Line(stderr, "lumo-cli: Lumo.dll does not export GetSiloEx3");
    return false;
  }
  try {
    // No communication unit: the driver opens COMn itself.
    s->gauge = std::make_unique<Gauge>(get_silo_ex3(nullptr, com, 0));
  } catch (const std::exception& e) {
    Line(stderr, OpenFailureLine(com, Utf8From1251(e.what())));
    return false;
  }
  return true;
}

std::string FormatValue(ReadKind kind, const Reading& r) {
  if (!r.value) return "";
  switch (kind) {
    case ReadKind::kValue4: return Format("%.1f", *r.value);
    case ReadKind::kSigned6: return Format("%.1f", *r.value);
    case ReadKind::kRounded5: return Format("%.0f", *r.value);
    case ReadKind::kScaled8:
    case ReadKind::kScaled16: return Format("%.4f", *r.value);
  }
  return "";
}

// A JSON number as the table shows it (no binary noise such as 0.30000000000000004).
json JsonValue(ReadKind kind, const Reading& r) {
  if (!r.value) return nullptr;
  if (kind == ReadKind::kRounded5) return static_cast<int64_t>(std::llround(*r.value));
  return std::stod(FormatValue(kind, r));
}

json JsonMs(double ms) { return std::round(ms * 10) / 10; }

// ---------------------------------------------------------------------------
// Ctrl-C, Ctrl-Break and closing the console end a poll after the request
// under way; the summary is still printed.

HANDLE g_stop_event = nullptr;
HANDLE g_done_event = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  SetEvent(g_stop_event);
  // For closing, logoff and shutdown the process ends when the handler
  // returns: give the summary a moment first.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
    WaitForSingleObject(g_done_event, 5000);
  return TRUE;
}

bool StopRequested() { return WaitForSingleObject(g_stop_event, 0) == WAIT_OBJECT_0; }

// ---------------------------------------------------------------------------
// info

int RunInfo(uint32_t com, OutputFormat format) {
  Session s;
  if (!OpenSession(com, &s)) return kExitFailed;
  const Gauge& g = *s.gauge;

  int state_char = 0;
  const Reading state = g.Request([&] {
    state_char = g.Call<lumo::ReadStateFn>(lumo::kSlotReadState);
    return static_cast<double>(state_char);
  });
  unsigned char block[17] = {};
  const Reading config = g.Request([&] {
    g.Call<lumo::ReadConfigFn>(lumo::kSlotReadConfig, block);
    return 0.0;
  });
  std::string config_hex;
  std::string config_text;
  if (config.Ok()) {
    for (int i = 0; i < 16; ++i) {
      config_hex += Format(i ? " %02X" : "%02X", block[i]);
      config_text += block[i] >= 0x20 && block[i] < 0x7F ? static_cast<char>(block[i]) : '.';
    }
  }
  const std::string state_text =
      state.Ok() && state_char >= 0x20 && state_char < 0x7F ? std::string(1, static_cast<char>(state_char)) : "";
  auto link_field = [](const Reading& r) {
    return r.error.empty() ? Format("%d %s", r.link, LinkText(r.link)) : "error: " + r.error;
  };

  if (format == OutputFormat::kJson) {
    json j = {{"type", "info"},
              {"com", com},
              {"driver", g.DriverName()},
              {"connection", Format("COM%u, 9600 8N1", com)},
              {"library", ModulePath(s.dll)},
              {"library_version", ModuleVersion(s.dll)},
              {"state", state.Ok() ? json(state_text) : json(nullptr)},
              {"state_code", state.Ok() ? json(state_char) : json(nullptr)},
              {"state_link", state.link},
              {"config_hex", config.Ok() ? json(config_hex) : json(nullptr)},
              {"config_text", config.Ok() ? json(config_text) : json(nullptr)},
              {"config_link", config.link}};
    if (!state.error.empty()) j["state_error"] = state.error;
    if (!config.error.empty()) j["config_error"] = config.error;
    Line(stdout, j.dump());
  } else {
    Line(stdout, "driver         " + g.DriverName());
    Line(stdout, Format("connection     COM%u, 9600 8N1", com));
    Line(stdout, "library        " + ModulePath(s.dll) + " " + ModuleVersion(s.dll));
    Line(stdout, Format("state          %-24s link %s",
                        state.Ok() ? Format("'%s' (%d)", state_text.c_str(), state_char).c_str() : "-",
                        link_field(state).c_str()));
    Line(stdout, Format("configuration  %-24s link %s", config.Ok() ? config_text.c_str() : "-",
                        link_field(config).c_str()));
    if (config.Ok()) Line(stdout, "               " + config_hex);
  }
  return state.Ok() && config.Ok() ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------------------
// poll

struct Summary {
  int requests = 0, valid = 0, no_reply = 0, bad_reply = 0, errors = 0;
  std::vector<double> ms;

  void Add(const Reading& r) {
    ++requests;
    if (!r.error.empty()) ++errors;
    else if (r.link == lumo::kLinkValidReply) ++valid;
    else if (r.link == lumo::kLinkNoReply) ++no_reply;
    else ++bad_reply;
    ms.push_back(r.ms);
  }
  double LossPercent() const { return requests ? 100.0 * (requests - valid) / requests : 0.0; }
  // Nearest rank: the smallest time that at least p percent of the exchanges took.
  double Percentile(double p) const {
    if (ms.empty()) return 0;
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
  }
};

void PrintSummary(const Summary& s, bool interrupted, OutputFormat format) {
  if (format == OutputFormat::kJson) {
    json j = {{"type", "summary"},  {"requests", s.requests},      {"valid", s.valid},
              {"no_reply", s.no_reply}, {"bad_reply", s.bad_reply},  {"errors", s.errors},
              {"loss_pct", std::round(s.LossPercent() * 100) / 100},
              {"ms_min", JsonMs(s.Percentile(0))}, {"ms_median", JsonMs(s.Percentile(50))},
              {"ms_p95", JsonMs(s.Percentile(95))}, {"ms_max", JsonMs(s.Percentile(100))},
              {"interrupted", interrupted}};
    Line(stdout, j.dump());
    return;
  }
  // The CSV stays one table on stdout; its summary goes to stderr.
  FILE* out = format == OutputFormat::kCsv ? stderr : stdout;
  Line(out, Format("--- %s%d requests sent, %d valid replies, %d no reply, %d bad reply, %d request errors, "
                   "%.1f%% loss",
                   interrupted ? "interrupted; " : "", s.requests, s.valid, s.no_reply, s.bad_reply, s.errors,
                   s.LossPercent()));
  if (!s.ms.empty()) {
    Line(out, Format("exchange time min/median/p95/max = %.1f/%.1f/%.1f/%.1f ms", s.Percentile(0),
                     s.Percentile(50), s.Percentile(95), s.Percentile(100)));
  }
}

struct PollOptions {
  uint32_t com = 0;
  std::vector<uint32_t> channels;
  std::vector<ReadKind> reads;
  double interval_ms = 1000;
  int count = 0;           // rounds; 0: no limit
  double duration_ms = 0;  // 0: no limit
  OutputFormat format = OutputFormat::kTable;
};

int RunPoll(const PollOptions& o) {
  Session s;
  if (!OpenSession(o.com, &s)) return kExitFailed;
  const Gauge& g = *s.gauge;

  if (o.format == OutputFormat::kTable)
    Line(stdout, Format("%-24s %3s  %-8s %12s  %-12s %8s", "time", "ch", "read", "value", "link", "ms"));
  else if (o.format == OutputFormat::kCsv)
    Line(stdout, "time,com,ch,read,value,link,link_text,ms,error");

  Summary summary;
  const double start = NowMs();
  bool interrupted = false;
  for (int round = 0; o.count == 0 || round < o.count; ++round) {
    const double round_start = NowMs();
    if (o.duration_ms > 0 && round_start - start >= o.duration_ms) break;
    for (uint32_t ch : o.channels) {
      for (ReadKind kind : o.reads) {
        if (StopRequested()) break;
        const std::string time = Timestamp();
        const Reading r = g.Read(kind, ch);
        summary.Add(r);
        const std::string link_text = r.error.empty() ? LinkText(r.link) : "error";
        if (o.format == OutputFormat::kJson) {
          json j = {{"type", "reading"}, {"time", time},          {"com", o.com},
                    {"ch", ch},          {"read", ReadName(kind)}, {"value", JsonValue(kind, r)},
                    {"link", r.link},    {"link_text", link_text}, {"ms", JsonMs(r.ms)}};
          if (!r.error.empty()) j["error"] = r.error;
          Line(stdout, j.dump());
        } else if (o.format == OutputFormat::kCsv) {
          Line(stdout, Format("%s,%u,%u,%s,%s,%d,%s,%.1f,", time.c_str(), o.com, ch, ReadName(kind),
                              FormatValue(kind, r).c_str(), r.link, link_text.c_str(), r.ms) +
                           CsvField(r.error));
        } else {
          const std::string value = r.value ? FormatValue(kind, r) : "-";
          Line(stdout, Format("%-24s %3u  %-8s %12s  %-12s %8.1f", time.c_str(), ch, ReadName(kind),
                              value.c_str(), Format("%d %s", r.link, link_text.c_str()).c_str(), r.ms) +
                           (r.error.empty() ? "" : "  " + r.error));
        }
      }
    }
    if (StopRequested()) {
      interrupted = true;
      break;
    }
    const bool last_round = o.count != 0 && round + 1 >= o.count;
    if (last_round) break;
    // Rounds start an interval apart; a round longer than that is followed at once.
    double wait = o.interval_ms - (NowMs() - round_start);
    if (o.duration_ms > 0) wait = std::min(wait, o.duration_ms - (NowMs() - start));
    if (wait > 0 && WaitForSingleObject(g_stop_event, static_cast<DWORD>(std::ceil(wait))) == WAIT_OBJECT_0) {
      interrupted = true;
      break;
    }
  }
  PrintSummary(summary, interrupted, o.format);
  return summary.requests == summary.valid ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------------------
// scan: which channels answer the level request (slot 9).

int RunScan(uint32_t com, const std::vector<uint32_t>& channels, OutputFormat format) {
  // First through Lumo.dll, as a host would; then, with the DLL's port
  // closed, the program codes of the channels that answered through the
  // linked library (they have no slot).
  std::vector<std::pair<uint32_t, Reading>> readings;
  {
    Session s;
    if (!OpenSession(com, &s)) return kExitFailed;
    for (uint32_t ch : channels) {
      if (StopRequested()) break;
      readings.emplace_back(ch, s.gauge->Read(ReadKind::kValue4, ch));
    }
  }
  std::vector<uint32_t> answering;
  int errors = 0;
  for (const auto& [ch, r] : readings) {
    if (r.Ok()) answering.push_back(ch);
    if (!r.error.empty()) ++errors;
  }
  const std::map<uint32_t, std::string> codes =
      StopRequested() ? std::map<uint32_t, std::string>{} : ReadProgramCodes(com, answering);
  auto code_of = [&](uint32_t ch) {
    const auto it = codes.find(ch);
    return it == codes.end() ? std::string() : it->second;
  };

  if (format == OutputFormat::kTable)
    Line(stdout, Format("%3s  %-12s %12s %8s  %s", "ch", "link", "value4", "ms", "program"));
  else if (format == OutputFormat::kCsv)
    Line(stdout, "com,ch,answers,link,link_text,value4,ms,program,error");
  for (const auto& [ch, r] : readings) {
    const std::string link_text = r.error.empty() ? LinkText(r.link) : "error";
    const std::string code = code_of(ch);
    if (format == OutputFormat::kJson) {
      json j = {{"type", "channel"}, {"com", com},      {"ch", ch},
                {"answers", r.Ok()}, {"link", r.link}, {"link_text", link_text},
                {"value4", JsonValue(ReadKind::kValue4, r)}, {"ms", JsonMs(r.ms)},
                {"program", code.empty() ? json(nullptr) : json(code)}};
      if (!r.error.empty()) j["error"] = r.error;
      Line(stdout, j.dump());
    } else if (format == OutputFormat::kCsv) {
      Line(stdout, Format("%u,%u,%d,%d,%s,%s,%.1f,%s,", com, ch, r.Ok() ? 1 : 0, r.link, link_text.c_str(),
                          FormatValue(ReadKind::kValue4, r).c_str(), r.ms, code.c_str()) +
                       CsvField(r.error));
    } else {
      const std::string value = r.value ? FormatValue(ReadKind::kValue4, r) : "-";
      Line(stdout, Format("%3u  %-12s %12s %8.1f  %s", ch, Format("%d %s", r.link, link_text.c_str()).c_str(),
                          value.c_str(), r.ms, code.empty() ? "-" : code.c_str()) +
                       (r.error.empty() ? "" : "  " + r.error));
    }
  }
  std::string list;
  for (uint32_t ch : answering) list += (list.empty() ? "" : ",") + std::to_string(ch);
  if (format == OutputFormat::kJson) {
    Line(stdout, json{{"type", "scan"}, {"com", com}, {"answering", answering}, {"errors", errors},
                      {"interrupted", StopRequested()}}
                     .dump());
  } else {
    Line(format == OutputFormat::kCsv ? stderr : stdout,
         Format("--- %zu of %zu channels answer: %s", answering.size(), channels.size(),
                list.empty() ? "none" : list.c_str()));
  }
  return errors == 0 && !answering.empty() ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------------------
// trace: a summary of the library's trace file.

int RunTrace(const std::string& file, const TraceFilter& filter, OutputFormat format) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    Line(stderr, "lumo-cli: cannot read the trace file '" + file + "'");
    return kExitUsage;
  }
  const TraceSummary summary = SummarizeTrace(in, filter);
  if (in.bad()) {
    Line(stderr, "lumo-cli: cannot read the trace file '" + file + "' to its end");
    return kExitUsage;
  }
  const std::string text = format == OutputFormat::kJson ? TraceSummaryJson(summary) : TraceSummaryTable(summary);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return summary.lines > 0 ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------------------

// Restores the console's output code page at exit.
class ConsoleUtf8 {
 public:
  ConsoleUtf8() {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
      saved_ = GetConsoleOutputCP();
      SetConsoleOutputCP(CP_UTF8);
    }
  }
  ~ConsoleUtf8() {
    if (saved_) SetConsoleOutputCP(saved_);
  }

 private:
  UINT saved_ = 0;
};

int Usage(const std::string& message) {
  Line(stderr, "lumo-cli: " + message);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  ConsoleUtf8 console;
  g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_done_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  CLI::App app{"lumo-cli " LUMO_VERSION ": reads a Lumo gauge. info, poll and scan go through Lumo.dll (beside "
               "this program) as a host does, to check the installed library; params, and scan's program codes, "
               "link the library's own code, since these have no slot in the host interface. The COM port must be "
               "free: close a host that holds it first."};
  app.set_version_flag("--version", "lumo-cli " LUMO_VERSION);
  app.require_subcommand(1);
  const std::map<std::string, OutputFormat> formats = {
      {"table", OutputFormat::kTable}, {"csv", OutputFormat::kCsv}, {"json", OutputFormat::kJson}};

  // The usage lines name the program, not its full path.
  app.name("lumo-cli");
  uint32_t com = 0;
  OutputFormat format = OutputFormat::kTable;
  std::string format_text = "table";
  bool csv_allowed = true;
  std::string channel_text = "0-3";
  std::string read_text = "value4";
  std::string interval_text = "1s";
  std::string duration_text;
  std::string count_text;
  auto add_com = [&](CLI::App* sub) {
    sub->add_option("--com", com, "COM port number, 1 to 253 (the port must be free: close a host that holds it)")
        ->required()
        ->check(CLI::Range(1, 253));
  };
  // Checked after parsing, so that a bad value gets one plain line.
  auto add_format = [&](CLI::App* sub, bool csv) {
    sub->add_option("--format", format_text, csv ? "table, csv or json (one object per line)" : "table or json")
        ->capture_default_str();
    if (!csv) sub->preparse_callback([&](size_t) { csv_allowed = false; });
  };

  CLI::App* info = app.add_subcommand("info", "driver name, connection, state character (slot 8) and "
                                              "configuration block (slot 7) with their link states");
  add_com(info);
  add_format(info, false);

  CLI::App* poll = app.add_subcommand("poll", "reads channels repeatedly; a summary at the end and on Ctrl-C");
  add_com(poll);
  poll->add_option("--ch", channel_text, "channels, e.g. 0-3,7 (0 to 255)")->capture_default_str();
  poll->add_option("--read", read_text,
                   "value4, signed6, rounded5, scaled8, scaled16, comma-separated. value4: integer part + "
                   "tenths/10; signed6: the same with the gauge's sign; rounded5: that rounded to a whole "
                   "number (ties to even); scaled8, scaled16: value / 1000. The units are the gauge's set-up. "
                   "Link 3 (bad reply) also means that the gauge answered with an error in its status byte")
      ->capture_default_str();
  poll->add_option("--interval", interval_text, "from round start to round start: 500ms, 1s, 2m")
      ->capture_default_str();
  auto* count_option = poll->add_option("--count", count_text, "rounds, then stop (1 to 1000000)");
  poll->add_option("--duration", duration_text, "stop starting rounds after this time: 90s, 10m, 1h")
      ->excludes(count_option);
  add_format(poll, true);

  CLI::App* scan = app.add_subcommand(
      "scan", "which channels answer the level request (slot 9, through Lumo.dll), with the program code of each "
              "(through the linked library, as params)");
  add_com(scan);
  std::string scan_channels = "0-31";
  scan->add_option("--ch", scan_channels, "channels to try")->capture_default_str();
  add_format(scan, true);

  ParamsOptions params_options;
  CLI::App* params = app.add_subcommand(
      "params",
      "a channel's program code and its eleven sensors' heights (mm) and identifiers; with --save a backup, "
      "with --load a restore, with --diff a comparison. These have no slot in the host interface: params links "
      "the library's own code and opens the port through it, the way the tuning dialog reads and writes them");
  add_com(params);
  params->add_option("--ch", params_options.channel, "channel, 0 to 255")->required()->check(CLI::Range(0, 255));
  add_format(params, true);
  auto* save_option = params->add_option("--save", params_options.save,
                                         "write the settings to this JSON file (none when a sensor fails)");
  auto* load_option = params->add_option("--load", params_options.load,
                                         "check the file, show the differences, write it, read back and verify");
  auto* diff_option = params->add_option("--diff", params_options.diff,
                                         "compare the gauge with the file: status 0 equal, 1 different");
  save_option->excludes(load_option)->excludes(diff_option);
  load_option->excludes(diff_option);
  params->add_flag("--dry-run", params_options.dry_run, "with --load: show the differences, write nothing")
      ->needs(load_option);

  std::string trace_into;
  app.add_option("--trace", trace_into,
                 "trace the library's requests, replies and port events into this file (docs/trace.md)");
  std::string trace_file, trace_since;
  uint32_t trace_com = 0;
  CLI::App* trace = app.add_subcommand(
      "trace", "sums up a trace file of the library's per port and channel: requests, valid replies, loss, "
               "the last error; lines that are not the library's are skipped");
  trace->add_option("file", trace_file, "the trace file")->required();
  trace->add_option("--com", trace_com, "only COMn")->check(CLI::Range(1, 255));
  trace->add_option("--since", trace_since, "only lines from this UTC time on: 2026-12-10T05:00, 2026-12-10");
  add_format(trace, false);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    if (argc > 1 && argv[1][0] != '-' && app.get_subcommands().empty())
      return Usage(std::string("unknown subcommand '") + argv[1] + "' (info, poll, scan, params, trace)");
    return Usage(e.what());
  }

  {
    std::string lower = format_text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto it = formats.find(lower);
    if (it == formats.end() || (!csv_allowed && it->second == OutputFormat::kCsv))
      return Usage("bad --format '" + format_text + "' (" + (csv_allowed ? "table, csv or json)" : "table or json)"));
    format = it->second;
  }
  int count = 0;
  if (!count_text.empty()) {
    if (count_text.size() > 7 || count_text.find_first_not_of("0123456789") != std::string::npos ||
        (count = std::stoi(count_text)) < 1 || count > 1000000)
      return Usage("bad --count '" + count_text + "' (a number of rounds, 1 to 1000000)");
  }
  // Read by the library whenever it builds a driver object; it takes no
  // longer name, and would trace elsewhere or not at all.
  if (trace_into.size() >= MAX_PATH)
    return Usage("--trace: the file name is longer than " + std::to_string(MAX_PATH - 1) + " characters");
  if (!trace_into.empty()) SetEnvironmentVariableA(lumo::kTraceFileVariable, trace_into.c_str());
  int status = kExitUsage;
  if (trace->parsed()) {
    if (!trace_since.empty() && !IsTimestampPrefix(trace_since))
      return Usage("bad --since '" + trace_since + "' (a UTC time such as 2026-12-10T05:00 or 2026-12-10)");
    TraceFilter filter;
    if (trace_com) filter.where = "COM" + std::to_string(trace_com);
    filter.since = trace_since;
    status = RunTrace(trace_file, filter, format);
  } else if (info->parsed()) {
    status = RunInfo(com, format);
  } else if (poll->parsed()) {
    PollOptions o;
    o.com = com;
    o.format = format;
    o.count = count;
    if (!ParseChannels(channel_text, &o.channels))
      return Usage("bad channel list '" + channel_text + "' (e.g. 0-3,7; channels 0 to 255)");
    if (!ParseReadKinds(read_text, &o.reads))
      return Usage("bad --read '" + read_text + "' (value4, signed6, rounded5, scaled8, scaled16)");
    const auto interval = ParseDurationMs(interval_text);
    if (!interval) return Usage("bad --interval '" + interval_text + "' (e.g. 500ms, 1s, 2m)");
    o.interval_ms = *interval;
    if (!duration_text.empty()) {
      const auto duration = ParseDurationMs(duration_text);
      if (!duration || *duration <= 0) return Usage("bad --duration '" + duration_text + "' (e.g. 90s, 10m)");
      o.duration_ms = *duration;
    }
    status = RunPoll(o);
  } else if (scan->parsed()) {
    std::vector<uint32_t> channels;
    if (!ParseChannels(scan_channels, &channels))
      return Usage("bad channel list '" + scan_channels + "' (e.g. 0-31; channels 0 to 255)");
    status = RunScan(com, channels, format);
  } else if (params->parsed()) {
    params_options.com = com;
    params_options.format = format;
    status = RunParams(params_options);
  }
  SetEvent(g_done_event);
  return status;
}
