// libFuzzer targets for the text the simulated gauge reads from people: its
// description files and its control commands. Built twice, once per input
// kind (LUMO_FUZZ_SIM_CONTROL selects the control commands). Anything but a
// clean "ok"/"err" answer, or a description that does not survive a round
// through its own format, aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Sim.h"

using namespace lumo::sim;

namespace {

void Expect(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_sim: %s\n", what);
  std::abort();
}

// A description that parses is written out, and what is written out reads
// back to the same text.
void FuzzDescription(const std::string& text) {
  Gauge gauge = DefaultGauge();
  std::string error;
  if (!ParseDescription(text, gauge, error)) {
    Expect(!error.empty(), "a refused description names no reason");
    return;
  }
  const std::string formatted = FormatDescription(gauge);
  Gauge again = DefaultGauge();
  Expect(ParseDescription(formatted, again, error), "its own format does not parse");
  Expect(FormatDescription(again) == formatted, "its own format does not read back the same");
}

// Up to 16 command lines, then a few requests through whatever faults they
// set. "save" is left out: it writes files.
void FuzzControl(const std::string& text) {
  Sim sim;
  size_t start = 0;
  for (int lines = 0; lines < 16 && start <= text.size(); ++lines) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line.size() - first >= 4) {
      std::string word = line.substr(first, 4);
      for (char& c : word) c = static_cast<char>(c | 0x20);
      if (word == "save") continue;
    }
    const std::string reply = sim.Control(line);
    Expect(reply.rfind("ok", 0) == 0 || reply.rfind("err", 0) == 0, "a reply neither ok nor err");
    Expect(reply.find('\n') == std::string::npos, "a reply of more than one line");
  }
  static const char* const kRequests[] = {"@03040047*\r", "@0014000066*\r", "@11*\r", "@0103018C*\r"};
  for (const char* request : kRequests) {
    std::vector<Output> out;
    std::vector<TraceEvent> trace;
    const std::string frame = request;
    sim.Feed(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), out, trace);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return -1;
  const std::string text(reinterpret_cast<const char*>(data), size);
#ifdef LUMO_FUZZ_SIM_CONTROL
  constexpr bool kControl = true;
#else
  constexpr bool kControl = false;
#endif
  if (kControl)
    FuzzControl(text);
  else
    FuzzDescription(text);
  return 0;
}
