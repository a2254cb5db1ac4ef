// cnf.ini saving and the run-time switch of the connection type, with a real
// cnf.ini in the prefix's Windows directory and the simulated gauge on COM3;
// COM4 is linked to the same virtual line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "SimGauge.h"
#include "ImportPatch.h"
#include "LumoHost.h"
#include "ScriptedUnit.h"
#include "TimeScale.h"
#include "driver/ConnectionConfig.h"
#include "driver/ConnectionSwitch.h"
#include "driver/Silo.h"
#include "serial/KorvoPort.h"
#include "ui/MessageBoxSeam.h"

using namespace lumo_test;
using namespace std::chrono_literals;

namespace {

constexpr int32_t kCom3 = 5, kCom4 = 6, kCom40 = 42;
const wchar_t kPortBox[] = L"Невозможно открыть порт COM для уровнемера!";

// Records message boxes; can hold a box "on screen" until the test releases it.
struct BoxRecorder {
  struct Box {
    std::wstring text, caption;
    unsigned flags;
  };
  std::mutex mutex;
  std::vector<Box> boxes;
  HANDLE shown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, TRUE, nullptr);

  static BoxRecorder*& Current() {
    static BoxRecorder* current = nullptr;
    return current;
  }
  static int Handler(HWND, const wchar_t* text, const wchar_t* caption, unsigned flags) {
    BoxRecorder* r = Current();
    {
      std::lock_guard<std::mutex> lock(r->mutex);
      r->boxes.push_back({text, caption, flags});
    }
    SetEvent(r->shown);
    WaitForSingleObject(r->release, 20000);
    return IDOK;
  }
  BoxRecorder() {
    Current() = this;
    lumo::ui::SetMessageBoxHandler(&Handler);
  }
  ~BoxRecorder() {
    lumo::ui::SetMessageBoxHandler(nullptr);
    Current() = nullptr;
    CloseHandle(shown);
    CloseHandle(release);
  }
  std::vector<Box> Boxes() {
    std::lock_guard<std::mutex> lock(mutex);
    return boxes;
  }
};

// The simulated gauge with channels 1 and 2 answering 1.0 and 2.0.
class Sim : public SimGauge {
 public:
  Sim() {
    Ok("set ch=1 code=4 int=1 tenths=0 status=0");
    Ok("set ch=2 code=4 int=2 tenths=0 status=0");
  }
};

// COMn opened the way the library opens it: exclusively.
HANDLE OpenExclusive(int n) {
  const std::string path = "\\\\.\\COM" + std::to_string(n);
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr);
}

std::vector<UnitCall> LineSetupCalls(ScriptedUnit& unit) {
  std::vector<UnitCall> out;
  for (const auto& c : unit.Calls())
    if (c.slot == lumo::kUnitSetLineConfigHandler || c.slot == lumo::kUnitConfigureLine)
      out.push_back(c);
  return out;
}

// Sees the order in which COM ports are opened and closed: the library's
// internals are linked into this program, so its CreateFileA and CloseHandle
// imports are the ones the serial port calls. Patched for the watch's life.
class ComPortWatch {
 public:
  ComPortWatch() {
    Current() = this;
    create_ = std::make_unique<ImportPatch>("CreateFileA", reinterpret_cast<const void*>(&Create));
    close_ = std::make_unique<ImportPatch>("CloseHandle", reinterpret_cast<const void*>(&Close));
  }
  ~ComPortWatch() {
    create_.reset();
    close_.reset();
    Current() = nullptr;
  }
  bool Patched() const { return create_->Patched() && close_->Patched(); }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  using CreateFn = decltype(&CreateFileA);
  using CloseFn = decltype(&CloseHandle);
  static ComPortWatch*& Current() {
    static ComPortWatch* current = nullptr;
    return current;
  }
  static HANDLE WINAPI Create(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE templ) {
    ComPortWatch* w = Current();
    const HANDLE h =
        w->create_->Original<CreateFn>()(path, access, share, sa, disposition, flags, templ);
    const DWORD error = GetLastError();
    const char* com = std::strstr(path, "COM");
    if (com) {
      std::lock_guard<std::mutex> lock(w->mutex_);
      w->events_.push_back(std::string("open ") + com);
      if (h != INVALID_HANDLE_VALUE) w->open_.push_back({h, com});
    }
    SetLastError(error);
    return h;
  }
  static BOOL WINAPI Close(HANDLE h) {
    ComPortWatch* w = Current();
    {
      std::lock_guard<std::mutex> lock(w->mutex_);
      for (auto it = w->open_.begin(); it != w->open_.end(); ++it) {
        if (it->first != h) continue;
        w->events_.push_back("close " + it->second);
        w->open_.erase(it);
        break;
      }
    }
    return w->close_->Original<CloseFn>()(h);
  }

