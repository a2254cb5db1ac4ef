#include "Params.h"

#include <io.h>

#include <nlohmann/json.hpp>

#include <array>
#include <cctype>
#include <fstream>
#include <memory>
#include <sstream>

#include "HostSide.h"
#include "SettingsFile.h"
#include "driver/Silo.h"

#ifndef LUMO_VERSION
#error "the build passes LUMO_VERSION"
#endif

namespace lumo_cli {

namespace {

using json = nlohmann::ordered_json;
using lumo_tools::Utf8From1251;

constexpr const char* kFileFormat = "lumo-channel-settings";

// One parameter request's outcome: a value only with a valid reply.
struct Outcome {
  std::optional<int64_t> value;
  int link = 0;       // link state after the request; 0 when it raised
  std::string error;  // the exception's message (UTF-8)
  bool Ok() const { return value.has_value(); }
  std::string LinkWords() const { return error.empty() ? Format("%d %s", link, LinkText(link)) : "error"; }
};

struct Settings {
  std::optional<std::string> program;
  Outcome program_outcome;
  std::array<Outcome, kSensors + 1> height{}, ident{};  // 1..11
  bool Complete() const {
    if (!program) return false;
    for (int i = 1; i <= kSensors; ++i)
      if (!height[i].Ok() || !ident[i].Ok()) return false;
    return true;
  }
};

std::string Hex16(uint64_t v) { return Format("%016llX", static_cast<unsigned long long>(v)); }

class Progress {
 public:
  explicit Progress(const char* what) : what_(what), tty_(_isatty(_fileno(stderr)) != 0) {}
  ~Progress() {
    if (tty_ && shown_) std::fputs("\r                                \r", stderr);
  }
  void Step(int done, int total) {
    if (!tty_) return;
    std::fprintf(stderr, "\r%s %d/%d", what_, done, total);
    std::fflush(stderr);
    shown_ = true;
  }

