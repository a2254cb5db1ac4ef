// lumo-cli trace's summary of a known trace, with a host's own lines around.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>

#include "TraceSummary.h"

using namespace lumo_cli;

namespace {

// COM4: channel 1 answers after a bad check, then stays silent; the device is
// lost and reopened; channel 2 raises. unit0 has no transport. CR LF endings,
// as the library writes them, and lines of a host's in between.
const char kTrace[] =
    "host 05:00 started polling\r\n"
    "2026-12-10T05:27:10.087Z 1996 COM4 trace-start file=\"C:\\\\t.log\" pid=1 version=1.0.0\r\n"
    "2026-12-10T05:27:10.097Z 1996 COM4 port-open mode=fast\r\n"
    "2026-12-10T05:27:10.148Z 1996 COM4 request name=value4 channel=1 code=04 payload=010400\r\n"
    "2026-12-10T05:27:10.350Z 1996 COM4 verdict attempt=1 result=bad-check code=222\r\n"
    "2026-12-10T05:27:10.462Z 1996 COM4 verdict attempt=2 result=valid length=19\r\n"
    "2026-12-10T05:27:10.463Z 1996 COM4 done name=value4 channel=1 link=1 result=0\r\n"
    "2026-12-10T05:27:10.465Z 1996 COM4 request name=value4 channel=1 code=04 payload=010400\r\n"
    "2026-12-10T05:27:11.211Z 1996 COM4 verdict attempt=3 result=no-reply\r\n"
    "2026-12-10T05:27:11.212Z 1996 COM4 done name=value4 channel=1 link=2 result=0\r\n"
    "2026-12-10T05:27:14.016Z 36 COM4 port-lost error=21\r\n"
    "2026-12-10T05:27:15.556Z 1996 COM4 port-reopened\r\n"
    "2026-12-10T05:27:16.000Z 1996 COM4 request name=value4 channel=2 code=04 payload=020400\r\n"
    "2026-12-10T05:27:16.201Z 1996 COM4 verdict attempt=3 result=error class=EConvertError why=\"G?\"\r\n"
    "2026-12-10T05:27:16.202Z 1996 COM4 caught where=SendRequest class=EConvertError message=\"G? is no number\"\r\n"
    "2026-12-10T05:27:16.203Z 1996 COM4 done name=value4 channel=2 link=1 result=-2\r\n"
    "2026-12-10T05:27:16.300Z 1996 COM4 request name=state channel=- code=14 payload=14\r\n"
    "2026-12-10T05:27:16.340Z 1996 COM4 done name=state channel=- link=1 result=0\r\n"
    "[host] 2026-12-10 05:27:17 value 250.5\r\n"
    "2026-12-10T05:27:17.000Z 77 unit0 done name=value4 channel=1 link=2 result=-1\r\n"
    "2026-12-10T05:27:17.001Z 77 COM99 port-open-failed error=2 class=EOpenPortFail message=\"x\"\r\n"
    "2026-12-10T05:27:17.002Z x COM4 done name=value4 channel=1 link=1 result=0\r\n"
    "\r\n";

TraceSummary Summarize(const TraceFilter& filter) {
  std::istringstream in(kTrace);
  return SummarizeTrace(in, filter);
}

}  // namespace

