// Frame encoding and reply checking, natively.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumo.h"
#include "protocol/FrameCodec.h"

using namespace lumo::protocol;

namespace {
std::string Encode(const std::vector<uint8_t>& payload) {
  char out[kFrameBufferSize];
  const size_t n = EncodeFrame(payload.data(), payload.size(), out);
  return std::string(out, n);
}
uint32_t Check(const std::string& reply) {
  return CheckReplyFrame(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
}
}  // namespace

TEST(EncodeFrame, Examples) {
  EXPECT_EQ(Encode({0x11}), std::string("@1140*\r"));
  EXPECT_EQ(Encode({0x03, 0x04, 0x00}), std::string("@03040047*\r"));
  EXPECT_EQ(Encode({0x1F, 0x05, 0x00}), std::string("@1F050032*\r"));
  EXPECT_EQ(Encode({}), std::string("@40*\r"));
  EXPECT_EQ(Encode({0x00, 0x83, 0x03, 0x01, 0x0A, 0x8C}), std::string("@008303010A8C43*\r"));
  const std::vector<uint8_t> largest(kMaxPayload, 0xAB);
  EXPECT_EQ(Encode(largest).size(), 255u);
}

TEST(CheckReplyFrame, CodesNeverReadOutsideTheReply) {
  struct Case {
    std::string reply;
    uint32_t code;
  } cases[] = {
      {"@40*\r", 0},      {"@3043*\r", 0},  {"@9D3D*\r", 0}, {"@9D3d*\r", 0},
      {"", 223},          {"@", 209},       {"x", 223},      {"@*", 209},
      {"@*\r", 222},      {"@3*\r", 222},   {"@3043*", 209}, {"#3043*\r", 223},
      {"@3044*\r", 222},  {"@30*\n", 209},
  };
  for (const auto& c : cases) {
    // Copy into an exactly sized heap buffer so that the sanitizer sees any overread.
    std::vector<uint8_t> exact(c.reply.begin(), c.reply.end());
    EXPECT_EQ(CheckReplyFrame(exact.data(), exact.size()), c.code) << c.reply;
  }
  EXPECT_THROW(Check("@30G3*\r"), lumo::EConvertError);
}

TEST(ParseHexField, DigitsCaseAndLimits) {
  auto parse = [](const std::string& s) {
    return ParseHexField(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  EXPECT_EQ(parse("0A8C"), 2700u);
  EXPECT_EQ(parse("ff"), 255u);
  EXPECT_EQ(parse("FFFFFFFFFFFFFFFF"), ~0ull);
  EXPECT_EQ(parse("00000000000000000001"), 1u);  // leading zeros beyond 16 digits fit
  EXPECT_THROW(parse(""), lumo::EConvertError);
  EXPECT_THROW(parse("1FFFFFFFFFFFFFFFF"), lumo::EConvertError);
  EXPECT_THROW(parse("0*"), lumo::EConvertError);
  EXPECT_THROW(parse(" 1"), lumo::EConvertError);
  // The run-time's message: the field quoted, other than printable ASCII as #$hex.
  const struct {
    std::string field, message;
  } messages[] = {
      {"0*", "'0*' is not a valid integer value"},
      {"", "'' is not a valid integer value"},
      {std::string("1\x01\x7F\xFF", 4), "'1#$01#$7F#$FF' is not a valid integer value"},
  };
  for (const auto& m : messages) {
    try {
      parse(m.field);
      ADD_FAILURE() << "no error for " << m.message;
    } catch (const lumo::EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), m.message);
    }
  }
}
