#include "TraceSummary.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <utility>

#include "TextFormat.h"

namespace lumo_cli {

namespace {

constexpr char kTimestampForm[] = "dddd-dd-ddTdd:dd:dd.dddZ";

bool MatchesForm(const std::string& text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const char want = kTimestampForm[i];
    const char c = text[i];
    if (want == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != want) return false;
  }
  return true;
}

bool AllDigits(const std::string& s, size_t from) {
  return s.size() > from &&
         std::all_of(s.begin() + static_cast<long>(from), s.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

struct Line {
  std::string at, thread, where, event, fields;
};

// Splits a line of the library's; false for anything else.
bool ParseLine(std::string text, Line& line) {
  // A file saved by an editor may begin with a byte order mark, and so may a
  // file pasted after another; a line end converted twice leaves CR CR LF.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  while (!text.empty() && text.back() == '\r') text.pop_back();
  size_t pos = 0;
  std::string parts[4];
  for (std::string& part : parts) {
    const size_t end = text.find(' ', pos);
    part = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? text.size() : end + 1;
  }
  line = {parts[0], parts[1], parts[2], parts[3], pos < text.size() ? text.substr(pos) : ""};
  const size_t form = sizeof kTimestampForm - 1;
  if (line.at.size() != form || !MatchesForm(line.at, form) || !AllDigits(line.thread, 0)) return false;
  const bool com = line.where.rfind("COM", 0) == 0 && AllDigits(line.where, 3);
  const bool unit = line.where.rfind("unit", 0) == 0 && AllDigits(line.where, 4);
  if (!com && !unit) return false;
  return !line.event.empty() && std::all_of(line.event.begin(), line.event.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || c == '-';
  });
}

// The value of key= among the fields; a quoted value comes back with its
// quotes, escapes as they stand. Walks the fields one by one, so that a key
// inside a quoted value (a message quoting "code=5") is not taken for one.
std::string Field(const std::string& fields, const std::string& key) {
  size_t pos = 0;
  while (pos < fields.size()) {
    const size_t eq = fields.find('=', pos);
    const size_t space = fields.find(' ', pos);
    if (eq == std::string::npos) return "";
    if (space < eq) {  // a word without a value
      pos = space + 1;
      continue;
    }
    size_t end = eq + 1;
    if (end < fields.size() && fields[end] == '"') {
      ++end;
      while (end < fields.size() && fields[end] != '"') end += fields[end] == '\\' ? 2 : 1;
      end = std::min(end + 1, fields.size());
    } else {
      end = std::min(fields.find(' ', end), fields.size());
    }
    if (fields.compare(pos, eq - pos, key) == 0) return fields.substr(eq + 1, end - eq - 1);
    pos = end + 1;
  }
  return "";
}

// Control bytes of a foreign file are not passed on to a terminal.
std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      static const char kHex[] = "0123456789ABCDEF";
      out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    } else {
      out += c;
    }
  }
  return out;
}

// The verdict in a few words: "bad-check code=222", "error why=...".
std::string VerdictText(const Line& line) {
  std::string text = Field(line.fields, "result");
  for (const char* key : {"code", "why"}) {
    const std::string value = Field(line.fields, key);
    if (!value.empty()) text += std::string(" ") + key + "=" + value;
  }
  return text;
}

double LossPercent(const ChannelSummary& c) {
  return c.requests ? 100.0 * static_cast<double>(c.Loss()) / static_cast<double>(c.requests) : 0.0;
}

