// The opt-in trace, over a serial line to the simulated gauge: what a scripted
// session leaves in the file, that tracing changes nothing the host sees, a
// file that cannot be written, and the rollover.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LumoHost.h"
#include "SimGauge.h"
#include "Wait.h"
#include "driver/ConnectionSwitch.h"
#include "ScriptedUnit.h"
#include "driver/Silo.h"
#include "protocol/FrameCodec.h"
#include "serial/KorvoPort.h"

using namespace lumo_test;

namespace {

std::string TempPath(const char* name) {
  char dir[MAX_PATH] = {};
  GetTempPathA(sizeof dir, dir);
  return std::string(dir) + name;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Time, thread, where, event, fields; ended with CR LF.
const std::regex kLine(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \d+ (COM\d+|unit\d) [a-z-]+( .*)?\r$)");

std::string TracePath() { return TempPath("lumo-trace-test.log"); }

void ClearTraceFiles(const std::string& path) {
  DeleteFileA(path.c_str());
  DeleteFileA((path + ".1").c_str());
}

uint8_t GaugeType() { return static_cast<uint8_t>(SimGauge::Com() + 2); }

// A driver object built as GetSiloEx builds it, with the library's code linked
// in so that the connection switch can be called directly.
DriverHandle LinkedDriver() { return DriverHandle((new TSilo(GaugeType(), nullptr))->AsDriver()); }

double Value4(const DriverHandle& d) { return lumo_test::Value4(d, 1); }

// Everything the host sees of a step: traced or not, it must be the same.
struct Seen {
  double value;  // -1: the slot raised
  uint8_t link;
  int frames;  // request frames the gauge saw; -1 where timing may vary them
  bool operator==(const Seen& o) const {
    return value == o.value && link == o.link && frames == o.frames;
  }
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
  return out << "{" << s.value << ", link " << int(s.link) << ", " << s.frames << " frames}";
}

// A scripted session: a valid reply, a bad check and then a good reply,
// silence, the device lost and back, and a switch away from the port and back.
std::vector<Seen> RunSession(SimGauge& sim, const DriverHandle& d) {
  TSilo& silo = *TSilo::FromDriver(d.get());
  std::vector<Seen> seen;
  // Frames are compared only where the fault decides their count (three
  // attempts, or none without a transport): elsewhere a late reply on a
  // loaded machine may cost either run an attempt.
  const auto request = [&](bool count_frames) {
    double value = -1.0;
    try {
      value = Value4(d);
    } catch (const lumo::ESerialIO&) {
    }
    seen.push_back({value, d.LinkState(), count_frames ? sim.Stat("frames") : -1});
  };
  const auto fault = [&](const char* f) {
    sim.Ok("clear all");
    sim.Ok("set ch=1 code=4 int=250 tenths=5 status=0");
    if (*f) sim.Ok(std::string("fault ") + f);
  };
  fault("");
  request(false);
  fault("code=4 kind=badcheck");
  request(false);
  fault("code=4 kind=silence count=3");
  request(true);
  fault("code=4 kind=truncate count=3");
  request(true);
  fault("code=4 kind=garbledcheck count=3");  // the reply check raises
  request(true);

  sim.Ok("drop");
  EXPECT_TRUE(WaitFor([&] { return silo.GaugePort()->DeviceLost(); }, 6000)) << "loss unnoticed";
  request(false);
  sim.Ok("link com=" + std::to_string(SimGauge::Com()));
  EXPECT_TRUE(WaitFor(
      [&] {
        try {
          Value4(d);
        } catch (const lumo::ESerialIO&) {
        }
        return d.LinkState() == lumo::kLinkValidReply;
      },
      10000))
      << "never back";
  fault("");
  request(false);

  SetConnectionType(silo, 0);  // a communication unit, and the host gave none
  fault("");
  request(true);
  SetConnectionType(silo, GaugeType());
  fault("");
  request(false);
  return seen;
}

class TraceTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ClearTraceFiles(TracePath());
    SetEnvironmentVariableA(lumo::kTraceFileVariable, nullptr);
  }
  void TearDown() override {
    RemoveConfigFile();
    SetEnvironmentVariableA(lumo::kTraceFileVariable, nullptr);
  }
  void Configure(const std::string& keys) const {
    WriteConfigFile(std::string("[Lumo]\r\n") + (GetParam() ? "FastReply=1\r\n" : "") + keys);
  }
};

