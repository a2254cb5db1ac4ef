// lumo-cli.exe as a field engineer runs it, against the simulated gauge (COM8
// under ctest): what it prints in each format compared with what the gauge was
// told to answer, its summary under a scripted fault pattern, scan with silent
// channels, and its exit statuses for bad input.
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LumoHost.h"
#include "SimGauge.h"

using lumo_test::ProgramRun;
using nlohmann::json;

namespace {

ProgramRun Cli(const std::string& args) {
  const std::wstring dir = lumo_test::ProgramDir();
  return lumo_test::RunProgram(dir + L"\\lumo-cli.exe", lumo_test::WideFromUtf8(args), dir, 120000);
}

std::string Com() { return std::to_string(SimGauge::Com()); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<json> JsonLines(const std::string& text) {
  std::vector<json> records;
  for (const std::string& line : Lines(text)) {
    json j = json::parse(line, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not one JSON object: " << line;
    if (!j.is_discarded()) records.push_back(j);
  }
  return records;
}

std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') fields.back() += line[++i];
    else if (c == '"') quoted = !quoted;
    else if (c == ',' && !quoted) fields.emplace_back();
    else fields.back() += c;
  }
  return fields;
}

// What the gauge is told to answer, and what each read must then show.
struct Expected {
  uint32_t ch;
  const char* read;
  const char* table;  // the value as the table and the CSV show it
  double number;      // the JSON value
};
const Expected kExpected[] = {
    {0, "value4", "123.4", 123.4},      {0, "signed6", "-12.3", -12.3},
    {0, "rounded5", "43", 43},          {0, "scaled8", "1.5005", 1.5005},
    {0, "scaled16", "654.3217", 654.3217}, {1, "value4", "7.0", 7.0},
    {1, "signed6", "0.5", 0.5},         {1, "rounded5", "42", 42},  // 42.5 rounds to even
    {1, "scaled8", "0.0009", 0.0009},   {1, "scaled16", "16777.2155", 16777.2155},
};

void TellGauge(SimGauge& sim) {
  sim.Ok("set ch=0 code=4 int=123 tenths=4");
  sim.Ok("set ch=0 code=6 int=-12 tenths=3");
  sim.Ok("set ch=0 code=5 int=42 tenths=6");
  sim.Ok("set ch=0 code=8 int=1500 tenths=5");
  sim.Ok("set ch=0 code=16 int=654321 tenths=7");
  sim.Ok("set ch=1 code=4 int=7 tenths=0");
  sim.Ok("set ch=1 code=6 int=0 tenths=5");
  sim.Ok("set ch=1 code=5 int=42 tenths=5");
  sim.Ok("set ch=1 code=8 int=0 tenths=9");
  sim.Ok("set ch=1 code=16 int=16777215 tenths=5");
}

const char kAllReads[] = " --ch 0-1 --read value4,signed6,rounded5,scaled8,scaled16 --count 1";

}  // namespace

