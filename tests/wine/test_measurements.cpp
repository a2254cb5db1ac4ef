// Measurement and status slots, answered by a scripted communication unit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "LumoHost.h"
#include "ScriptedUnit.h"

using namespace lumo_test;

namespace {

// A level reply: bytes 0-2 (not examined), then the given field characters.
std::string LevelReply(const std::string& integer, const std::string& tenths,
                       const std::string& status) {
  return Frame("030403" + integer + tenths + status);
}

struct Fixture {
  ScriptedUnit unit;
  DriverHandle d{MakeDriver3(unit.unit(), 1, true)};
};

double Value4(const DriverHandle& d) { return lumo_test::Value4(d, 3); }
int32_t Rounded5(const DriverHandle& d) {
  return d.Call<lumo::QueryRoundedValue5Fn>(lumo::kSlotQueryRoundedValue5, 3u);
}
double Scaled8(const DriverHandle& d) { return d.Call<lumo::QueryScaledValue8Fn>(lumo::kSlotQueryScaledValue8, 3u); }
double Scaled16(const DriverHandle& d) {
  return d.Call<lumo::QueryScaledValue16Fn>(lumo::kSlotQueryScaledValue16, 3u);
}
// All four doubles; NaN where the destination was left unchanged.
std::vector<double> Signed6(const DriverHandle& d) {
  double four[4] = {NAN, NAN, NAN, NAN};
  d.Call<lumo::QuerySignedValue6Fn>(lumo::kSlotQuerySignedValue6, 3u, four);
  return {four[0], four[1], four[2], four[3]};
}

}  // namespace

TEST(Measurements, ValuesAndStatusTestsPerOperation) {
  struct Case {
    const char* what;
    std::string reply;
    int slot;
    double value;  // expected result (for slot 10: every double)
    uint8_t link;
  } cases[] = {
      {"250.5", LevelReply("00FA", "05", "00"), lumo::kSlotQueryValue4, 250.5, 1},
      {"value4 status 01", LevelReply("00FA", "05", "01"), lumo::kSlotQueryValue4, 0.0, 3},
      {"value4 status 16", LevelReply("00FA", "05", "10"), lumo::kSlotQueryValue4, 0.0, 3},
      {"rounded status 01", LevelReply("00FA", "05", "01"), lumo::kSlotQueryRoundedValue5, 0, 3},
      {"rounded status 16", LevelReply("00FA", "05", "10"), lumo::kSlotQueryRoundedValue5, 0, 3},
      {"scaled8 status 01", LevelReply("03E8", "00", "01"), lumo::kSlotQueryScaledValue8, 1.0, 1},
      {"scaled8 status 15", LevelReply("03E8", "00", "0F"), lumo::kSlotQueryScaledValue8, 1.0, 1},
      {"scaled8 status 16", LevelReply("03E8", "00", "10"), lumo::kSlotQueryScaledValue8, 0.0, 3},
      {"scaled8 65.5605", LevelReply("FFFF", "FF", "00"), lumo::kSlotQueryScaledValue8, 65.5605, 1},
      {"tenths 25 adds 2.5", LevelReply("0001", "19", "00"), lumo::kSlotQueryValue4, 3.5, 1},
      {"lower-case digits", LevelReply("00fa", "05", "00"), lumo::kSlotQueryValue4, 250.5, 1},
      // The wide reply: status at characters 15-16, not 13-14.
      {"scaled16 1000.0", Frame("031004" "0F4240" "00" "00"), lumo::kSlotQueryScaledValue16, 1000.0, 1},
      {"scaled16 status 01", Frame("031004" "0F4240" "00" "01"), lumo::kSlotQueryScaledValue16, 1000.0, 1},
      {"scaled16 status 16", Frame("031004" "0F4240" "00" "10"), lumo::kSlotQueryScaledValue16, 0.0, 3},
      {"scaled16 tenths 16", Frame("031004" "0F4240" "10" "00"), lumo::kSlotQueryScaledValue16, 1000.0016, 1},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.unit.QueueReply(c.reply);
    double got = 0;
    switch (c.slot) {
      case lumo::kSlotQueryValue4: got = Value4(f.d); break;
      case lumo::kSlotQueryRoundedValue5: got = Rounded5(f.d); break;
      case lumo::kSlotQueryScaledValue8: got = Scaled8(f.d); break;
      case lumo::kSlotQueryScaledValue16: got = Scaled16(f.d); break;
    }
    EXPECT_DOUBLE_EQ(got, c.value) << c.what;
    EXPECT_EQ(f.d.LinkState(), c.link) << c.what;
  }
}