  std::unique_ptr<ImportPatch> create_, close_;
  std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<std::pair<HANDLE, std::string>> open_;
};

// Runs fn on another thread; false when it did not finish by the deadline.
template <typename Fn>
bool FinishesWithin(std::chrono::milliseconds deadline, Fn fn) {
  auto done = std::async(std::launch::async, fn);
  return done.wait_for(deadline) == std::future_status::ready;
}

class ConfigFileTest : public ::testing::Test {
 protected:
  void TearDown() override { RemoveConfigFile(); }
};

}  // namespace

// The factory tests cover 258, 259, a non-number and a missing file or section.
TEST_F(ConfigFileTest, ReadingGivesTheLowByte) {
  const struct {
    const char* contents;
    uint8_t type;
  } cases[] = {
      {"[Lumo]\r\nConnectionType=5\r\n", 5},  // COM3
      {"[Lumo]\r\nConnectionType=-1\r\n", 255},
      {"[Lumo]\r\nconnectiontype=4\r\n", 4},  // names compare without case
  };
  for (const auto& c : cases) {
    WriteConfigFile(c.contents);
    EXPECT_EQ(ReadConnectionType(), c.type) << c.contents;
  }
}

// FastReply is on for exactly "1"; a gauge port takes the mode when it opens,
// from either factory and at a run-time switch.
TEST_F(ConfigFileTest, FastReplyIsOnForOneOnly) {
  using Mode = TKorvoComPort::ReplyMode;
  const struct {
    const char* contents;  // nullptr: no file
    bool on;
  } cases[] = {
      {nullptr, false},
      {"[Lumo]\r\nConnectionType=5\r\n", false},
      {"[Lumo]\r\nFastReply=0\r\n", false},
      {"[Lumo]\r\nFastReply=1\r\n", true},
      {"[lumo]\r\nfastreply = 1\r\n", true},
      {"[Lumo]\r\nFastReply=yes\r\n", false},
      {"[Lumo]\r\nFastReply=1x\r\n", false},
      {"[Lumo]\r\nFastReply=10\r\n", false},
      {"[Lumo]\r\nFastReply=\r\n", false},
      {"[Host]\r\nFastReply=1\r\n", false},
  };
  for (const auto& c : cases) {
    if (c.contents) WriteConfigFile(c.contents); else RemoveConfigFile();
    const char* what = c.contents ? c.contents : "(no file)";
    EXPECT_EQ(ReadFastReply(), c.on) << what;
    const Mode want = c.on ? Mode::kEndOnValidFrame : Mode::kFixedWindow;
    TSilo silo(kCom3, nullptr);
    ASSERT_NE(silo.GaugePort(), nullptr);
    EXPECT_EQ(silo.GaugePort()->Mode(), want) << what;
    SetConnectionType(silo, kCom4);
    ASSERT_NE(silo.GaugePort(), nullptr);
    EXPECT_EQ(silo.GaugePort()->Mode(), want) << what;
  }
}

// TraceMaxKB: 1 to 1048576 KiB; anything else (absent, 0, too large, negative,
// no number) reads as 0, the default size.
TEST_F(ConfigFileTest, TraceMaxKbBounds) {
  const struct {
    const char* value;  // nullptr: no key
    uint32_t kb;
  } cases[] = {{nullptr, 0}, {"1", 1},   {"1048576", 1048576}, {"0", 0},
               {"1048577", 0}, {"-5", 0}, {"5x", 5},             {"abc", 0}};
  for (const auto& c : cases) {
    WriteConfigFile(std::string("[Lumo]\r\nTraceFile=x.log\r\n") +
                    (c.value ? std::string("TraceMaxKB=") + c.value + "\r\n" : ""));
    EXPECT_EQ(ReadTraceSettings().max_kb, c.kb) << (c.value ? c.value : "(no key)");
  }
}