TEST(LumoCli, InfoInBothFormatsLeavesCnfIniAlone) {
  SimGauge sim;
  sim.Ok("set state=7");
  sim.Ok("set config=31323334353637383930414243444546");
  const std::string ini = "[Lumo]\r\nConnectionType=9\r\n";
  lumo_test::WriteConfigFile(ini);

  const ProgramRun text = Cli("info --com " + Com());
  EXPECT_EQ(text.status, 0u) << text.err;
  EXPECT_NE(text.out.find("v3.00#Протокол к уровнемеру ЛУМО"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("COM" + Com() + ", 9600 8N1"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("'7' (55)"), std::string::npos) << text.out;

  const ProgramRun js = Cli("info --format json --com " + Com());
  EXPECT_EQ(js.status, 0u) << js.err;
  const std::vector<json> records = JsonLines(js.out);
  ASSERT_EQ(records.size(), 1u) << js.out;
  const json& j = records[0];
  EXPECT_EQ(j["connection"], "COM" + Com() + ", 9600 8N1") << "the same words as the table";
  EXPECT_EQ(j["type"], "info");
  EXPECT_EQ(j["driver"], "v3.00#Протокол к уровнемеру ЛУМО");
  EXPECT_EQ(j["state"], "7");
  EXPECT_EQ(j["state_code"], 55);
  EXPECT_EQ(j["state_link"], 1);
  EXPECT_EQ(j["config_link"], 1);
  // The block is the reply frame from its '@': '@', then the configured bytes as hex digits.
  EXPECT_EQ(j["config_text"], "@313233343536373");
  EXPECT_EQ(j["library_version"], LUMO_VERSION);

  // Traced: the state and configuration requests, summed up from the file.
  const std::wstring trace = lumo_test::ProgramDir() + L"\\lumo-cli-trace.log";
  DeleteFileW(trace.c_str());
  EXPECT_EQ(Cli("--trace lumo-cli-trace.log info --com " + Com()).status, 0u);
  const ProgramRun summary = Cli("trace lumo-cli-trace.log --format json --com " + Com());
  EXPECT_EQ(summary.status, 0u) << summary.err;
  const std::vector<json> sums = JsonLines(summary.out);
  ASSERT_EQ(sums.size(), 1u) << summary.out;
  ASSERT_EQ(sums[0]["channels"].size(), 1u) << summary.out;
  EXPECT_EQ(sums[0]["channels"][0]["channel"], "-");
  EXPECT_EQ(sums[0]["channels"][0]["requests"], 2);
  EXPECT_EQ(sums[0]["channels"][0]["valid"], 2);
  EXPECT_EQ(sums[0]["ports"][0]["opened"], 1);
  DeleteFileW(trace.c_str());

  // A gauge whose state request is never answered: link 2 and status 1.
  sim.Ok("fault code=20 kind=silence persist");
  const ProgramRun silent = Cli("info --format json --com " + Com());
  EXPECT_EQ(silent.status, 1u);
  const std::vector<json> silent_records = JsonLines(silent.out);
  ASSERT_EQ(silent_records.size(), 1u);
  EXPECT_EQ(silent_records[0]["state_link"], 2);
  EXPECT_TRUE(silent_records[0]["state"].is_null());
  EXPECT_EQ(silent_records[0]["config_link"], 1);

  EXPECT_EQ(lumo_test::ReadConfigFile(), ini);
  lumo_test::RemoveConfigFile();
}

TEST(LumoCli, PollShowsWhatTheGaugeAnswersInEveryFormat) {
  SimGauge sim;
  TellGauge(sim);

  const ProgramRun js = Cli("poll --format json --com " + Com() + kAllReads);
  EXPECT_EQ(js.status, 0u) << js.err;
  const std::vector<json> records = JsonLines(js.out);
  ASSERT_EQ(records.size(), std::size(kExpected) + 1) << js.out;
  for (size_t i = 0; i < std::size(kExpected); ++i) {
    const json& r = records[i];
    const Expected& e = kExpected[i];
    EXPECT_EQ(r["type"], "reading");
    EXPECT_EQ(r["ch"], e.ch) << r;
    EXPECT_EQ(r["read"], e.read) << r;
    EXPECT_EQ(r["link"], 1) << r;
    EXPECT_EQ(r["link_text"], "valid") << r;
    EXPECT_DOUBLE_EQ(r["value"].get<double>(), e.number) << r;
    EXPECT_EQ(r["time"].get<std::string>().size(), 24u) << r;  // 2026-12-08T13:49:38.123Z
  }
  EXPECT_EQ(records.back()["type"], "summary");
  EXPECT_EQ(records.back()["requests"], 10);
  EXPECT_EQ(records.back()["valid"], 10);

  // The same readings whatever the gauge's replies carry in their header.
  sim.Ok("set header=highbit");
  const ProgramRun csv = Cli("poll --format csv --com " + Com() + kAllReads);
  EXPECT_EQ(csv.status, 0u) << csv.err;
  const std::vector<std::string> rows = Lines(csv.out);
  ASSERT_EQ(rows.size(), std::size(kExpected) + 1) << csv.out;  // the summary goes to stderr
  EXPECT_EQ(rows[0], "time,com,ch,read,value,link,link_text,ms,error");
  for (size_t i = 0; i < std::size(kExpected); ++i) {
    const std::vector<std::string> f = CsvFields(rows[i + 1]);
    ASSERT_EQ(f.size(), 9u) << rows[i + 1];
    EXPECT_EQ(f[1], Com());
    EXPECT_EQ(f[2], std::to_string(kExpected[i].ch));
    EXPECT_EQ(f[3], kExpected[i].read);
    EXPECT_EQ(f[4], kExpected[i].table);
    EXPECT_EQ(f[5], "1");
    EXPECT_EQ(f[8], "");
  }
  EXPECT_NE(csv.err.find("10 requests sent, 10 valid replies"), std::string::npos) << csv.err;

  sim.Ok("set header=random");
  const ProgramRun table = Cli("poll --com " + Com() + kAllReads);
  EXPECT_EQ(table.status, 0u) << table.err;
  const std::vector<std::string> lines = Lines(table.out);
  ASSERT_EQ(lines.size(), std::size(kExpected) + 3) << table.out;  // header, rows, two summary lines
  for (size_t i = 0; i < std::size(kExpected); ++i) {
    std::istringstream row(lines[i + 1]);
    std::string time, ch, read, value, link;
    row >> time >> ch >> read >> value >> link;
    EXPECT_EQ(ch + " " + read + " " + value + " " + link,
              std::to_string(kExpected[i].ch) + " " + kExpected[i].read + " " + kExpected[i].table + " 1");
  }
}

// Each exchange is up to three attempts; a one-shot fault spends one count
// per attempt. Readings 1 to 6 of channel 0 then come out as below.
TEST(LumoCli, PollSummaryCountsAScriptedFaultPattern) {
  SimGauge sim;
  sim.Ok("set ch=0 code=4 int=321 tenths=0");
  sim.Ok("fault ch=0 code=4 kind=silence count=3");   // reading 1: no reply
  sim.Ok("fault ch=0 code=4 kind=badcheck count=3");  // reading 2: bad reply
  sim.Ok("fault ch=0 code=4 kind=silence count=2");   // reading 3: valid on the third attempt
  const ProgramRun run = Cli("poll --format json --ch 0 --count 6 --interval 0 --com " + Com());
  EXPECT_EQ(run.status, 1u) << run.err;
  const std::vector<json> records = JsonLines(run.out);
  ASSERT_EQ(records.size(), 7u) << run.out;
  const int links[] = {2, 3, 1, 1, 1, 1};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(records[i]["link"], links[i]) << records[i];
    EXPECT_EQ(records[i]["value"].is_null(), links[i] != 1) << records[i];
  }
  EXPECT_EQ(records[2]["value"], 321.0);
  const json& s = records.back();
  EXPECT_EQ(s["type"], "summary");
  EXPECT_EQ(s["requests"], 6);
  EXPECT_EQ(s["valid"], 4);
  EXPECT_EQ(s["no_reply"], 1);
  EXPECT_EQ(s["bad_reply"], 1);
  EXPECT_EQ(s["errors"], 0);
  EXPECT_DOUBLE_EQ(s["loss_pct"].get<double>(), 33.33);
  EXPECT_EQ(s["interrupted"], false);
  // One reply window is 200 ms; an exchange without a reply takes three.
  const double min = s["ms_min"], median = s["ms_median"], p95 = s["ms_p95"], max = s["ms_max"];
  EXPECT_GE(min, 150.0);
  EXPECT_LE(min, median);
  EXPECT_LE(median, p95);
  EXPECT_LE(p95, max);
  EXPECT_GE(max, 500.0);
  double slowest = 0;
  for (size_t i = 0; i < 6; ++i) slowest = std::max(slowest, records[i]["ms"].get<double>());
  EXPECT_EQ(max, slowest);
  EXPECT_EQ(sim.Stat("unanswered"), 5);

  // The same pattern as a table ends with the counts in words.
  sim.Ok("clear all");
  sim.Ok("fault ch=0 code=4 kind=silence count=3");
  const ProgramRun table = Cli("poll --ch 0 --count 2 --interval 0 --com " + Com());
  EXPECT_EQ(table.status, 1u);
  EXPECT_NE(table.out.find("--- 2 requests sent, 1 valid replies, 1 no reply, 0 bad reply, 0 request errors, "
                           "50.0% loss"),
            std::string::npos)
      << table.out;
  EXPECT_NE(table.out.find("exchange time min/median/p95/max = "), std::string::npos) << table.out;
}

TEST(LumoCli, PollRoundsFollowTheIntervalUntilTheDuration) {
  SimGauge sim;
  // Rounds of one 200-ms request start 400 ms apart for 1.5 s: four of them.
  const ProgramRun run = Cli("poll --format json --ch 0 --interval 400ms --duration 1.5s --com " + Com());
  EXPECT_EQ(run.status, 0u) << run.err;
  const std::vector<json> records = JsonLines(run.out);
  ASSERT_FALSE(records.empty());
  // What a loaded machine cannot change: rounds start at least the interval
  // apart, none after the duration, and at least one more than the first.
  std::vector<double> starts;  // ms of the day, from "...THH:MM:SS.mmmZ"
  for (const json& r : records) {
    if (r["type"] != "reading") continue;
    const std::string t = r["time"];
    starts.push_back(((std::stoi(t.substr(11, 2)) * 60 + std::stoi(t.substr(14, 2))) * 60 +
                      std::stod(t.substr(17, 6))) * 1000);
  }
  ASSERT_GE(starts.size(), 2u) << run.out;
  for (size_t i = 1; i < starts.size(); ++i) EXPECT_GE(starts[i] - starts[i - 1], 399) << run.out;
  EXPECT_LT(starts.back() - starts.front(), 1500) << run.out;
  EXPECT_EQ(records.back()["requests"].get<size_t>(), starts.size()) << run.out;
}

TEST(LumoCli, ScanFindsTheChannelsThatAnswer) {
  SimGauge sim;
  sim.Ok("set ch=2 code=4 int=5 tenths=0 status=1");  // a gauge error: bad reply
  sim.Ok("fault ch=5 kind=silence persist");
  sim.Ok("fault ch=30 kind=silence persist");
  sim.Ok("set ch=3 program=0A0B0C0D");
  const ProgramRun run = Cli("scan --format json --com " + Com());
  EXPECT_EQ(run.status, 0u) << run.err;
  const std::vector<json> records = JsonLines(run.out);
  ASSERT_EQ(records.size(), 33u) << run.out;
  std::vector<uint32_t> expected;
  for (uint32_t ch = 0; ch < 32; ++ch) {
    const json& r = records[ch];
    EXPECT_EQ(r["type"], "channel");
    EXPECT_EQ(r["ch"], ch);
    const int link = ch == 2 ? 3 : ch == 5 || ch == 30 ? 2 : 1;
    EXPECT_EQ(r["link"], link) << r;
    EXPECT_EQ(r["answers"], link == 1) << r;
    if (link == 1) expected.push_back(ch);
  }
  EXPECT_EQ(records.back()["type"], "scan");
  EXPECT_EQ(records.back()["answering"].get<std::vector<uint32_t>>(), expected);
  // Program codes, through the linked library, of the channels that answer.
  EXPECT_EQ(records[3]["program"], "0A0B0C0D");
  EXPECT_TRUE(records[5]["program"].is_null());
  for (uint32_t ch : expected) EXPECT_EQ(records[ch]["program"].get<std::string>().size(), 8u) << ch;

  const ProgramRun table = Cli("scan --ch 4-6 --com " + Com());
  EXPECT_EQ(table.status, 0u);
  EXPECT_NE(table.out.find("--- 2 of 3 channels answer: 4,6"), std::string::npos) << table.out;

  // Nothing answers: status 1.
  EXPECT_EQ(Cli("scan --ch 5 --com " + Com()).status, 1u);
}

TEST(LumoCli, BadInputAndMissingPorts) {
  struct Case {
    std::string args;
    DWORD status;
    std::string err_contains;
  };
  const std::string com = " --com " + Com();
  std::vector<Case> cases = {
      {"", 2, "subcommand"},
      {"bogus" + com, 2, "unknown subcommand 'bogus'"},
      {"params" + com, 2, "--ch"},
      {"params --ch 256" + com, 2, "--ch"},
      {"params --ch 1 --dry-run" + com, 2, "--load"},
      {"params --ch 1 --save a.json --diff b.json" + com, 2, "excludes"},
      {"info", 2, "--com"},
      {"info --com 0", 2, "--com"},
      {"info --com 254", 2, "--com"},
      {"info --com x", 2, "--com"},
      {"info --format csv" + com, 2, "bad --format 'csv' (table or json)"},
      {"poll --ch 0-" + com, 2, "bad channel list '0-'"},
      {"poll --ch 3-1" + com, 2, "bad channel list"},
      {"poll --ch 256" + com, 2, "bad channel list"},
      {"poll --ch 1,,2" + com, 2, "bad channel list"},
      {"poll --ch a" + com, 2, "bad channel list"},
      {"scan --ch 0-32x" + com, 2, "bad channel list"},
      {"poll --read value7" + com, 2, "bad --read 'value7'"},
      {"poll --interval 5parsecs" + com, 2, "bad --interval"},
      {"poll --duration 0" + com, 2, "bad --duration"},
      {"poll --count 2 --duration 1s" + com, 2, "excludes"},
      {"poll --format xml" + com, 2, "bad --format 'xml' (table, csv or json)"},
      {"poll --format 2" + com, 2, "bad --format '2'"},
      {"poll --count 0" + com, 2, "bad --count '0' (a number of rounds, 1 to 1000000)"},
      {"poll --set 3=1500" + com, 2, "--set"},
      {"trace", 2, "file"},
      {"trace no-such-trace.log", 2, "cannot read the trace file 'no-such-trace.log'"},
      {"trace x.log --since yesterday", 2, "bad --since 'yesterday'"},
      {"--trace " + std::string(260, 'x') + " info" + com, 2, "--trace: the file name is longer than 259"},
      // No device stands behind COM200 in the test prefix.
      {"info --com 200", 1, "cannot open COM200: "},
  };
  for (const Case& c : cases) {
    const ProgramRun run = Cli(c.args);
    EXPECT_EQ(run.status, c.status) << c.args << ": " << run.err;
    EXPECT_NE(run.err.find(c.err_contains), std::string::npos) << c.args << ": " << run.err;
    EXPECT_EQ(Lines(run.err).size(), 1u) << c.args << ": " << run.err;
    EXPECT_EQ(run.out, "") << c.args;
  }

  const ProgramRun version = Cli("--version");
  EXPECT_EQ(version.status, 0u);
  EXPECT_EQ(Lines(version.out), std::vector<std::string>{"lumo-cli " LUMO_VERSION});
}


// params through the linked library: a read compared with the gauge, a
// backup, a dry run, a comparison, a restore onto the same and onto another
// channel, bad files, and a gauge that fails one sensor.
TEST(LumoCli, ParamsReadBackUpRestoreAndCompare) {
  SimGauge sim;
  // Fast replies: each run of 23 to 68 requests then takes well under 200 ms
  // a request.
  const lumo_test::ScopedConfigFile fast_replies("[Lumo]\r\nFastReply=1\r\n");
  std::string dir;
  for (wchar_t c : lumo_test::ProgramDir()) dir += static_cast<char>(c);  // an ASCII path
  const std::string backup = dir + "\\params-backup.json", bad = dir + "\\params-bad.json";
  auto set = [&](int ch, int p, const std::string& v) {
    sim.Ok("set ch=" + std::to_string(ch) + " param=" + std::to_string(p) + " value=" + v);
  };
  auto hex_of = [&](int ch, int p) {
    const std::string r = sim.Ok("get ch=" + std::to_string(ch) + " param=" + std::to_string(p));
    return r.substr(r.find("hex=") + 4);
  };
  // The values set, as lumo-cli must print them.
  auto height = [](int i) { return i == 2 ? 65535 : 100 * i; };
  auto ident = [](int i) {
    return std::string(i == 1 ? "8" : "0") + "00000000000C0" + (i < 10 ? "0" : "") + std::to_string(i);
  };
  for (int i = 1; i <= 11; ++i) {
    set(4, i, std::to_string(height(i)));
    set(4, 128 + i, "0x" + ident(i));
  }
  sim.Ok("set ch=4 program=0102A0FF");

  const ProgramRun read = Cli("params --format json --com " + Com() + " --ch 4");
  ASSERT_EQ(read.status, 0u) << read.err;
  const json j = json::parse(read.out);
  EXPECT_EQ(j["program_code"], "0102A0FF");
  ASSERT_EQ(j["sensors"].size(), 11u);
  for (int i = 1; i <= 11; ++i) {
    const json& e = j["sensors"][i - 1];
    EXPECT_EQ(e["name"], (i <= 8 ? "T" + std::to_string(i) : "D" + std::to_string(i - 8)));
    EXPECT_EQ(e["height_mm"], height(i)) << i;
    EXPECT_EQ(e["identifier"], ident(i)) << i;
    EXPECT_EQ(e["height_link"], 1);
  }

  ASSERT_EQ(Cli("params --com " + Com() + " --ch 4 --save \"" + backup + "\"").status, 0u);
  set(4, 3, "1");
  set(4, 131, "0x1234");
  sim.Ok("clear stats");
  const ProgramRun dry = Cli("params --com " + Com() + " --ch 4 --dry-run --load \"" + backup + "\"");
  EXPECT_EQ(dry.status, 1u);
  EXPECT_NE(dry.out.find("2 of 22 parameters differ"), std::string::npos) << dry.out;
  EXPECT_EQ(sim.Stat("writes"), 0) << "a dry run writes nothing";
  EXPECT_EQ(Cli("params --com " + Com() + " --ch 4 --diff \"" + backup + "\"").status, 1u);
  const ProgramRun load = Cli("params --com " + Com() + " --ch 4 --load \"" + backup + "\"");
  EXPECT_EQ(load.status, 0u) << load.out << load.err;
  EXPECT_EQ(sim.Stat("writes"), 22);
  EXPECT_EQ(hex_of(4, 3), "012C");
  EXPECT_EQ(hex_of(4, 131), "000000000000C003");
  EXPECT_EQ(Cli("params --com " + Com() + " --ch 4 --diff \"" + backup + "\"").status, 0u);
  // A write that brings no reply: the restore fails and names it, although
  // the read-back finds the gauge holding the file's values.
  sim.Ok("fault ch=4 code=131 param=131 kind=silence count=3");
  const ProgramRun unanswered = Cli("params --com " + Com() + " --ch 4 --load \"" + backup + "\"");
  EXPECT_EQ(unanswered.status, 1u) << unanswered.out << unanswered.err;
  EXPECT_NE(unanswered.err.find("write brought no valid reply: T3 identifier: 2 no reply"), std::string::npos)
      << unanswered.err;
  sim.Ok("clear faults");
  // A replaced gauge gets the old one's settings: here, another channel.
  EXPECT_EQ(Cli("params --com " + Com() + " --ch 6 --load \"" + backup + "\"").status, 0u);
  for (const auto& [p, hex] : {std::pair<int, const char*>{1, "0064"}, {2, "FFFF"},
                               {129, "800000000000C001"}, {139, "000000000000C011"}})
    EXPECT_EQ(hex_of(6, p), hex) << p;

  // Bad files: status 2, one line, nothing sent.
  const json good = json::parse(std::ifstream(backup));
  auto with = [&](auto change) {
    json k = good;
    change(k);
    return k.dump();
  };
  const std::pair<std::string, std::string> files[] = {
      {"{ not json", "not a JSON object"},
      {with([](json& k) { k["sensors"].erase(10); }), "10 sensors"},
      {with([](json& k) { k["sensors"][2]["height_mm"] = 70000; }), "T3: height_mm"},
      {with([](json& k) { k["sensors"][0]["identifier"] = "00000000000000001"; }), "T1: identifier"},
      {with([](json& k) { k["sensors"][9]["identifier"] = "00000000000000g1"; }), "D2: identifier"},
  };
  for (const auto& [text, why] : files) {
    std::ofstream(bad, std::ios::trunc) << text;
    sim.Ok("clear stats");
    const ProgramRun run = Cli("params --com " + Com() + " --ch 4 --load \"" + bad + "\"");
    EXPECT_EQ(run.status, 2u) << why;
    EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(sim.Stat("frames"), 0) << why;
  }

  // One sensor fails: its row shows no value, and no backup is written.
  DeleteFileA(backup.c_str());
  sim.Ok("fault ch=4 code=3 kind=silence count=3");
  const ProgramRun failing = Cli("params --com " + Com() + " --ch 4 --save \"" + backup + "\"");
  EXPECT_EQ(failing.status, 1u);
  const std::vector<std::string> rows = Lines(failing.out);
  const auto t1 = std::find_if(rows.begin(), rows.end(), [](const std::string& r) { return r.rfind("T1 ", 0) == 0; });
  ASSERT_NE(t1, rows.end()) << failing.out;
  EXPECT_NE(t1->find(" -  2 no reply"), std::string::npos) << *t1;
  EXPECT_EQ(GetFileAttributesA(backup.c_str()), INVALID_FILE_ATTRIBUTES) << "no partial backup";
  DeleteFileA(bad.c_str());
}