TEST(TraceSummary, RowsPerPortAndChannel) {
  const TraceSummary s = Summarize({});
  EXPECT_EQ(s.lines, 19);
  EXPECT_EQ(s.skipped, 3) << "two host lines and one with a bad thread id";
  EXPECT_EQ(s.first_at, "2026-12-10T05:27:10.087Z");
  EXPECT_EQ(s.last_at, "2026-12-10T05:27:17.001Z");
  const struct {
    const char* where;
    const char* channel;
    long requests, valid;
    const char* last_error;
  } want[] = {
      // The port was lost after these rows' own errors.
      {"COM4", "-", 1, 1, "lost, error 21"},
      {"COM4", "1", 2, 1, "lost, error 21"},
      {"COM4", "2", 1, 0, "caught EConvertError in SendRequest \"G? is no number\""},
      {"unit0", "1", 1, 0, "request result -1"},
  };
  ASSERT_EQ(s.channels.size(), std::size(want));
  for (size_t i = 0; i < std::size(want); ++i) {
    const ChannelSummary& c = s.channels[i];
    EXPECT_EQ(c.where, want[i].where) << i;
    EXPECT_EQ(c.channel, want[i].channel) << i;
    EXPECT_EQ(c.requests, want[i].requests) << i;
    EXPECT_EQ(c.valid, want[i].valid) << i;
    EXPECT_EQ(c.last_error, want[i].last_error) << i;
  }
  ASSERT_EQ(s.ports.size(), 2u) << "unit0 has no port events";
  const PortSummary& com4 = s.ports[0];
  EXPECT_EQ(com4.where, "COM4");
  EXPECT_EQ(com4.opened, 1);
  EXPECT_EQ(com4.lost, 1);
  EXPECT_EQ(com4.reopened, 1);
  EXPECT_EQ(com4.last_error, "lost, error 21");
  EXPECT_EQ(com4.last_error_at, "2026-12-10T05:27:14.016Z");
  EXPECT_EQ(s.ports[1].where, "COM99");
  EXPECT_EQ(s.ports[1].open_failed, 1);
}

TEST(TraceSummary, Filters) {
  const struct {
    TraceFilter filter;
    long lines;
    size_t rows;
  } cases[] = {
      {{"COM4", ""}, 17, 3},
      {{"COM7", ""}, 0, 0},
      {{"", "2026-12-10T05:27:16"}, 8, 3},  // channel 2, state, unit0 (and COM99's port line)
      {{"COM4", "2026-12-10T05:27:16.3"}, 2, 1},
      {{"", "2026-12-11"}, 0, 0},
      {{"", "2026"}, 19, 4},
  };
  for (const auto& c : cases) {
    const TraceSummary s = Summarize(c.filter);
    EXPECT_EQ(s.lines, c.lines) << c.filter.where << " " << c.filter.since;
    EXPECT_EQ(s.channels.size(), c.rows) << c.filter.where << " " << c.filter.since;
  }
}

TEST(TraceSummary, TimestampPrefixes) {
  for (const char* good : {"2026", "2026-12-10", "2026-12-10T05:00", "2026-12-10T05:27:10.087Z"})
    EXPECT_TRUE(IsTimestampPrefix(good)) << good;
  for (const char* bad : {"", "202", "yesterday", "2026/12/10", "2026-12-10 05:00", "2026-12-10T05:27:10.087Z0"})
    EXPECT_FALSE(IsTimestampPrefix(bad)) << bad;
}

