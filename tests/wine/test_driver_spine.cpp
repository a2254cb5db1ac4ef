// The driver object as a host sees it: exports, slots, the communication unit
// and the request exchange.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "LumoHost.h"
#include "ScriptedUnit.h"

using namespace lumo_test;

namespace {

int32_t ReadState(const DriverHandle& d) { return d.Call<lumo::ReadStateFn>(lumo::kSlotReadState); }

// The line key the driver used for SetLineConfigHandler after SetupLink.
uint32_t LineKeyAfterSetupLink(ScriptedUnit& unit, const DriverHandle& d) {
  unit.ClearCalls();
  d.Call<lumo::SetupLinkFn>(lumo::kSlotSetupLink, 0x1234u);
  const auto calls = unit.Calls();
  EXPECT_EQ(calls.size(), 2u);
  return calls.empty() ? 0 : static_cast<uint32_t>(calls[0].args[0]);
}

}  // namespace

TEST(Exports, FactoriesByNameAndOrdinal) {
  HMODULE m = LumoHost::Get().module();
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(m, MAKEINTRESOURCEA(1))),
            reinterpret_cast<void*>(GetProcAddress(m, "GetSiloEx3")));
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(m, MAKEINTRESOURCEA(2))),
            reinterpret_cast<void*>(GetProcAddress(m, "GetSiloEx")));
  EXPECT_EQ(GetProcAddress(m, MAKEINTRESOURCEA(3)), nullptr);
}

TEST(Factories, GetSiloEx3ConnectionTypeSeenThroughTheLineKey) {
  struct Case {
    uint32_t number;
    bool unit_number;
    uint32_t key;
  } cases[] = {
      {1, true, 17}, {2, true, 33}, {3, true, 49},
      {0x101, true, 17},  // only the low byte of the number counts
  };
  for (const auto& c : cases) {
    ScriptedUnit unit;
    DriverHandle d = MakeDriver3(unit.unit(), c.number, c.unit_number);
    EXPECT_EQ(LineKeyAfterSetupLink(unit, d), c.key) << c.number;
  }
  ScriptedUnit unit;
  DriverHandle d = MakeDriver3(unit.unit(), 1, true);
  EXPECT_EQ(d.LinkState(), 1) << "link state starts at 1";
}

TEST(Factories, MissingPortRaisesAndReturnsNothing) {
  const struct {
    uint32_t number, flag;
    const char* text;
  } cases[] = {{99, 0, "Невозможно открыть COM99"},
               {200, 0x100, "Невозможно открыть COM200"}};  // the flag's low byte 0: a port
  for (const auto& c : cases) {
    try {
      lumo::Driver* d = LumoHost::Get().get_silo_ex3()(nullptr, c.number, c.flag);
      lumo::Release(d);
      ADD_FAILURE() << "factory returned a driver for missing COM" << c.number;
    } catch (const lumo::EOpenPortFail& e) {
      EXPECT_EQ(std::string(e.what()), Cp1251(c.text));
    }
  }
}

TEST(Factories, GetSiloExReadsCnfIni) {
  struct Case {
    const char* contents;  // nullptr: no file
    uint32_t key;
  } cases[] = {
      {nullptr, 17},
      {"[Lumo]\r\nConnectionType=258\r\n", 49},  // 258 -> type 2
      {"[Lumo]\r\nConnectionType=1\r\n", 33},
      {"[Lumo]\r\nConnectionType=abc\r\n", 17},
      {"[Other]\r\nConnectionType=2\r\n", 17},
  };
  for (const auto& c : cases) {
    if (c.contents)
      WriteConfigFile(c.contents);
    else
      RemoveConfigFile();
    ScriptedUnit unit;
    DriverHandle d = MakeDriver(unit.unit());
    EXPECT_EQ(LineKeyAfterSetupLink(unit, d), c.key) << (c.contents ? c.contents : "no file");
  }
  // 259 is type 3: COM1, where the simulated gauge answers.
  WriteConfigFile("[Lumo]\r\nConnectionType=259\r\n");
  {
    ScriptedUnit unit;
    DriverHandle d = MakeDriver(unit.unit());
    EXPECT_NE(ReadState(d), 0);
    EXPECT_EQ(d.LinkState(), 1);
    EXPECT_TRUE(unit.Calls().empty()) << "the gauge port carries the request, not the unit";
  }
  RemoveConfigFile();
}