TEST(Measurements, RoundedValueTiesToEven) {
  struct Case {
    const char* integer;
    const char* tenths;
    int32_t rounded;
  } cases[] = {
      {"000C", "05", 12}, {"000D", "05", 14}, {"0002", "0F", 4},  // 2 + 1.5
      {"0007", "06", 8},  {"0007", "04", 7},  {"0000", "05", 0},  {"0000", "19", 2},  // 2.5
  };
  for (const auto& c : cases) {
    Fixture f;
    f.unit.QueueReply(LevelReply(c.integer, c.tenths, "00"));
    EXPECT_EQ(Rounded5(f.d), c.rounded) << c.integer << " " << c.tenths;
  }
}

TEST(Measurements, SignedValueSignAndMagnitude) {
  struct Case {
    const char* integer;
    const char* tenths;
    const char* status;
    double value;
    bool negative_zero;
  } cases[] = {
      {"8005", "03", "00", -5.3, false},
      {"0105", "00", "00", 5.0, false},  // character 8 is not read
      {"1000", "00", "00", 0.0, true},   // negative zero
      {"0000", "FF", "00", 25.5, false},
      {"a0FF", "00", "0F", -255.0, false},  // any marker above '0', status below 16
  };
  for (const auto& c : cases) {
    Fixture f;
    f.unit.QueueReply(LevelReply(c.integer, c.tenths, c.status));
    const auto four = Signed6(f.d);
    for (double v : four) {
      EXPECT_DOUBLE_EQ(v, c.value) << c.integer;
      EXPECT_EQ(std::signbit(v), c.value < 0 || c.negative_zero) << c.integer;
    }
    EXPECT_EQ(f.d.LinkState(), 1);
  }
  Fixture f;
  f.unit.QueueReply(LevelReply("8005", "03", "10"));  // rejected: destination untouched
  for (double v : Signed6(f.d)) EXPECT_TRUE(std::isnan(v));
  EXPECT_EQ(f.d.LinkState(), 3);
}

TEST(Measurements, ConfigAndState) {
  Fixture f;
  f.unit.QueueReply(Frame("0123456789ABCDEF"));
  unsigned char block[20];
  std::memset(block, 0xEE, sizeof block);
  f.d.Call<lumo::ReadConfigFn>(lumo::kSlotReadConfig, block);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), "@0123456789ABCDE");
  EXPECT_EQ(block[16], 0xEE);
  for (const auto& [reply, code] : {std::pair{Frame("0F"), 48}, {Frame("A0"), 65}}) {
    f.unit.QueueReply(reply);
    EXPECT_EQ(f.d.Call<lumo::ReadStateFn>(lumo::kSlotReadState), code);
  }
}

TEST(Measurements, SilenceGivesLinkStateTwoAndNoValue) {
  Fixture f;
  unsigned char block[16];
  std::memset(block, 0xEE, sizeof block);
  f.d.Call<lumo::ReadConfigFn>(lumo::kSlotReadConfig, block);
  EXPECT_EQ(block[0], 0xEE);
  EXPECT_EQ(f.d.LinkState(), 2);
  EXPECT_EQ(f.d.Call<lumo::ReadStateFn>(lumo::kSlotReadState), 0);
  EXPECT_EQ(Value4(f.d), 0.0);
  EXPECT_EQ(Rounded5(f.d), 0);
  EXPECT_EQ(Scaled8(f.d), 0.0);
  EXPECT_EQ(Scaled16(f.d), 0.0);
  for (double v : Signed6(f.d)) EXPECT_TRUE(std::isnan(v));
  EXPECT_EQ(f.d.LinkState(), 2);
}

