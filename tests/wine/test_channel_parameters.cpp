// Channel parameter requests of the driver object (used by the tuning dialog),
// answered by a scripted communication unit.
#include <gtest/gtest.h>

#include "LumoHost.h"
#include "ScriptedUnit.h"
#include "driver/Silo.h"

using namespace lumo_test;

namespace {

struct Fixture {
  ScriptedUnit unit;
  TSilo silo{0, unit.unit()};
};

// A parameter read reply: bytes 0-1, count n, byte 3, then the value characters.
std::string ParameterReply(const std::string& count, const std::string& value) {
  return Frame("0503" + count + "81" + value);
}

}  // namespace

TEST(ChannelParameters, WriteFramesAndWidths) {
  struct Case {
    uint8_t channel;
    uint8_t parameter;
    int64_t value;
    std::vector<uint8_t> payload;
  } cases[] = {
      {0, 1, 2700, {0x00, 0x83, 0x03, 0x01, 0x0A, 0x8C}},
      {5, 129, 0x0123456789ABCDEFll,
       {0x05, 0x83, 0x09, 0x81, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}},
      {5, 129, -1, {0x05, 0x83, 0x09, 0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {0, 1, 70000, {0x00, 0x83, 0x03, 0x01, 0x11, 0x70}},  // only the low 16 bits
      {0, 128, 1, {0x00, 0x83, 0x03, 0x80, 0x00, 0x01}},
      {0, 144, 1, {0x00, 0x83, 0x03, 0x90, 0x00, 0x01}},
      {0, 143, 1, {0x00, 0x83, 0x09, 0x8F, 0, 0, 0, 0, 0, 0, 0, 1}},
      {0, 200, 0x1234, {0x00, 0x83, 0x03, 0xC8, 0x12, 0x34}},
      {255, 11, 3, {0xFF, 0x83, 0x03, 0x0B, 0x00, 0x03}},  // no range test
  };
  for (const auto& c : cases) {
    Fixture f;
    f.silo.WriteChannelParameter(c.channel, c.parameter, c.value);
    const auto calls = f.unit.Calls();
    ASSERT_EQ(f.unit.Frames().size(), 1u);
    EXPECT_EQ(f.unit.Frames()[0], RequestFrame(c.payload)) << int(c.parameter);
    EXPECT_EQ(calls[1].args[6], 23u) << "expected reply length";
    EXPECT_EQ(f.silo.GetLinkState(), 2) << "no reply: shown in the link state only";
  }
  Fixture f;
  f.silo.WriteChannelParameter(0, 1, 2700);
  EXPECT_EQ(f.unit.Frames()[0], "@008303010A8C43*\r");
}

TEST(ChannelParameters, ReadValuesAndCounts) {
  struct Case {
    std::string count;
    std::string value;
    int64_t expected;
  } cases[] = {
      {"03", "0A8C", 2700},
      {"02", "7F", 127},
      {"09", "FFFFFFFFFFFFFFFF", -1},
      {"09", "8000000000000001", static_cast<int64_t>(0x8000000000000001ull)},
      {"09", "0123456789abcdef", 0x0123456789ABCDEFll},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.unit.QueueReply(ParameterReply(c.count, c.value));
    EXPECT_EQ(f.silo.ReadChannelParameter(5, 129), c.expected) << c.count << c.value;
    EXPECT_EQ(f.unit.Frames()[0], RequestFrame({5, 3, 1, 129}));
  }
}

TEST(ChannelParameters, ReadConversionErrors) {
  const std::string replies[] = {
      ParameterReply("00", "0A8C"),
      ParameterReply("01", "0A8C"),
      ParameterReply("0B", "0A8C"),  // count designates characters the reply does not hold
      ParameterReply("FF", "0A8C"),
      ParameterReply("03", "0A*C"),
      ParameterReply("0*", "0A8C"),
      ParameterReply("0A", "01FFFFFFFFFFFFFFFF"),  // 72 bits
  };
  for (const auto& reply : replies) {
    Fixture f;
    f.unit.QueueReply(reply);
    EXPECT_THROW(f.silo.ReadChannelParameter(0, 1), lumo::EConvertError) << reply;
    EXPECT_EQ(f.silo.GetLinkState(), 1);
  }
}

TEST(ChannelParameters, NoReplyAndFailedExchanges) {
  Fixture f;
  EXPECT_EQ(f.silo.ReadChannelParameter(0, 1), 0);
  EXPECT_EQ(f.silo.GetLinkState(), 2);
  std::string code = "previous";
  f.silo.ReadProgramCode(0, code);
  EXPECT_EQ(code, "previous");

  f.unit.exchange_result = 1;
  struct Case {
    std::function<void()> call;
    const char* message;
  } cases[] = {
      {[&] { f.silo.ReadChannelParameter(0, 1); }, "Ошибка запроса параметра"},
      {[&] { f.silo.WriteChannelParameter(0, 1, 5); }, "Ошибка запроса параметра"},
      {[&] { f.silo.ReadProgramCode(0, code); }, "Ошибка запроса уровня"},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no exception";
    } catch (const lumo::ESerialIO& e) {
      EXPECT_EQ(std::string(e.what()), Cp1251(c.message));
    }
  }
}

TEST(ChannelParameters, ProgramCode) {
  Fixture f;
  f.unit.QueueReply(Frame("020104" "0102A0FF" "00"));
  std::string code;
  f.silo.ReadProgramCode(2, code);
  EXPECT_EQ(code, "0102A0FF");
  EXPECT_EQ(f.unit.Frames()[0], RequestFrame({2, 1, 0}));
  // Valid but too short to hold the code: a bad reply, the text kept.
  f.unit.QueueReply(Frame("020104" "0102"));
  f.silo.ReadProgramCode(2, code);
  EXPECT_EQ(code, "0102A0FF");
  EXPECT_EQ(f.silo.GetLinkState(), 3);
}
