// lumo-cli trace: reads the library's trace file and sums it up per port and
// channel. Plain C++, so that it builds and is tested natively too.
#ifndef LUMO_TOOLS_CLI_TRACESUMMARY_H
#define LUMO_TOOLS_CLI_TRACESUMMARY_H

#include <istream>
#include <string>
#include <vector>

namespace lumo_cli {

struct TraceFilter {
  std::string where;  // "COM5"; empty: every port and unit
  std::string since;  // a prefix of a line's timestamp; empty: from the start
};

// One port (or communication unit) and channel; channel "-" for whole-gauge
// requests.
struct ChannelSummary {
  std::string where;
  std::string channel;
  long requests = 0;
  long valid = 0;          // ended with link state 1 and result 0
  // The latest of: a verdict other than valid, an error caught in one of its
  // requests, a failed request's result, its port's loss or failed open.
  std::string last_error;
  std::string last_error_at;
  long Loss() const { return requests - valid; }
};

struct PortSummary {
  std::string where;
  long lost = 0, back = 0, reopened = 0, reopen_failed = 0, open_failed = 0, opened = 0;
  std::string last_error;  // the latest loss, failed open, or error caught outside a request
  std::string last_error_at;
};

struct TraceSummary {
  std::vector<ChannelSummary> channels;  // by where, then channel number
  std::vector<PortSummary> ports;        // by where
  long lines = 0;    // the library's lines that passed the filter
  long skipped = 0;  // lines that are not the library's (a host's own, say)
  std::string first_at, last_at;
};

// True for a prefix of the trace's UTC timestamps, 2026-12-10T05:31:02.417Z:
// at least the year, then only what the full form has at those places.
bool IsTimestampPrefix(const std::string& text);

TraceSummary SummarizeTrace(std::istream& in, const TraceFilter& filter);

// The summary as lumo-cli trace prints it, each line ended with '\n': the
// table (a row per channel, a line per port, the count of lines), or one
// JSON object on one line, valid UTF-8 whatever bytes the file held.
std::string TraceSummaryTable(const TraceSummary& summary);
std::string TraceSummaryJson(const TraceSummary& summary);

}  // namespace lumo_cli

#endif