TEST(Measurements, ValidButShortRepliesAreBadReplies) {
  struct Case {
    const char* what;
    std::string reply;
    int slot;
  } cases[] = {
      {"level reply without status", Frame("03040300FA05"), lumo::kSlotQueryValue4},
      {"smallest frame", Frame(""), lumo::kSlotQueryRoundedValue5},
      {"wide reply with a short status", Frame("031004" "0F4240" "00"), lumo::kSlotQueryScaledValue16},
      {"config block under 16 characters", Frame("0123"), lumo::kSlotReadConfig},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.unit.QueueReply(c.reply);
    unsigned char block[16];
    std::memset(block, 0xEE, sizeof block);
    switch (c.slot) {
      case lumo::kSlotQueryValue4: EXPECT_EQ(Value4(f.d), 0.0); break;
      case lumo::kSlotQueryRoundedValue5: EXPECT_EQ(Rounded5(f.d), 0); break;
      case lumo::kSlotQueryScaledValue16: EXPECT_EQ(Scaled16(f.d), 0.0); break;
      case lumo::kSlotReadConfig:
        f.d.Call<lumo::ReadConfigFn>(lumo::kSlotReadConfig, block);
        EXPECT_EQ(block[0], 0xEE);
        break;
    }
    EXPECT_EQ(f.d.LinkState(), 3) << c.what;
  }
}

TEST(Measurements, NonHexFieldsRaiseTheConversionError) {
  const std::string replies[] = {
      LevelReply("*0FA", "05", "00"), LevelReply("00FA", " 5", "00"), LevelReply("00FA", "05", "0*"),
  };
  for (const auto& reply : replies) {
    Fixture f;
    f.unit.QueueReply(reply);
    EXPECT_THROW(Value4(f.d), lumo::EConvertError) << reply;
    EXPECT_EQ(f.d.LinkState(), 1);
    f.unit.QueueReply(reply);
    double four[4] = {NAN, NAN, NAN, NAN};
    if (reply[7] != '*') {  // the sign marker is compared, not converted
      EXPECT_THROW(f.d.Call<lumo::QuerySignedValue6Fn>(lumo::kSlotQuerySignedValue6, 3u, four),
                   lumo::EConvertError);
    }
    EXPECT_TRUE(std::isnan(four[0]));
  }
}

TEST(Measurements, FailedExchangeRaisesTheRequestError) {
  struct Case {
    int slot;
    const char* message;
  } cases[] = {
      {lumo::kSlotReadConfig, "Ошибка запроса конфигурации"},
      {lumo::kSlotReadState, "Ошибка запроса состояния"},
      {lumo::kSlotQueryValue4, "Ошибка запроса уровня"},
      {lumo::kSlotQuerySignedValue6, "Ошибка запроса уровня"},
      {lumo::kSlotQueryRoundedValue5, "Ошибка запроса уровня"},
      {lumo::kSlotQueryScaledValue8, "Ошибка запроса уровня"},
      {lumo::kSlotQueryScaledValue16, "Ошибка запроса уровня"},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.unit.exchange_result = 5;  // the unit reports an error
    unsigned char block[16];
    double four[4];
    try {
      switch (c.slot) {
        case lumo::kSlotReadConfig: f.d.Call<lumo::ReadConfigFn>(c.slot, block); break;
        case lumo::kSlotReadState: f.d.Call<lumo::ReadStateFn>(c.slot); break;
        case lumo::kSlotQuerySignedValue6: f.d.Call<lumo::QuerySignedValue6Fn>(c.slot, 1u, four); break;
        case lumo::kSlotQueryRoundedValue5: f.d.Call<lumo::QueryRoundedValue5Fn>(c.slot, 1u); break;
        default: f.d.Call<lumo::QueryValue4Fn>(c.slot, 1u); break;
      }
      ADD_FAILURE() << "slot " << c.slot << " raised nothing";
    } catch (const lumo::ESerialIO& e) {
      EXPECT_EQ(std::string(e.what()), Cp1251(c.message)) << c.slot;
    }
  }
}