// Short traces for the choice of the last error and the reading of fields,
// and what lumo-cli trace prints of them.
TEST(TraceSummary, LastErrorAndOddLines) {
  const std::string r1 = "2026-12-10T05:00:01.000Z 7 COM3 request name=value4 channel=1 code=04 payload=010400\n";
  const std::string d1 = "2026-12-10T05:00:02.000Z 7 COM3 done name=value4 channel=1 link=3 result=0\n";
  const std::string long_channel(600, '9'), long_port = "COM" + std::string(600, '7');
  const struct {
    const char* what;
    std::string trace;
    const char* rows;  // where channel requests/valid last error, one per line
    std::string table = "";       // the whole table, where given
    std::string json_errors = "";  // each channel's last_error in the JSON output, one per line, where given
  } cases[] = {
      {"a key quoted inside a value is no field", r1 +
           "2026-12-10T05:00:01.500Z 7 COM3 verdict attempt=1 result=error class=E why=\"x code=5\"\n" + d1,
       "COM3 1 1/0 error why=\"x code=5\"\n"},
      {"the latest by time, not by place: a rolled-over file pasted after the current one",
       r1 + "2026-12-10T05:00:01.500Z 7 COM3 verdict attempt=1 result=no-reply\n" + d1 +
           "2026-12-09T23:00:01.000Z 7 COM3 request name=value4 channel=1 code=04 payload=010400\n"
           "2026-12-09T23:00:01.500Z 7 COM3 verdict attempt=1 result=bad-check code=222\n"
           "2026-12-09T23:00:02.000Z 7 COM3 done name=value4 channel=1 link=3 result=0\n",
       "COM3 1 2/0 no-reply\n"},
      {"a later failed open of the port is the channel's last error",
       r1 + "2026-12-10T05:00:01.500Z 7 COM3 verdict attempt=1 result=bad-check code=223\n" + d1 +
           "2026-12-10T05:00:09.000Z 7 COM3 port-open-failed error=2 message=\"gone\"\n",
       "COM3 1 1/0 open failed, error 2\n"},
      {"channel numbers in numeric order, however long",
       "2026-12-10T05:00:01.000Z 7 COM3 done name=value4 channel=99999999999999999999 link=1 result=0\n"
       "2026-12-10T05:00:01.000Z 7 COM3 done name=value4 channel=10 link=1 result=0\n"
       "2026-12-10T05:00:01.000Z 7 COM3 done name=value4 channel=9 link=1 result=0\n",
       "COM3 9 1/1 -\nCOM3 10 1/1 -\nCOM3 99999999999999999999 1/1 -\n"},
      {"control bytes of a foreign file are escaped, LF endings read",
       r1 + "2026-12-10T05:00:01.500Z 7 COM3 caught where=send class=E message=\x1b[2J\n" + d1,
       "COM3 1 1/0 caught E in send \\x1B[2J\n"},
      {"a byte order mark where an editor saved the file and where one was pasted after it, CR CR LF",
       "\xEF\xBB\xBF" + r1 + "2026-12-10T05:00:01.500Z 7 COM3 verdict attempt=1 result=no-reply\n" + d1 +
           "\xEF\xBB\xBF" "2026-12-10T05:00:03.000Z 7 COM3 done name=value4 channel=2 link=1 result=0\r\r\n",
       "COM3 1 1/0 no-reply\nCOM3 2 1/1 -\n"},
      {"a file that is not UTF-8 (a host's Windows-1251 log, a cut sequence): the JSON output still is",
       "[\xF5\xEE\xF1\xF2] 05:00 \xEE\xEF\xF0\xEE\xF1 COM3\n" + r1 +
           "2026-12-10T05:00:01.500Z 7 COM3 caught where=send class=E message=\xCE\xF8\xE8\xE1\xEA\xE0\xD0\n" + d1 +
           "\xFF\xFE\n",
       "COM3 1 1/0 caught E in send \xCE\xF8\xE8\xE1\xEA\xE0\xD0\n", "",
       "caught E in send \uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\n"},
      {"a channel or port longer than the table's columns keeps its counts",
       "2026-12-10T05:00:01.000Z 7 COM3 done name=value4 channel=" + long_channel + " link=1 result=0\n" +
           "2026-12-10T05:00:02.000Z 7 " + long_port + " port-lost error=5\n",
       nullptr,
       "where   channel  requests     valid      loss  loss %  last error\n"
       "COM3    " + long_channel + "         1         1         0     0.0  -\n" +
           long_port + ": opened 0, open failed 0, lost 1, back 0, reopened 0, reopen failed 0; "
           "last: lost, error 5 at 2026-12-10T05:00:02.000Z\n"
           "2 lines of the library's from 2026-12-10T05:00:01.000Z to 2026-12-10T05:00:02.000Z; "
           "0 other lines skipped\n"},
  };
  for (const auto& c : cases) {
    std::istringstream in(c.trace);
    const TraceSummary summary = SummarizeTrace(in, {});
    std::string rows;
    for (const ChannelSummary& row : summary.channels)
      rows += row.where + " " + row.channel + " " + std::to_string(row.requests) + "/" + std::to_string(row.valid) +
              " " + (row.last_error.empty() ? "-" : row.last_error) + "\n";
    if (c.rows) EXPECT_EQ(rows, c.rows) << c.what;
    if (!c.table.empty()) EXPECT_EQ(TraceSummaryTable(summary), c.table) << c.what;
    // One line that parses back; the parser refuses a string that is not UTF-8.
    const std::string text = TraceSummaryJson(summary);
    EXPECT_EQ(text.find('\n'), text.size() - 1) << c.what;
    const auto json = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << c.what << ": " << text;
    ASSERT_EQ(json["channels"].size(), summary.channels.size()) << c.what;
    std::string json_errors;
    for (const auto& row : json["channels"]) json_errors += row["last_error"].get<std::string>() + "\n";
    if (!c.json_errors.empty()) EXPECT_EQ(json_errors, c.json_errors) << c.what;
  }
}