// "-" first, then channel numbers in numeric order (of any length), then the
// rest as text.
bool ChannelBefore(const std::string& a, const std::string& b) {
  const auto rank = [](const std::string& c) { return c == "-" ? 0 : AllDigits(c, 0) ? 1 : 2; };
  if (rank(a) != rank(b)) return rank(a) < rank(b);
  if (rank(a) == 1 && a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace

bool IsTimestampPrefix(const std::string& text) {
  return text.size() >= 4 && text.size() <= sizeof kTimestampForm - 1 && MatchesForm(text, text.size());
}

TraceSummary SummarizeTrace(std::istream& in, const TraceFilter& filter) {
  TraceSummary summary;
  std::map<std::pair<std::string, std::string>, ChannelSummary> channels;
  std::map<std::string, PortSummary> ports;
  // Each port's latest loss or failed open, which every channel of the port
  // may show as its last error: (text, time).
  std::map<std::string, std::pair<std::string, std::string>> port_failure;
  // The channel of the request under way on each (where, thread), and when
  // it began.
  std::map<std::pair<std::string, std::string>, std::pair<std::string, std::string>> open_request;
  std::string text;
  while (std::getline(in, text)) {
    Line line;
    if (!ParseLine(text, line)) {
      if (!text.empty() && text != "\r") ++summary.skipped;
      continue;
    }
    if (!filter.where.empty() && line.where != filter.where) continue;
    // A timestamp beginning with the prefix sorts after it.
    if (line.at < filter.since) continue;
    ++summary.lines;
    // Lines of several processes, or a rolled-over file put before the
    // current one, need not come in time order.
    if (summary.first_at.empty() || line.at < summary.first_at) summary.first_at = line.at;
    if (line.at > summary.last_at) summary.last_at = line.at;
    PortSummary& port = ports[line.where];
    port.where = line.where;
    const auto key = std::make_pair(line.where, line.thread);
    const auto channel_of = [&](const std::string& channel) -> ChannelSummary& {
      ChannelSummary& c = channels[{line.where, channel}];
      c.where = line.where;
      c.channel = channel;
      return c;
    };
    const auto note = [&](std::string& error, std::string& error_at, const std::string& what) {
      if (line.at < error_at) return;
      error = Printable(what);
      error_at = line.at;
    };
    // A loss or failed open: the port's last error, and one its channels may show.
    const auto port_failed = [&](const std::string& what) {
      note(port.last_error, port.last_error_at, what);
      auto& failure = port_failure[line.where];
      note(failure.first, failure.second, what);
    };
    const std::string& e = line.event;
    if (e == "request") {
      open_request[key] = {Printable(Field(line.fields, "channel")), line.at};
      channel_of(open_request[key].first);
    } else if (e == "done") {
      ChannelSummary& c = channel_of(Printable(Field(line.fields, "channel")));
      ++c.requests;
      if (Field(line.fields, "link") == "1" && Field(line.fields, "result") == "0") ++c.valid;
      // A failed request names its result unless its own error is noted.
      const auto open = open_request.find(key);
      const std::string began = open != open_request.end() ? open->second.second : line.at;
      if (Field(line.fields, "result") != "0" && c.last_error_at < began)
        note(c.last_error, c.last_error_at, "request result " + Field(line.fields, "result"));
      open_request.erase(key);
    } else if (e == "verdict" && Field(line.fields, "result") != "valid") {
      const auto open = open_request.find(key);
      if (open != open_request.end()) {
        ChannelSummary& c = channel_of(open->second.first);
        note(c.last_error, c.last_error_at, VerdictText(line));
      }
    } else if (e == "caught") {
      const std::string what = "caught " + Field(line.fields, "class") + " in " + Field(line.fields, "where") +
                               " " + Field(line.fields, "message");
      const auto open = open_request.find(key);
      if (open != open_request.end()) {
        ChannelSummary& c = channel_of(open->second.first);
        note(c.last_error, c.last_error_at, what);
      } else {
        note(port.last_error, port.last_error_at, what);
      }
    } else if (e == "port-open") {
      ++port.opened;
    } else if (e == "port-lost") {
      ++port.lost;
      port_failed("lost, error " + Field(line.fields, "error"));
    } else if (e == "port-back") {
      ++port.back;
    } else if (e == "port-reopened") {
      ++port.reopened;
    } else if (e == "port-reopen-failed") {
      ++port.reopen_failed;
    } else if (e == "port-open-failed") {
      ++port.open_failed;
      port_failed("open failed, error " + Field(line.fields, "error"));
    }
  }
  for (auto& [key, c] : channels) {
    if (c.requests == 0 && c.last_error.empty()) continue;
    const auto failure = port_failure.find(c.where);
    if (failure != port_failure.end() && failure->second.second > c.last_error_at) {
      c.last_error = failure->second.first;
      c.last_error_at = failure->second.second;
    }
    summary.channels.push_back(c);
  }
  std::sort(summary.channels.begin(), summary.channels.end(), [](const auto& a, const auto& b) {
    return a.where != b.where ? a.where < b.where : ChannelBefore(a.channel, b.channel);
  });
  for (auto& [where, p] : ports) {
    if (p.opened || p.open_failed || p.lost || p.back || p.reopened || p.reopen_failed || !p.last_error.empty())
      summary.ports.push_back(p);
  }
  return summary;
}

std::string TraceSummaryTable(const TraceSummary& summary) {
  std::string out = Format("%-7s %-7s %9s %9s %9s %7s  %s", "where", "channel", "requests", "valid", "loss",
                           "loss %", "last error") + "\n";
  for (const ChannelSummary& c : summary.channels) {
    const std::string error = c.last_error.empty() ? "-" : c.last_error + " at " + c.last_error_at;
    out += Format("%-7s %-7s %9ld %9ld %9ld %7.1f  ", c.where.c_str(), c.channel.c_str(), c.requests, c.valid,
                  c.Loss(), LossPercent(c)) +
           error + "\n";
  }
  for (const PortSummary& p : summary.ports) {
    const std::string error = p.last_error.empty() ? "" : "; last: " + p.last_error + " at " + p.last_error_at;
    out += Format("%s: opened %ld, open failed %ld, lost %ld, back %ld, reopened %ld, reopen failed %ld",
                  p.where.c_str(), p.opened, p.open_failed, p.lost, p.back, p.reopened, p.reopen_failed) +
           error + "\n";
  }
  out += Format("%ld lines of the library's", summary.lines) +
         (summary.lines ? " from " + summary.first_at + " to " + summary.last_at : std::string()) +
         Format("; %ld other lines skipped", summary.skipped) + "\n";
  return out;
}

std::string TraceSummaryJson(const TraceSummary& summary) {
  using json = nlohmann::ordered_json;
  json out = {{"lines", summary.lines}, {"skipped", summary.skipped}, {"first", summary.first_at},
              {"last", summary.last_at}};
  out["channels"] = json::array();
  for (const ChannelSummary& c : summary.channels)
    out["channels"].push_back({{"where", c.where}, {"channel", c.channel}, {"requests", c.requests},
                               {"valid", c.valid}, {"loss", c.Loss()},
                               {"loss_pct", std::round(LossPercent(c) * 100) / 100},
                               {"last_error", c.last_error}, {"last_error_at", c.last_error_at}});
  out["ports"] = json::array();
  for (const PortSummary& p : summary.ports)
    out["ports"].push_back({{"where", p.where}, {"opened", p.opened}, {"open_failed", p.open_failed},
                            {"lost", p.lost}, {"back", p.back}, {"reopened", p.reopened},
                            {"reopen_failed", p.reopen_failed}, {"last_error", p.last_error},
                            {"last_error_at", p.last_error_at}});
  // A customer's file need not be UTF-8.
  return out.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace lumo_cli
