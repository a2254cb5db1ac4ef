// libFuzzer targets for the files people edit, paste together and truncate
// by hand and hand to lumo-cli: the settings backup of `params --load` and
// the trace file of `trace`. Built twice, once per file kind
// (LUMO_FUZZ_TRACE selects the trace). Each input is a whole file; anything
// but a checked result or a one-line reason, or output that breaks its own
// form, aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "SettingsFile.h"
#include "TraceSummary.h"

using namespace lumo_cli;
using json = nlohmann::ordered_json;

namespace {

void Expect(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_lumo_cli_files: %s\n", what);
  std::abort();
}

std::string Hex16(uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(v));
  return text;
}

// A file either gives eleven checked sensors, which read back the same from
// a backup written of them, or one line that names what is wrong.
void FuzzSettings(const std::string& text) {
  std::string why;
  const auto wanted = CheckSettingsText(text, why);
  if (!wanted) {
    Expect(!why.empty(), "a refused file names no reason");
    Expect(why.find_first_of("\r\n") == std::string::npos, "a reason of more than one line");
    return;
  }
  json sensors = json::array();
  for (int i = 1; i <= kSensors; ++i) {
    Expect(wanted->height[i] >= 0 && wanted->height[i] <= 65535, "a height outside 0 to 65535");
    sensors.push_back(
        {{"name", SensorName(i)}, {"height_mm", wanted->height[i]}, {"identifier", Hex16(wanted->ident[i])}});
  }
  const json backup = {{"format", "lumo-channel-settings"}, {"sensors", sensors}};
  const auto again = CheckSettingsText(backup.dump(2), why);
  Expect(again.has_value(), "a backup of checked values is refused");
  Expect(again->height == wanted->height && again->ident == wanted->ident, "a backup reads back other values");
}

// Whether the text is valid UTF-8: no stray continuation byte, no cut,
// overlong or surrogate sequence, nothing above U+10FFFF.
bool IsUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const size_t n = byte < 0x80 ? 1 : byte >= 0xC2 && byte <= 0xDF ? 2 : byte >= 0xE0 && byte <= 0xEF ? 3
                   : byte >= 0xF0 && byte <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    uint32_t code = n == 1 ? byte : byte & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    if (n == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) return false;
    if (n == 4 && (code < 0x10000 || code > 0x10FFFF)) return false;
    i += n;
  }
  return true;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  Expect(start == text.size(), "output not ended with a line end");
  return lines;
}

// A count as the table's columns show it.
std::string Right9(long count) {
  const std::string digits = std::to_string(count);
  return std::string(digits.size() < 9 ? 9 - digits.size() : 0, ' ') + digits;
}

// The table: a row per channel that carries its place and counts whole, a
// line per port, no control bytes of the file; the JSON: one line of UTF-8
// that parses back, with the summary's numbers and every text that was
// UTF-8 unchanged.
void CheckOutput(const TraceSummary& s) {
  const std::string table = TraceSummaryTable(s);
  for (const char c : table)
    Expect(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f), "a control byte in the table");
  const std::vector<std::string> rows = Lines(table);
  Expect(rows.size() == 2 + s.channels.size() + s.ports.size(), "table rows do not match the summary");
  for (size_t i = 0; i < s.channels.size(); ++i) {
    const ChannelSummary& c = s.channels[i];
    const std::string& row = rows[1 + i];
    const std::string counts = Right9(c.requests) + " " + Right9(c.valid) + " " + Right9(c.Loss());
    Expect(row.rfind(c.where + " ", 0) == 0, "a channel row without its port");
    const size_t channel = row.find(" " + c.channel + " ", c.where.size());
    Expect(channel != std::string::npos, "a channel row without its channel");
    Expect(row.find(counts, channel + c.channel.size()) != std::string::npos, "a channel row without its counts");
  }
  for (size_t i = 0; i < s.ports.size(); ++i) {
    const PortSummary& p = s.ports[i];
    const std::string& row = rows[1 + s.channels.size() + i];
    Expect(row.rfind(p.where + ": opened " + std::to_string(p.opened) + ",", 0) == 0, "a port line without its counts");
    Expect(row.find("reopen failed " + std::to_string(p.reopen_failed)) != std::string::npos,
           "a port line cut short");
  }

  const std::string text = TraceSummaryJson(s);
  Expect(Lines(text).size() == 1, "JSON output of more than one line");
  Expect(IsUtf8(text), "JSON output that is not UTF-8");
  const json j = json::parse(text, nullptr, false);
  Expect(!j.is_discarded() && j.is_object(), "JSON output that does not parse");
  Expect(j["lines"] == s.lines && j["skipped"] == s.skipped, "JSON counts differ");
  Expect(j["channels"].size() == s.channels.size() && j["ports"].size() == s.ports.size(),
         "JSON rows differ");
  for (size_t i = 0; i < s.channels.size(); ++i) {
    const ChannelSummary& c = s.channels[i];
    const json& e = j["channels"][i];
    Expect(e["requests"] == c.requests && e["valid"] == c.valid, "JSON channel counts differ");
    if (IsUtf8(c.channel)) Expect(e["channel"] == c.channel, "a UTF-8 channel changed in the JSON output");
    if (IsUtf8(c.last_error)) Expect(e["last_error"] == c.last_error, "a UTF-8 error changed in the JSON output");
  }
}

void CheckSummary(const TraceSummary& s) {
  for (size_t i = 0; i < s.channels.size(); ++i) {
    const ChannelSummary& c = s.channels[i];
    Expect(c.valid >= 0 && c.valid <= c.requests, "more valid replies than requests");
    Expect(c.requests > 0 || !c.last_error.empty(), "an empty channel row");
    if (i) Expect(s.channels[i - 1].where != c.where || s.channels[i - 1].channel != c.channel, "a row twice");
  }
  Expect(s.lines == 0 || (!s.first_at.empty() && s.first_at <= s.last_at), "first and last out of order");
}

void FuzzTrace(const std::string& text) {
  const long text_lines = static_cast<long>(std::count(text.begin(), text.end(), '\n')) + 1;
  std::istringstream in(text);
  const TraceSummary all = SummarizeTrace(in, {});
  Expect(all.lines + all.skipped <= text_lines, "more lines counted than the file has");
  CheckSummary(all);
  CheckOutput(all);

  // --com and --since, chosen by the input's size.
  TraceFilter filter;
  if (text.size() % 3) filter.where = "COM" + std::to_string(text.size() % 7);
  if (text.size() / 3 % 2) filter.since = std::string("2026-12-10T05:27:16.300Z").substr(0, 4 + text.size() % 21);
  Expect(filter.since.empty() || IsTimestampPrefix(filter.since), "a --since the command line refuses");
  std::istringstream again(text);
  const TraceSummary some = SummarizeTrace(again, filter);
  Expect(some.lines <= all.lines, "a filter that adds lines");
  for (const ChannelSummary& c : some.channels)
    Expect(filter.where.empty() || c.where == filter.where, "--com lets another port through");
  Expect(filter.since.empty() || some.lines == 0 || some.first_at >= filter.since,
         "--since lets an earlier line through");
  CheckSummary(some);
  CheckOutput(some);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return -1;
  const std::string text(reinterpret_cast<const char*>(data), size);
#ifdef LUMO_FUZZ_TRACE
  constexpr bool kTrace = true;
#else
  constexpr bool kTrace = false;
#endif
  if (kTrace)
    FuzzTrace(text);
  else
    FuzzSettings(text);
  return 0;
}
