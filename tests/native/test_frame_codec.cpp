// Frame encoding and reply checking, natively.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lumo.h"
#include "protocol/FrameCodec.h"
#include "protocol/TraceText.h"

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

// Trace fields: a line stays one line whatever the bytes, and a cut never
// splits an escape.
TEST(TraceText, EscapesAndCuts) {
  using lumo::protocol::EscapeBytes;
  const struct {
    std::string bytes;
    size_t capacity;
    const char* want;
  } cases[] = {
      {"@0104*\r", 64, "@0104*\\r"},
      {std::string("a\nb\"c\\d\0e", 9), 64, "a\\nb\\\"c\\\\d\\x00e"},
      {"\x7f\x80\xff ~", 64, "\\x7F\\x80\\xFF ~"},
      {"\r\r", 4, "\\r"},       // room for one escape and the terminator
      {"ab\x01", 6, "ab"},      // \x01 needs four characters, only three left
      {"", 1, ""},
  };
  for (const auto& c : cases) {
    char out[64];
    const size_t n = EscapeBytes(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), out,
                                 c.capacity);
    EXPECT_STREQ(out, c.want) << c.bytes;
    EXPECT_EQ(n, std::strlen(c.want));
  }
  char hex[6];
  const uint8_t payload[] = {0x01, 0x04, 0xAB};
  EXPECT_EQ(lumo::protocol::HexBytes(payload, 3, hex, sizeof hex), 4u);
  EXPECT_STREQ(hex, "0104");
}

TEST(TraceText, RequestNames) {
  using lumo::protocol::ClassifyRequest;
  const struct {
    std::vector<uint8_t> payload;
    const char* name;
    bool channel;
    uint8_t code;
  } cases[] = {
      {{0x11}, "config", false, 0x11},
      {{0x14}, "state", false, 0x14},
      {{3, 0x04, 0}, "value4", true, 4},
      {{3, 0x10, 0}, "scaled16", true, 0x10},
      {{3, 0x03, 1, 129}, "param-read", true, 3},
      {{3, 0x83, 3, 1, 0, 7}, "param-write", true, 0x83},
      {{3, 0x01, 0}, "program", true, 1},
      {{3, 0x55}, "code", true, 0x55},
      {{0x99}, "code", false, 0x99},
      {{}, "code", false, 0},
  };
  for (const auto& c : cases) {
    const auto kind = ClassifyRequest(c.payload.data(), c.payload.size());
    EXPECT_STREQ(kind.name, c.name);
    EXPECT_EQ(kind.has_channel, c.channel) << c.name;
    EXPECT_EQ(kind.code, c.code) << c.name;
  }
}