TEST(TrivialSlots, NameLinkStateZeroPairReserved) {
  DriverHandle d = MakeDriver3(nullptr, 1, true);
  unsigned char buffer[40];
  std::memset(buffer, 0xEE, sizeof buffer);
  lumo::SlotAs<lumo::GetDriverNameFn>(d.get(), lumo::kSlotGetDriverName)(buffer, d.get());
  EXPECT_EQ(buffer[0], 32);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 1), 32),
            Cp1251("v3.00#Протокол к уровнемеру ЛУМО"));
  for (int i = 33; i < 40; ++i) EXPECT_EQ(buffer[i], 0xEE) << "byte " << i << " written";

  EXPECT_EQ(d.LinkState(), 1);
  d.SetLinkState(7);
  EXPECT_EQ(d.LinkState(), 7);
  d.SetLinkState(0x1FF);  // low byte only
  EXPECT_EQ(d.LinkState(), 0xFF);

  uint16_t pair[4] = {0xAAAA, 0xBBBB, 0xCCCC, 0xDDDD};
  d.Call<lumo::GetZeroPairFn>(lumo::kSlotGetZeroPair, 0x55u, pair);
  EXPECT_EQ(pair[0], 0);
  EXPECT_EQ(pair[1], 0);
  EXPECT_EQ(pair[2], 0xCCCC);
  EXPECT_EQ(pair[3], 0xDDDD);

  d.Call<lumo::Reserved6Fn>(lumo::kSlotReserved6);
  EXPECT_EQ(d.LinkState(), 0xFF);
}

TEST(TrivialSlots, AbstractSlotsRaiseTheLibrarysOwnException) {
  DriverHandle d = MakeDriver3(nullptr, 1, true);
  for (int slot : {lumo::kSlotAbstract0, lumo::kSlotAbstract1}) {
    EXPECT_THROW(d.Call<lumo::AbstractFn>(slot), lumo::EAbstractError) << slot;
    try {
      d.Call<lumo::AbstractFn>(slot);
    } catch (const std::exception&) {  // derives from std::exception
      continue;
    }
    ADD_FAILURE() << "no exception";
  }
}

TEST(UnitExchange, OneRequestCallsTheUnitInOrderWithItsArguments) {
  for (uint32_t unit_number : {1u, 2u, 3u}) {
    ScriptedUnit unit;
    DriverHandle d = MakeDriver3(unit.unit(), unit_number, true);
    const uint32_t type = unit_number - 1;
    unit.QueueReply(Frame("0A"));
    EXPECT_EQ(ReadState(d), '0');
    const auto calls = unit.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].slot, lumo::kUnitSetReplyValidator);
    EXPECT_EQ(calls[0].args[0], type);
    EXPECT_EQ(calls[0].args[1], 17u);
    EXPECT_NE(calls[0].args[2], 0u);
    EXPECT_EQ(calls[0].args[3], reinterpret_cast<uintptr_t>(d.get())) << "bound to the driver";
    EXPECT_EQ(calls[1].slot, lumo::kUnitLineExchange);
    EXPECT_EQ(calls[1].args[0], type);
    EXPECT_EQ(calls[1].args[1], 17u);
    EXPECT_EQ(calls[1].args[2], 17u);
    EXPECT_EQ(calls[1].frame, std::string("@1445*\r"));
    EXPECT_EQ(calls[1].args[4], 7u);
    EXPECT_EQ(calls[1].args[6], 2u) << "expected reply length";
    EXPECT_EQ(calls[1].args[7], 0u);
    EXPECT_EQ(calls[2].slot, lumo::kUnitReportReplyCheck);
    EXPECT_EQ(calls[2].args[0], type);
    EXPECT_EQ(calls[2].args[1], 0u);
    EXPECT_EQ(calls[3].slot, lumo::kUnitGetLineState);
    EXPECT_EQ(calls[3].args[0], 16 * type + 17);
    EXPECT_EQ(d.LinkState(), 1);
  }
}