 private:
  const char* what_;
  bool tty_;
  bool shown_ = false;
};

// Opens COMn through the library's code; prints the reason on failure.
std::unique_ptr<TSilo> OpenLinked(uint32_t com) {
  try {
    return std::make_unique<TSilo>(static_cast<uint8_t>(com + 2), nullptr);
  } catch (const std::exception& e) {
    Line(stderr, OpenFailureLine(com, Utf8From1251(e.what())));
  } catch (...) {
    Line(stderr, Format("lumo-cli: cannot open COM%u", com));
  }
  return nullptr;
}

template <typename F>
Outcome Request(TSilo& driver, F f) {
  Outcome o;
  try {
    const int64_t value = f();
    o.link = driver.GetLinkState();
    if (o.link == lumo::kLinkValidReply) o.value = value;
  } catch (...) {
    o.error = CurrentExceptionText();
  }
  return o;
}

// The dialog's read: the program code, then each sensor's height and
// identifier, as one batch under the driver lock (the link state read after
// each request is that request's own).
Settings ReadSettings(TSilo& driver, uint8_t channel) {
  Settings s;
  Progress progress("reading");
  DriverLockGuard lock(driver);
  std::string code;
  s.program_outcome = Request(driver, [&] {
    driver.ReadProgramCode(channel, code);
    return int64_t{0};
  });
  if (s.program_outcome.Ok()) s.program = code;
  int done = 1;
  for (int i = 1; i <= kSensors; ++i) {
    progress.Step(done++, 2 * kSensors + 1);
    s.height[i] = Request(driver, [&] { return driver.ReadChannelParameter(channel, static_cast<uint8_t>(i)); });
    progress.Step(done++, 2 * kSensors + 1);
    s.ident[i] = Request(driver, [&] { return driver.ReadChannelParameter(channel, static_cast<uint8_t>(128 + i)); });
  }
  return s;
}

// The dialog's write: each sensor's height, then its identifier. Returns the
// parameters that brought no valid reply.
std::vector<std::string> WriteSettings(TSilo& driver, uint8_t channel, const Wanted& w) {
  std::vector<std::string> failed;
  Progress progress("writing");
  for (int i = 1; i <= kSensors; ++i) {
    progress.Step(2 * i - 1, 2 * kSensors);
    const Outcome h = Request(driver, [&] {
      driver.WriteChannelParameter(channel, static_cast<uint8_t>(i), w.height[i]);
      return int64_t{0};
    });
    if (!h.Ok()) failed.push_back(SensorName(i) + " height: " + (h.error.empty() ? h.LinkWords() : h.error));
    progress.Step(2 * i, 2 * kSensors);
    const Outcome d = Request(driver, [&] {
      driver.WriteChannelParameter(channel, static_cast<uint8_t>(128 + i), static_cast<int64_t>(w.ident[i]));
      return int64_t{0};
    });
    if (!d.Ok()) failed.push_back(SensorName(i) + " identifier: " + (d.error.empty() ? d.LinkWords() : d.error));
  }
  return failed;
}

json OutcomeJson(const Outcome& o, bool ident) {
  if (!o.Ok()) return nullptr;
  if (ident) return Hex16(static_cast<uint64_t>(*o.value));
  return *o.value;
}

void PrintSettings(const ParamsOptions& opt, const Settings& s) {
  if (opt.format == OutputFormat::kJson) {
    json sensors = json::array();
    for (int i = 1; i <= kSensors; ++i) {
      json e = {{"name", SensorName(i)},          {"height_mm", OutcomeJson(s.height[i], false)},
                {"height_link", s.height[i].link}, {"identifier", OutcomeJson(s.ident[i], true)},
                {"identifier_link", s.ident[i].link}};
      if (!s.height[i].error.empty()) e["height_error"] = s.height[i].error;
      if (!s.ident[i].error.empty()) e["identifier_error"] = s.ident[i].error;
      sensors.push_back(e);
    }
    json j = {{"type", "params"},
              {"com", opt.com},
              {"ch", opt.channel},
              {"program_code", s.program ? json(*s.program) : json(nullptr)},
              {"program_link", s.program_outcome.link},
              {"sensors", sensors}};
    if (!s.program_outcome.error.empty()) j["program_error"] = s.program_outcome.error;
    Line(stdout, j.dump());
    return;
  }
  if (opt.format == OutputFormat::kCsv) {
    Line(stdout, "com,ch,sensor,parameter,value,link,link_text,error");
    auto row = [&](const std::string& sensor, int parameter, const Outcome& o, const std::string& value) {
      Line(stdout, Format("%u,%u,%s,%d,%s,%d,%s,", opt.com, opt.channel, sensor.c_str(), parameter, value.c_str(),
                          o.link, o.error.empty() ? LinkText(o.link) : "error") +
                       CsvField(o.error));
    };
    row("program", -1, s.program_outcome, s.program.value_or(""));
    for (int i = 1; i <= kSensors; ++i) {
      row(SensorName(i), i, s.height[i], s.height[i].Ok() ? std::to_string(*s.height[i].value) : "");
      row(SensorName(i), 128 + i, s.ident[i],
          s.ident[i].Ok() ? Hex16(static_cast<uint64_t>(*s.ident[i].value)) : "");
    }
    return;
  }
  Line(stdout, Format("COM%u channel %u", opt.com, opt.channel));
  Line(stdout, Format("program code  %-16s link %s", s.program ? s.program->c_str() : "-",
                      s.program_outcome.LinkWords().c_str()));
  Line(stdout, Format("%-6s %10s  %-12s %-16s  %s", "sensor", "height mm", "link", "identifier", "link"));
  for (int i = 1; i <= kSensors; ++i) {
    const Outcome& h = s.height[i];
    const Outcome& d = s.ident[i];
    Line(stdout, Format("%-6s %10s  %-12s %-16s  %s", SensorName(i).c_str(),
                        h.Ok() ? std::to_string(*h.value).c_str() : "-", h.LinkWords().c_str(),
                        d.Ok() ? Hex16(static_cast<uint64_t>(*d.value)).c_str() : "-", d.LinkWords().c_str()));
  }
  if (!s.program_outcome.error.empty()) Line(stdout, "program code: " + s.program_outcome.error);
  for (int i = 1; i <= kSensors; ++i) {
    if (!s.height[i].error.empty()) Line(stdout, SensorName(i) + " height: " + s.height[i].error);
    if (!s.ident[i].error.empty()) Line(stdout, SensorName(i) + " identifier: " + s.ident[i].error);
  }
}

bool SaveSettings(const ParamsOptions& opt, const Settings& s) {
  json sensors = json::array();
  for (int i = 1; i <= kSensors; ++i)
    sensors.push_back({{"name", SensorName(i)},
                       {"height_mm", *s.height[i].value},
                       {"identifier", Hex16(static_cast<uint64_t>(*s.ident[i].value))}});
  const json j = {{"format", kFileFormat}, {"tool", "lumo-cli " LUMO_VERSION},
                  {"time", Timestamp()},   {"com", opt.com},
                  {"ch", opt.channel},     {"program_code", *s.program},
                  {"sensors", sensors}};
  std::ofstream out(opt.save, std::ios::binary | std::ios::trunc);
  out << j.dump(2) << "\n";
  out.close();
  if (!out) {
    Line(stderr, "lumo-cli: cannot write " + opt.save);
    return false;
  }
  return true;
}

// Reads and checks a settings file; one line on stderr names what is wrong.
std::optional<Wanted> LoadFile(const std::string& path) {
  auto bad = [&](const std::string& why) -> std::optional<Wanted> {
    Line(stderr, "lumo-cli: " + path + ": " + why);
    return std::nullopt;
  };
  std::ifstream in(path, std::ios::binary);
  if (!in) return bad("cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  std::string why;
  const std::optional<Wanted> wanted = CheckSettingsText(text.str(), why);
  return wanted ? wanted : bad(why);
}

// Prints each sensor that differs from the file; true when none does.
bool PrintDifferences(const Settings& s, const Wanted& w) {
  int differing = 0;
  for (int i = 1; i <= kSensors; ++i) {
    auto now_height = s.height[i].Ok() ? std::to_string(*s.height[i].value) : "unknown (" + s.height[i].LinkWords() + ")";
    auto now_ident = s.ident[i].Ok() ? Hex16(static_cast<uint64_t>(*s.ident[i].value))
                                     : "unknown (" + s.ident[i].LinkWords() + ")";
    if (!s.height[i].Ok() || *s.height[i].value != w.height[i]) {
      Line(stdout, Format("%-3s height      gauge %-24s file %lld", SensorName(i).c_str(), now_height.c_str(),
                          static_cast<long long>(w.height[i])));
      ++differing;
    }
    if (!s.ident[i].Ok() || static_cast<uint64_t>(*s.ident[i].value) != w.ident[i]) {
      Line(stdout, Format("%-3s identifier  gauge %-24s file %s", SensorName(i).c_str(), now_ident.c_str(),
                          Hex16(w.ident[i]).c_str()));
      ++differing;
    }
  }
  Line(stdout, differing ? Format("--- %d of 22 parameters differ", differing) : "--- the gauge holds the file's values");
  return differing == 0;
}

}  // namespace

int RunParams(const ParamsOptions& o) {
  const std::string& file = !o.load.empty() ? o.load : o.diff;
  std::optional<Wanted> wanted;
  if (!file.empty()) {
    wanted = LoadFile(file);
    if (!wanted) return kExitUsage;  // nothing sent
  }
  std::unique_ptr<TSilo> driver = OpenLinked(o.com);
  if (!driver) return kExitFailed;
  const auto channel = static_cast<uint8_t>(o.channel);
  const Settings now = ReadSettings(*driver, channel);
  if (!wanted) {
    PrintSettings(o, now);
    if (!now.Complete()) {
      if (!o.save.empty()) Line(stderr, "lumo-cli: a sensor could not be read: no backup written to " + o.save);
      return kExitFailed;
    }
    return o.save.empty() || SaveSettings(o, now) ? kExitOk : kExitFailed;
  }
  const bool equal = PrintDifferences(now, *wanted);
  if (!o.diff.empty() || o.dry_run) return equal && now.Complete() ? kExitOk : kExitFailed;
  const std::vector<std::string> failed = WriteSettings(*driver, channel, *wanted);
  for (const std::string& f : failed) Line(stderr, "lumo-cli: write brought no valid reply: " + f);
  Line(stdout, "--- written; read back:");
  const Settings after = ReadSettings(*driver, channel);
  return PrintDifferences(after, *wanted) && failed.empty() ? kExitOk : kExitFailed;
}

std::map<uint32_t, std::string> ReadProgramCodes(uint32_t com, const std::vector<uint32_t>& channels) {
  std::map<uint32_t, std::string> codes;
  std::unique_ptr<TSilo> driver = OpenLinked(com);
  if (!driver) return codes;
  for (uint32_t ch : channels) {
    std::string code;
    const Outcome o = Request(*driver, [&] {
      driver->ReadProgramCode(static_cast<uint8_t>(ch), code);
      return int64_t{0};
    });
    if (o.Ok()) codes[ch] = code;
  }
  return codes;
}

}  // namespace lumo_cli