TEST_F(ConfigFileTest, SaveWritesOnlyTheEntryAndKeepsEveryOtherLine) {
  const struct {
    const char* before;
    const char* after;
  } cases[] = {
      // Key replaced in place.
      {"[Host]\r\nA=1\r\n[Lumo]\r\nConnectionType=0\r\nB=2\r\n[Tail]\r\nC=3\r\n",
       "[Host]\r\nA=1\r\n[Lumo]\r\nConnectionType=1\r\nB=2\r\n[Tail]\r\nC=3\r\n"},
      // Key added to its section.
      {"[Lumo]\r\nB=2\r\n[Tail]\r\nC=3\r\n",
       "[Lumo]\r\nB=2\r\nConnectionType=1\r\n[Tail]\r\nC=3\r\n"},
      // Section added at the end.
      {"[Host]\r\nA=1\r\n", "[Host]\r\nA=1\r\n[Lumo]\r\nConnectionType=1\r\n"},
      // Comments and entries without a value stay. (Wine's writer also
      // re-spaces "key = value" lines and drops blank lines; Windows does not.)
      {"; host settings\r\n[Host]\r\nName=Tank 1\r\nFlag\r\n[Lumo]\r\nConnectionType=7\r\n",
       "; host settings\r\n[Host]\r\nName=Tank 1\r\nFlag\r\n[Lumo]\r\nConnectionType=1\r\n"},
  };
  for (const auto& c : cases) {
    WriteConfigFile(c.before);
    ScriptedUnit unit;
    TSilo silo(0, unit.unit());
    SaveConnectionType(silo, 1);
    EXPECT_EQ(ReadConfigFile(), c.after) << c.before;
    EXPECT_EQ(ReadConnectionType(), 1);
    EXPECT_EQ(silo.ConnectionType(), 1);
  }
}