INSTANTIATE_TEST_SUITE_P(Trace, TraceTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Fast" : "FixedWindow"; });

TEST_P(TraceTest, ScriptedSessionLeavesItsEventsInOrderAndChangesNothing) {
  SimGauge sim;
  std::vector<Seen> untraced, traced;
  {
    Configure("");
    DriverHandle d = LinkedDriver();
    ASSERT_EQ(TSilo::FromDriver(d.get())->TraceLog(), nullptr);
    untraced = RunSession(sim, d);
  }
  {
    Configure("TraceFile=" + TracePath() + "\r\n");
    DriverHandle d = LinkedDriver();
    traced = RunSession(sim, d);
  }
  EXPECT_EQ(traced, untraced);

  const std::string com = "COM" + std::to_string(SimGauge::Com());
  const std::string type = std::to_string(GaugeType());
  const std::string mode = GetParam() ? "fast" : "fixed";
  // In this order, other lines between them.
  const std::vector<std::string> expected = {
      " trace-start file=\"",
      com + " port-open mode=" + mode,
      com + " request name=value4 channel=1 code=04 payload=010400",
      com + " send attempt=1 frame=\"@010400..\\*\\\\r\"",
      com + " recv attempt=1 at=\\+\\d+ms until=\\+\\d+ms bytes=\"@",
      " verdict attempt=1 result=valid",
      " done name=value4 channel=1 link=1 result=0",
      " value name=value4 channel=1 value=250.5 status=0",
      " verdict attempt=1 result=bad-check code=222",
      " verdict attempt=2 result=valid",
      " done name=value4 channel=1 link=1 result=0",
      " verdict attempt=1 result=no-reply",
      " verdict attempt=2 result=no-reply",
      " verdict attempt=3 result=no-reply",
      " done name=value4 channel=1 link=2 result=0",
      " verdict attempt=3 result=incomplete code=209",
      " done name=value4 channel=1 link=3 result=0",
      " verdict attempt=3 result=error class=EConvertError why=\"",
      " caught where=SendRequest class=EConvertError message=\"",
      " done name=value4 channel=1 link=3 result=-2",
      com + " port-lost error=\\d+",
      " done name=value4 channel=1 link=2 result=0",
      com + " port-reopened",
      " done name=value4 channel=1 link=1 result=0",
      com + " port-close",
      "unit0 switch from=" + type + " to=0 result=ok",
      "unit0 done name=value4 channel=1 link=2 result=-1",
      com + " port-open mode=" + mode,
      com + " switch from=0 to=" + type + " result=ok",
      com + " done name=value4 channel=1 link=1 result=0",
      com + " port-close",
  };
  const std::vector<std::string> lines = ReadLines(TracePath());
  size_t at = 0;
  for (const std::string& line : lines) {
    EXPECT_TRUE(std::regex_match(line, kLine)) << line;
    if (at < expected.size() && std::regex_search(line, std::regex(expected[at]))) ++at;
  }
  std::ostringstream all;
  for (const std::string& line : lines) all << line << "\n";
  EXPECT_EQ(at, expected.size()) << "missing: " << (at < expected.size() ? expected[at] : "")
                                 << "\n" << all.str();
}

// Through a host's communication unit the unit makes the attempts: the trace
// has the frame, each reply the unit had checked and its verdict, and an
// error the unit raised.
TEST_P(TraceTest, CommunicationUnitRequests) {
  if (GetParam()) GTEST_SKIP() << "the reply mode is the serial port's";
  const auto frame = [](std::vector<uint8_t> payload) {
    char out[lumo::protocol::kFrameBufferSize];
    return std::string(out, lumo::protocol::EncodeFrame(payload.data(), payload.size(), out));
  };
  const std::string valid = frame({1, 4, 4, 0x00, 0xFA, 5, 0});
  std::string bad = valid;
  bad[bad.size() - 3] = bad[bad.size() - 3] == '0' ? '1' : '0';
  ScriptedUnit unit;
  Configure("TraceFile=" + TracePath() + "\r\n");
  {
    DriverHandle d((new TSilo(1, unit.unit()))->AsDriver());
    unit.QueueReply(bad);
    EXPECT_DOUBLE_EQ(Value4(d), 0.0);
    unit.QueueReply(valid);
    EXPECT_DOUBLE_EQ(Value4(d), 250.5);
    unit.throw_in_exchange = true;
    EXPECT_THROW(Value4(d), lumo::ESerialIO);
  }
  const std::vector<std::string> expected = {
      "unit1 send attempt=1 frame=\"@010400",
      "unit1 recv attempt=1 bytes=\"@010404",
      "unit1 verdict attempt=1 result=bad-check code=222",
      "unit1 done name=value4 channel=1 link=3 result=0",
      "unit1 verdict attempt=1 result=valid length=19",
      "unit1 value name=value4 channel=1 value=250.5",
      "unit1 caught where=SendRequest class=unknown",
      "unit1 done name=value4 channel=1 link=1 result=-2",
  };
  size_t at = 0;
  for (const std::string& line : ReadLines(TracePath())) {
    EXPECT_TRUE(std::regex_match(line, kLine)) << line;
    if (at < expected.size() && line.find(expected[at]) != std::string::npos) ++at;
  }
  EXPECT_EQ(at, expected.size()) << "missing: " << (at < expected.size() ? expected[at] : "");
}

// A port that cannot be opened: its Win32 error and the library's message,
// in UTF-8.
TEST_P(TraceTest, PortThatCannotBeOpened) {
  if (GetParam()) GTEST_SKIP() << "the open does not depend on the reply mode";
  Configure("TraceFile=" + TracePath() + "\r\n");
  EXPECT_THROW(new TSilo(99 + 2, nullptr), lumo::EOpenPortFail);
  const auto lines = ReadLines(TracePath());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_search(lines[1], std::regex(
      "COM99 port-open-failed error=[1-9]\\d* class=EOpenPortFail message=\"Невозможно открыть COM99\"")))
      << lines[1];
}

