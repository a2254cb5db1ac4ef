// Learning whether a gauge repeats the request in its replies' header.
#include <gtest/gtest.h>

#include <cstdio>

#include <string>
#include <vector>

#include "protocol/FrameCodec.h"
#include "protocol/ReplyHeaderConvention.h"

using lumo::protocol::ReplyHeaderConvention;

namespace {

std::string Request(int channel, int code) {
  const std::vector<uint8_t> payload = {static_cast<uint8_t>(channel), static_cast<uint8_t>(code), 0};
  char out[lumo::protocol::kFrameBufferSize];
  return std::string(out, lumo::protocol::EncodeFrame(payload.data(), payload.size(), out));
}

// What the gauge puts in reply bytes 0 and 1 for a request.
enum class Header { kRepeat, kConstant, kHighBit, kLowerRepeat, kOther };

std::string Reply(Header header, int channel, int code) {
  char head[8];
  switch (header) {
    case Header::kRepeat: std::snprintf(head, sizeof head, "%02X%02X", channel, code); break;
    case Header::kLowerRepeat: std::snprintf(head, sizeof head, "%02x%02x", channel, code); break;
    case Header::kConstant: std::snprintf(head, sizeof head, "0004"); break;
    case Header::kHighBit: std::snprintf(head, sizeof head, "%02X%02X", channel, code | 0x80); break;
    case Header::kOther: std::snprintf(head, sizeof head, "%02X%02X", channel ^ 1, code); break;
  }
  return std::string("@") + head + "0400FA0500XX*\r";  // the check is not looked at here
}

// One attempt: true when its reply is taken.
bool Attempt(ReplyHeaderConvention& c, Header header, int channel, int code, int judged = 1) {
  const std::string request = Request(channel, code);
  const std::string reply = Reply(header, channel, code);
  c.BeginAttempt();
  bool taken = false;
  for (int i = 0; i < judged; ++i)
    taken = c.Take(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), request.data(),
                   request.size());
  return taken;
}

constexpr int kCodes[] = {1, 3, 4, 5, 6, 8, 16, 0x83};

}  // namespace

// A gauge that does not repeat the request loses no reply, from the first on.
TEST(ReplyHeaderConvention, GaugesThatDoNotRepeatLoseNothing) {
  for (Header header : {Header::kConstant, Header::kHighBit, Header::kOther}) {
    ReplyHeaderConvention c;
    for (int i = 0; i < 500; ++i) {
      // Channel 0 code 4 matches the constant header now and then.
      const int channel = i % 3 == 0 ? 0 : i % 5;
      const int code = i % 3 == 0 ? 4 : kCodes[i % 8];
      ASSERT_TRUE(Attempt(c, header, channel, code)) << static_cast<int>(header) << " at " << i;
    }
    EXPECT_FALSE(c.Learned());
  }
}

TEST(ReplyHeaderConvention, LearnedFromVaryingRequestsThenProtects) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, int>> warmup;  // (channel, code), repeated in the header
    bool learned;
  } cases[] = {
      {"one pair only: a late reply would carry the same channel and code",
       std::vector<std::pair<int, int>>(20, {0, 4}), false},
      {"too few", {{0, 4}, {1, 4}, {2, 4}, {3, 4}, {0, 4}, {1, 4}, {2, 4}}, false},
      {"channels vary", {{0, 4}, {1, 4}, {2, 4}, {3, 4}, {0, 4}, {1, 4}, {2, 4}, {3, 4}}, true},
      {"codes vary", {{0, 4}, {0, 5}, {0, 6}, {0, 8}, {0, 16}, {0, 3}, {0, 3}, {0, 0x83}}, true},
  };
  for (const auto& k : cases) {
    ReplyHeaderConvention c;
    for (const auto& [channel, code] : k.warmup) EXPECT_TRUE(Attempt(c, Header::kRepeat, channel, code));
    EXPECT_EQ(c.Learned(), k.learned) << k.what;
    // The late reply to another channel's request.
    EXPECT_EQ(Attempt(c, Header::kOther, 2, 4), !k.learned) << k.what;
    // The gauge's own reply right after it, in upper or lower case.
    EXPECT_TRUE(Attempt(c, Header::kLowerRepeat, 2, 4)) << k.what;
    EXPECT_EQ(c.Learned(), k.learned) << k.what;
  }
}

TEST(ReplyHeaderConvention, ChangedGaugeIsReadFromTheNextRequest) {
  ReplyHeaderConvention c;
  for (int i = 0; i < 8; ++i) Attempt(c, Header::kRepeat, i % 4, 4);
  ASSERT_TRUE(c.Learned());
  // Two refusals between repeating replies never drop it.
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(Attempt(c, Header::kOther, 1, 4));
    EXPECT_FALSE(Attempt(c, Header::kOther, 1, 4, 2)) << "judged twice, counted once";
    EXPECT_TRUE(Attempt(c, Header::kRepeat, 1, 4));
  }
  EXPECT_TRUE(c.Learned());
  // Replaced by a gauge with a constant header: three refusals, none of them
  // taken (each could be another request's), and the convention is gone.
  EXPECT_FALSE(Attempt(c, Header::kConstant, 1, 5));
  EXPECT_FALSE(Attempt(c, Header::kConstant, 1, 5));
  EXPECT_FALSE(Attempt(c, Header::kConstant, 1, 5, 2)) << "nor when judged again";
  EXPECT_FALSE(c.Learned());
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(Attempt(c, Header::kConstant, i % 4, kCodes[i % 8]));
}

TEST(ReplyHeaderConvention, WholeGaugeRequestsAndShortRepliesAreAlwaysTaken) {
  ReplyHeaderConvention c;
  for (int i = 0; i < 8; ++i) Attempt(c, Header::kRepeat, i % 4, 4);
  ASSERT_TRUE(c.Learned());
  const std::string config = "@1140*\r", reply = "@0102030405060708091011121314151617*\r";
  const std::string shortest = "@40*\r", request = Request(2, 4);
  for (int i = 0; i < 5; ++i) {
    c.BeginAttempt();
    EXPECT_TRUE(c.Take(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), config.data(),
                       config.size()));
    c.BeginAttempt();
    EXPECT_TRUE(c.Take(reinterpret_cast<const uint8_t*>(shortest.data()), shortest.size(),
                       request.data(), request.size()));
  }
  EXPECT_TRUE(c.Learned());
}