TEST(UnitExchange, SetupLinkRegistersTheHandlerAndConfiguresTheLine) {
  ScriptedUnit unit;
  DriverHandle d = MakeDriver3(unit.unit(), 2, true);
  d.Call<lumo::SetupLinkFn>(lumo::kSlotSetupLink, 5u);
  auto calls = unit.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].slot, lumo::kUnitSetLineConfigHandler);
  EXPECT_EQ(calls[0].args[0], 33u);
  EXPECT_EQ(calls[0].args[2], reinterpret_cast<uintptr_t>(d.get()));
  EXPECT_EQ(calls[1].slot, lumo::kUnitConfigureLine);
  EXPECT_EQ(calls[1].args, (std::vector<uintptr_t>{33, 3, 9600, 200, 20, 1}));
  // The unit may call the handler back.
  unit.ClearCalls();
  unit.line_config_handler(unit.line_config_bound, 0);
  calls = unit.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].slot, lumo::kUnitConfigureLine);
  // Without a unit SetupLink does nothing: no call through a missing unit,
  // none to another driver's, the link state as it was.
  unit.ClearCalls();
  DriverHandle alone = MakeDriver3(nullptr, 2, true);
  alone.SetLinkState(7);
  alone.Call<lumo::SetupLinkFn>(lumo::kSlotSetupLink, 0u);
  EXPECT_EQ(alone.LinkState(), 7);
  EXPECT_TRUE(unit.Calls().empty());
}

TEST(UnitExchange, RequestFramesByteForByte) {
  ScriptedUnit unit;
  DriverHandle d = MakeDriver3(unit.unit(), 1, true);
  d.Call<lumo::QueryValue4Fn>(lumo::kSlotQueryValue4, 3u);
  d.Call<lumo::QueryRoundedValue5Fn>(lumo::kSlotQueryRoundedValue5, 0x1Fu);
  unsigned char block[16];
  d.Call<lumo::ReadConfigFn>(lumo::kSlotReadConfig, block);
  d.Call<lumo::QueryValue4Fn>(lumo::kSlotQueryValue4, 0x203u);  // low byte of the channel word
  const auto frames = unit.Frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0], "@03040047*\r");
  EXPECT_EQ(frames[1], "@1F050032*\r");
  EXPECT_EQ(frames[2], "@1140*\r");
  EXPECT_EQ(frames[3], "@03040047*\r");
}

TEST(UnitExchange, ValidatorCodesAndLinkStates) {
  const std::string good = Frame("30");  // "@30" check 0x43
  std::string lower = Frame("9D");       // check digits 3D, the letter in lower case
  lower[lower.size() - 3] = static_cast<char>(tolower(lower[lower.size() - 3]));
  lower[lower.size() - 4] = static_cast<char>(tolower(lower[lower.size() - 4]));
  struct Case {
    std::string reply;
    uint32_t code;
    uint8_t link;
  } cases[] = {
      {good, 0, 1},
      {lower, 0, 1},
      {"@3043*", 209, 3},          // '*' without the carriage return
      {"@3043\r\r", 209, 3},       //
      {"#3043*\r", 223, 3},        // wrong start, even though the end is right
      {"x3000", 223, 3},           // wrong start and wrong end: start wins
      {"@3044*\r", 222, 3},        // wrong check
      {"@", 209, 3},               // one character
      {"@*\r", 222, 3},            // no check digits
      {"@3*\r", 222, 3},           //
      {Frame(""), 0, 1},           // the smallest valid reply, @40*CR
  };
  for (const auto& c : cases) {
    ScriptedUnit unit;
    DriverHandle d = MakeDriver3(unit.unit(), 1, true);
    unit.QueueReply(c.reply);
    ReadState(d);
    EXPECT_EQ(unit.ReportedCodes(), std::vector<uint32_t>{c.code}) << c.reply;
    EXPECT_EQ(d.LinkState(), c.link) << c.reply;
  }
}