TEST_F(ConfigFileTest, MissingFileIsNotCreatedAndTheDriverStillSwitches) {
  RemoveConfigFile();
  ScriptedUnit unit;
  TSilo silo(0, unit.unit());
  SaveConnectionType(silo, 2);
  EXPECT_EQ(GetFileAttributesA(lumo_test::ConfigFilePath().c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(silo.ConnectionType(), 2);
  EXPECT_EQ(LineSetupCalls(unit).size(), 2u);
}

TEST_F(ConfigFileTest, WriteFailureReachesTheCallerAndSwitchesNothing) {
  const std::string before = "[Lumo]\r\nConnectionType=0\r\n";
  WriteConfigFile(before);
  ScriptedUnit unit;
  TSilo silo(0, unit.unit());
  // The host holds the file open without sharing: the write must fail.
  HANDLE held = CreateFileA(lumo_test::ConfigFilePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_THROW(SaveConnectionType(silo, 1), lumo::Exception);
  CloseHandle(held);
  EXPECT_EQ(silo.ConnectionType(), 0);
  EXPECT_TRUE(unit.Calls().empty());
  EXPECT_EQ(ReadConfigFile(), before);
}

TEST_F(ConfigFileTest, SavingTheCurrentValueWritesTheFileAndChangesNothingElse) {
  Sim sim;
  WriteConfigFile("[Lumo]\r\nConnectionType=9\r\n");
  ScriptedUnit unit;
  TSilo silo(kCom3, unit.unit());
  TKorvoComPort* port = silo.GaugePort();
  ASSERT_NE(port, nullptr);
  // Another thread holds the driver lock: an equal value must not wait for it.
  HANDLE locked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE unlock = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    DriverLockGuard guard(silo);
    SetEvent(locked);
    WaitForSingleObject(unlock, 10000);
  });
  ASSERT_EQ(WaitForSingleObject(locked, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(FinishesWithin(3000ms, [&] { SaveConnectionType(silo, kCom3); }));
  SetEvent(unlock);
  holder.join();
  CloseHandle(locked);
  CloseHandle(unlock);

  EXPECT_EQ(ReadConfigFile(), "[Lumo]\r\nConnectionType=5\r\n");
  EXPECT_EQ(silo.GaugePort(), port);
  EXPECT_TRUE(unit.Calls().empty());
  EXPECT_EQ(sim.Stat("frames"), 0);
  EXPECT_EQ(silo.ReadState(), '0');
  EXPECT_EQ(silo.GetLinkState(), 1);
}

TEST(ConnectionSwitch, UnitTypesSetUpTheLineWithTheNewKey) {
  const struct {
    uint8_t from;
    int32_t to;
    uint8_t stored;
    uintptr_t key;  // 0: no line set-up
  } cases[] = {
      {0, 2, 2, 49},
      {2, 0, 0, 17},
      {kCom3, 1, 1, 33},  // serial to unit No. 2: the port goes, the line is set up
      {1, 257, 1, 33},    // the full value differs from the stored byte: a switch
      {1, 1, 1, 0},
  };
  for (const auto& c : cases) {
    ScriptedUnit unit;
    TSilo silo(c.from, unit.unit());
    SetConnectionType(silo, c.to);
    EXPECT_EQ(silo.ConnectionType(), c.stored) << int(c.from) << "->" << c.to;
    EXPECT_EQ(silo.GaugePort(), nullptr);
    const auto calls = LineSetupCalls(unit);
    if (c.key == 0) {
      EXPECT_TRUE(calls.empty());
      continue;
    }
    ASSERT_EQ(calls.size(), 2u) << int(c.from) << "->" << c.to;
    EXPECT_EQ(calls[0].slot, lumo::kUnitSetLineConfigHandler);
    EXPECT_EQ(calls[0].args.at(0), c.key);
    EXPECT_EQ(calls[1].slot, lumo::kUnitConfigureLine);
    EXPECT_EQ(calls[1].args.at(0), c.key);
    if (c.from >= 3) {
      // The driver let go of COM3.
      HANDLE h = OpenExclusive(3);
      EXPECT_NE(h, INVALID_HANDLE_VALUE);
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }
}

TEST(ConnectionSwitch, Com3ToCom4ReleasesCom3BeforeOpeningCom4) {
  Sim sim;
  BoxRecorder boxes;
  ComPortWatch watch;
  ASSERT_TRUE(watch.Patched());
  TSilo silo(kCom3, nullptr);
  EXPECT_DOUBLE_EQ(silo.QueryValue4(1), 1.0);
  SetConnectionType(silo, kCom4);
  EXPECT_EQ(watch.Events(), (std::vector<std::string>{"open COM3", "close COM3", "open COM4"}));
  EXPECT_TRUE(boxes.Boxes().empty());
  ASSERT_NE(silo.GaugePort(), nullptr);
  // COM4 is the same virtual line: the gauge answers there now.
  EXPECT_DOUBLE_EQ(silo.QueryValue4(2), 2.0);
  EXPECT_EQ(silo.GetLinkState(), 1);
  EXPECT_EQ(sim.Stat("frames"), 2);
}

TEST(ConnectionSwitch, UnopenablePortShowsItsBoxWithoutHoldingTheLock) {
  Sim sim;
  BoxRecorder boxes;
  ResetEvent(boxes.release);  // the box stays up until released below
  TSilo silo(kCom3, nullptr);
  std::thread user([&] { SetConnectionType(silo, kCom40); });
  ASSERT_EQ(WaitForSingleObject(boxes.shown, 10000), WAIT_OBJECT_0);

  // While the box is up another thread's request runs: no transport.
  bool raised = false;
  const bool finished = FinishesWithin(5000ms, [&] {
    try {
      silo.ReadState();
    } catch (const lumo::ESerialIO&) {
      raised = true;
    }
  });
  SetEvent(boxes.release);
  user.join();
  EXPECT_TRUE(finished) << "a request waited for the message box";
  EXPECT_TRUE(raised);
  EXPECT_EQ(silo.GetLinkState(), 2);
  EXPECT_EQ(silo.ConnectionType(), kCom40);
  EXPECT_EQ(silo.GaugePort(), nullptr);

  const auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, kPortBox);
  EXPECT_EQ(shown[0].caption, L"Ошибка");
  EXPECT_EQ(shown[0].flags, static_cast<unsigned>(MB_OK | MB_ICONERROR));

  // Later requests keep failing the same way until a switch succeeds.
  EXPECT_THROW(silo.QueryValue4(1), lumo::ESerialIO);
  EXPECT_EQ(silo.GetLinkState(), 2);
  SetConnectionType(silo, kCom3);
  EXPECT_DOUBLE_EQ(silo.QueryValue4(1), 1.0);
  EXPECT_EQ(silo.GetLinkState(), 1);
  EXPECT_EQ(boxes.Boxes().size(), 1u);
}

TEST(ConnectionSwitch, SwitchingUnderLoadLosesAndInterleavesNothing) {
  Sim sim;
  BoxRecorder boxes;
  TSilo silo(kCom3, nullptr);
  const int32_t sequence[] = {kCom4, kCom3, 1, kCom4, kCom40, kCom3, kCom4, 0, kCom3};
  constexpr int kRounds = 2;

  std::atomic<bool> stop{false};
  std::atomic<int> answered{0}, no_transport{0}, late{0}, wrong{0}, switches{0};
  auto host = [&](uint32_t channel) {
    while (!stop.load()) {
      try {
        const double v = silo.QueryValue4(static_cast<uint8_t>(channel));
        // On a loaded machine a reply can miss its 200-ms window: the request
        // then ends without a value (0), or takes the late reply of the request
        // before it (the other channel). Anything else is garbled. The link
        // state is shared with the other thread: it cannot tell which.
        if (v == channel)
          ++answered;
        else if (v == 3 - channel || v == 0.0)
          ++late;
        else
          ++wrong;
      } catch (const lumo::ESerialIO&) {
        ++no_transport;
      } catch (...) {
        ++wrong;
      }
      const uint8_t link = silo.GetLinkState();
      if (link < 1 || link > 3) ++wrong;
    }
  };
  auto switcher = [&] {
    for (int round = 0; round < kRounds; ++round) {
      for (int32_t type : sequence) {
        // Let some requests through between switches.
        const int seen = answered.load() + no_transport.load();
        for (int i = 0; i < 500 && answered.load() + no_transport.load() < seen + 2; ++i)
          std::this_thread::sleep_for(5ms);
        SetConnectionType(silo, type);
        ++switches;
      }
    }
  };
  auto a = std::async(std::launch::async, host, 1u);
  auto b = std::async(std::launch::async, host, 2u);
  auto s = std::async(std::launch::async, switcher);
  // A deadlock stops the switches; a loaded machine only slows them (the run
  // takes about 20 s on an idle one). A switch waits at most 2.5 s for traffic.
  bool switched = false;
  int seen_switches = -1;
  auto last_switch = std::chrono::steady_clock::now();
  while (!(switched = s.wait_for(100ms) == std::future_status::ready)) {
    const auto now = std::chrono::steady_clock::now();
    if (switches.load() != seen_switches) {
      seen_switches = switches.load();
      last_switch = now;
    } else if (now - last_switch > 15s * TimeScale()) {
      break;
    }
  }
  stop = true;
  const bool hosts_done = a.wait_for(10s * TimeScale()) == std::future_status::ready &&
                          b.wait_for(10s * TimeScale()) == std::future_status::ready;
  if (!switched || !hosts_done) {
    ADD_FAILURE() << "deadlock: switcher " << switched << ", hosts " << hosts_done;
    std::_Exit(1);  // threads are stuck on the driver lock
  }
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(answered.load(), 0);
  EXPECT_GT(no_transport.load(), 0);
  EXPECT_LE(late.load(), answered.load() / 10) << "replies missing their window";
  // Every request that reached the line was answered (a retry adds a frame);
  // nothing was garbled.
  EXPECT_GE(sim.Stat("frames"), answered.load());
  EXPECT_LE(sim.Stat("frames"), answered.load() + 3 * late.load() + 2 * answered.load() / 10);
  EXPECT_EQ(sim.Stat("malformed"), 0);
  EXPECT_EQ(sim.Stat("noise"), 0);
  EXPECT_EQ(boxes.Boxes().size(), static_cast<size_t>(kRounds));  // one per COM40
}