// A trace that cannot be written turns itself off; the exchange goes on.
TEST_P(TraceTest, UnwritableFileLeavesTheExchangeUntraced) {
  SimGauge sim;
  sim.Ok("set ch=1 code=4 int=250 tenths=5 status=0");
  char temp[MAX_PATH] = {};
  GetTempPathA(sizeof temp, temp);
  for (const std::string& file : {TempPath("no-such-folder\\trace.log"), std::string(temp)}) {
    Configure("TraceFile=" + file + "\r\n");
    DriverHandle d = LinkedDriver();
    const auto& trace = TSilo::FromDriver(d.get())->TraceLog();
    ASSERT_NE(trace, nullptr) << file;
    EXPECT_FALSE(trace->On()) << file;
    EXPECT_DOUBLE_EQ(Value4(d), 250.5) << file;
    EXPECT_EQ(d.LinkState(), lumo::kLinkValidReply) << file;
  }
  EXPECT_FALSE(Exists(TempPath("no-such-folder")));
}

// The environment variable wins over cnf.ini's file; at the size limit the
// file rolls over to one previous file, and lines stay whole.
TEST_P(TraceTest, RollsOverAtTheConfiguredSize) {
  SimGauge sim;
  sim.Ok("set ch=1 code=4 int=250 tenths=5 status=0");
  const std::string ignored = TempPath("lumo-trace-ignored.log");
  DeleteFileA(ignored.c_str());
  Configure("TraceFile=" + ignored + "\r\nTraceMaxKB=1\r\n");
  SetEnvironmentVariableA(lumo::kTraceFileVariable, TracePath().c_str());
  {
    DriverHandle d = LinkedDriver();
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(Value4(d), 250.5);
  }
  EXPECT_FALSE(Exists(ignored));
  ASSERT_TRUE(Exists(TracePath() + ".1"));
  for (const std::string& path : {TracePath(), TracePath() + ".1"}) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    EXPECT_LE(static_cast<long>(in.tellg()), 1024L) << path;
    const auto lines = ReadLines(path);
    EXPECT_FALSE(lines.empty()) << path;
    for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, kLine)) << path << ": " << line;
  }
}

}  // namespace