TEST(UnitExchange, NoTransportMeansLinkStateTwoAndARequestError) {
  DriverHandle d = MakeDriver3(nullptr, 2, true);  // unit No. 2, but none attached
  try {
    ReadState(d);
    FAIL() << "no exception";
  } catch (const lumo::ESerialIO& e) {
    EXPECT_EQ(std::string(e.what()), Cp1251("Ошибка запроса состояния"));
  }
  EXPECT_EQ(d.LinkState(), 2);
}

TEST(UnitExchange, UnitExceptionLeavesLockFreeAndLinkStateUnchanged) {
  ScriptedUnit unit;
  DriverHandle d = MakeDriver3(unit.unit(), 1, true);
  d.SetLinkState(3);
  unit.throw_in_exchange = true;
  EXPECT_THROW(ReadState(d), lumo::ESerialIO);
  EXPECT_EQ(d.LinkState(), 3);
  // Non-hexadecimal check digits end the exchange the same way.
  unit.throw_in_exchange = false;
  unit.QueueReply("@30G3*\r");
  EXPECT_THROW(ReadState(d), lumo::ESerialIO);
  EXPECT_EQ(d.LinkState(), 3);
  // The lock is free: another thread's request goes through.
  unit.QueueReply(Frame("41"));
  int32_t state = 0;
  std::thread other([&] { state = ReadState(d); });
  other.join();
  EXPECT_EQ(state, '4');
  EXPECT_EQ(d.LinkState(), 1);
}

TEST(UnitExchange, ConcurrentHostThreadsNeverInterleave) {
  ScriptedUnit unit;
  DriverHandle d = MakeDriver3(unit.unit(), 1, true);
  unit.during_exchange = [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); };
  constexpr int kPerThread = 100;
  auto work = [&](uint32_t channel) {
    for (int i = 0; i < kPerThread; ++i) d.Call<lumo::QueryValue4Fn>(lumo::kSlotQueryValue4, channel);
  };
  std::thread a(work, 1u), b(work, 2u);
  a.join();
  b.join();
  EXPECT_EQ(unit.max_concurrent_exchanges(), 1);
  const auto calls = unit.Calls();
  ASSERT_EQ(calls.size(), 2u * kPerThread * 3);
  // Each request's three calls stay together.
  for (size_t i = 0; i < calls.size(); i += 3) {
    EXPECT_EQ(calls[i].slot, lumo::kUnitSetReplyValidator);
    EXPECT_EQ(calls[i + 1].slot, lumo::kUnitLineExchange);
    EXPECT_EQ(calls[i + 2].slot, lumo::kUnitGetLineState);
  }
}

TEST(Exceptions, ConversionErrorIsNotAnESerialIO) {
  ScriptedUnit unit;
  DriverHandle d = MakeDriver3(unit.unit(), 1, true);
  unit.QueueReply(Frame("000000*00005" "00"));  // '*' in the integer field
  bool serial = false, conversion = false;
  try {
    d.Call<lumo::QueryValue4Fn>(lumo::kSlotQueryValue4, 0u);
  } catch (const lumo::ESerialIO&) {
    serial = true;
  } catch (const lumo::EConvertError&) {
    conversion = true;
  }
  EXPECT_FALSE(serial);
  EXPECT_TRUE(conversion);
  EXPECT_EQ(d.LinkState(), 1);
}
