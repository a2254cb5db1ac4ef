// The simulated gauge: reply layouts as the driver reads them, framing of a
// byte stream, description files, faults, control commands, and one exchange
// with the real program over a pseudo-terminal.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Sim.h"
#include "SimOutputQueue.h"
#include "protocol/FrameCodec.h"

namespace sim = lumo::sim;
namespace proto = lumo::protocol;

namespace {

std::string RequestFrame(const std::vector<uint8_t>& payload) {
  std::string f(proto::FrameLength(payload.size()), '\0');
  proto::EncodeFrame(payload.data(), payload.size(), f.data());
  return f;
}

const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

uint64_t Field(const std::string& reply, size_t pos, size_t count) {
  EXPECT_LE(pos + count, reply.size()) << reply;
  if (pos + count > reply.size()) return ~0ull;
  return proto::ParseHexField(U(reply) + pos, count);
}

// Feeds bytes and returns the replies as they would go on the line.
std::vector<std::string> Feed(sim::Sim& s, const std::string& bytes) {
  std::vector<sim::Output> out;
  std::vector<sim::TraceEvent> trace;
  s.Feed(U(bytes), bytes.size(), out, trace);
  std::vector<std::string> r;
  for (const auto& o : out) {
    std::string all;
    for (const auto& c : o.chunks) all += c.bytes;
    r.push_back(all);
  }
  return r;
}

std::string Ask(sim::Sim& s, const std::vector<uint8_t>& payload) {
  const auto r = Feed(s, RequestFrame(payload));
  return r.size() == 1 ? r[0] : "";
}

bool Valid(const std::string& reply) { return proto::CheckReplyFrame(U(reply), reply.size()) == 0; }

struct FieldCheck {
  size_t pos, count;
  uint64_t value;
};
struct LayoutCase {
  std::vector<uint8_t> payload;
  size_t length;
  std::vector<FieldCheck> fields;
};

}  // namespace

TEST(LumoSimReplies, LayoutsMatchTheFieldsTheDriverReads) {
  // Embedded description, channel 0: m4 250 5 0, m6 -5 3 0, m8 65535 255 0,
  // m16 1000000 0 0, program 0102A0FF, p1 2700; channel 2 carries statuses.
  const std::vector<LayoutCase> cases = {
      {{0, 4, 0}, 19, {{7, 4, 250}, {11, 2, 5}, {13, 2, 0}}},
      {{0, 5, 0}, 19, {{7, 4, 12}, {11, 2, 5}, {13, 2, 0}}},
      {{0, 6, 0}, 19, {{7, 1, 8}, {9, 2, 5}, {11, 2, 3}, {13, 2, 0}}},
      {{1, 6, 0}, 19, {{7, 1, 0}, {9, 2, 5}, {11, 2, 0}}},
      {{0, 8, 0}, 19, {{7, 4, 65535}, {11, 2, 255}, {13, 2, 0}}},
      {{0, 16, 0}, 21, {{7, 6, 1000000}, {13, 2, 0}, {15, 2, 0}}},
      {{1, 16, 0}, 21, {{7, 6, 12345678}, {13, 2, 9}}},
      {{2, 4, 0}, 19, {{13, 2, 1}}},
      {{2, 16, 0}, 21, {{15, 2, 16}}},
      {{0, 1, 0}, 21, {{7, 8, 0x0102A0FF}}},
      {{0, 3, 1, 1}, 17, {{5, 2, 3}, {7, 2, 1}, {9, 4, 2700}}},
      {{7, 3, 1, 2}, 17, {{5, 2, 3}, {9, 4, 1000}}},
      {{7, 3, 1, 129}, 29, {{5, 2, 9}, {7, 2, 129}, {9, 16, 0x2800000000000701ull}}},
      {{7, 3, 1, 143}, 29, {{5, 2, 9}, {9, 16, 0}}},
      {{7, 3, 1, 144}, 17, {{5, 2, 3}, {9, 4, 0}}},
      {{31, 4, 0}, 19, {{1, 2, 31}, {7, 4, 1310}}},
  };
  // Reply bytes 0 and 1 under each header convention; the fields stay put.
  for (const std::string header : {"repeat", "highbit", "1f00", "random"}) {
    sim::Sim s;
    ASSERT_EQ(s.Control("set header=" + header), "ok");
    std::vector<uint64_t> seen;
    for (const auto& c : cases) {
      const std::string r = Ask(s, c.payload);
      SCOPED_TRACE(header + ": " + sim::Printable(RequestFrame(c.payload)) + " -> " + sim::Printable(r));
      ASSERT_EQ(r.size(), c.length);
      EXPECT_TRUE(Valid(r));
      const uint64_t head = Field(r, 1, 4);
      seen.push_back(head);
      if (header == "repeat") { EXPECT_EQ(head, c.payload[0] * 256u + c.payload[1]); }
      if (header == "highbit") { EXPECT_EQ(head, c.payload[0] * 256u + (c.payload[1] | 0x80u)); }
      if (header == "1f00") { EXPECT_EQ(head, 0x1F00u); }
      EXPECT_EQ(Field(r, 5, 2), (r.size() - 5) / 2 - 3) << "byte 2 counts the bytes that follow";
      for (const auto& f : c.fields) {
        if (f.pos >= 5 || header == "repeat") { EXPECT_EQ(Field(r, f.pos, f.count), f.value) << "chars " << f.pos; }
      }
    }
    std::sort(seen.begin(), seen.end());
    if (header == "random") {
      EXPECT_GT(std::unique(seen.begin(), seen.end()) - seen.begin(), 8) << "new bytes each reply";
    }
  }
}

TEST(LumoSimReplies, WholeGaugeRequests) {
  sim::Sim s;
  const std::string config = Ask(s, {0x11});
  EXPECT_TRUE(Valid(config));
  EXPECT_GE(config.size(), 18u) << "the driver takes 18 characters back";
  EXPECT_EQ(config.substr(0, 5), "@1108");
  ASSERT_EQ(s.Control("set state=A"), "ok");
  const std::string state = Ask(s, {0x14});
  EXPECT_TRUE(Valid(state));
  EXPECT_EQ(state[1], 'A');
}

TEST(LumoSimReplies, ParameterWritesAreKeptAndAcknowledged) {
  sim::Sim s;
  // 2700 to parameter 1 of channel 0: the frame the driver sends.
  const auto ack = Feed(s, "@008303010A8C43*\r");
  ASSERT_EQ(ack.size(), 1u);
  EXPECT_TRUE(Valid(ack[0]));
  EXPECT_EQ(ack[0].substr(0, 9), "@00830101");
  struct Case {
    std::vector<uint8_t> write;
    uint8_t param;
    std::string digits;
  };
  const std::vector<Case> cases = {
      {{5, 0x83, 3, 4, 0x11, 0x70}, 4, "1170"},
      {{5, 0x83, 9, 129, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, 129, "0123456789ABCDEF"},
      {{5, 0x83, 9, 130, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 130, "FFFFFFFFFFFFFFFF"},
      {{5, 0x83, 3, 200, 0x00, 0x07}, 200, "0007"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(Valid(Ask(s, c.write)));
    const std::string r = Ask(s, {5, 3, 1, c.param});
    EXPECT_EQ(r.substr(9, c.digits.size()), c.digits) << int{c.param};
  }
  EXPECT_EQ(s.Control("get ch=5 param=129"), "ok value=81985529216486895 hex=0123456789ABCDEF");
  EXPECT_EQ(s.stats.writes, 5u);
}

TEST(LumoSimReplies, NoAnswer) {
  sim::Sim s;
  const std::vector<std::vector<uint8_t>> silent = {
      {32, 4, 0},        // no such channel
      {0, 2, 0},         // unknown code
      {0, 4, 1},         // count does not match the payload
      {0x12},            // unknown whole-gauge request
      {0, 0x83, 1, 1},   // write without a value
  };
  for (const auto& p : silent) EXPECT_TRUE(Feed(s, RequestFrame(p)).empty()) << sim::Printable(RequestFrame(p));
  EXPECT_EQ(s.stats.unanswered, silent.size());
  EXPECT_EQ(s.stats.frames, silent.size());
}

TEST(LumoSimFraming, StreamSplitNoiseAndResync) {
  const std::string req = "@03040047*\r";
  struct Case {
    std::string stream;
    size_t replies, malformed, noise;
  };
  const std::vector<Case> cases = {
      {req + req, 2, 0, 0},
      {"xyz\r\n" + req, 1, 0, 5},
      {"@0304" + req, 1, 1, 0},                 // '@' restarts the frame
      {"@03040048*\r" + req, 1, 1, 0},          // wrong check
      {"@03040047\r" + req, 1, 1, 0},           // no '*'
      {"@0304004*\r", 0, 1, 0},                 // odd number of digits
      {"@0G040047*\r", 0, 1, 0},                // not hexadecimal
      {"@" + std::string(300, '0') + req, 1, 1, 46},
      {"@03040047*\r", 1, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sim::Printable(c.stream));
    // Whole and byte by byte must agree. An echoing line sends back every
    // byte (noise and bad frames too) ahead of the replies, and answers alike.
    for (bool echo : {false, true}) {
      for (bool bytewise : {false, true}) {
        sim::Sim s;
        s.echo = echo;
        size_t replies = 0;
        std::string echoed;
        auto feed = [&](const std::string& bytes) {
          std::vector<sim::Output> out;
          std::vector<sim::TraceEvent> trace;
          s.Feed(U(bytes), bytes.size(), out, trace);
          for (size_t i = 0; i < out.size(); ++i) {
            if (!out[i].echo) {
              ++replies;
              continue;
            }
            EXPECT_EQ(i, 0u) << "the echo comes before the replies";
            for (const auto& k : out[i].chunks) echoed += k.bytes;
          }
        };
        if (bytewise) {
          for (char ch : c.stream) feed(std::string(1, ch));
        } else {
          feed(c.stream);
        }
        EXPECT_EQ(replies, c.replies);
        EXPECT_EQ(s.stats.malformed, c.malformed);
        EXPECT_EQ(s.stats.noise, c.noise);
        EXPECT_EQ(echoed, echo ? c.stream : "");
        EXPECT_EQ(s.stats.echoed, echoed.size());
      }
    }
  }
  sim::Sim s;
  EXPECT_EQ(Feed(s, "@03040047*\r"), Feed(s, "@03040047*\r"));
  uint8_t x = 0;
  for (char ch : std::string("@1f0500")) x ^= static_cast<uint8_t>(ch);
  char digits[3];
  std::snprintf(digits, sizeof digits, "%02X", x);
  EXPECT_EQ(Feed(s, std::string("@1f0500") + digits + "*\r").size(), 1u) << "lower-case request digits";
}

TEST(LumoSimDescription, RoundTripAndOverrides) {
  sim::Gauge g = sim::DefaultGauge();
  std::string error;
  ASSERT_TRUE(sim::ParseDescription(R"(
    [gauge]
    state = B        # comment
    config = 0102 0304
    undescribed = silent
    header = highbit
    turnaround = 12
    [Channel 9]
    m6 = -0 7 2
    m16 = 16777215 1
    program = deadBEEF
    p3 = 0x10
    p131 = -2
  )", g, error)) << error;
  const sim::Channel& c = g.channels[9];
  EXPECT_TRUE(c.described);
  EXPECT_TRUE(c.measure[2].negative);
  EXPECT_EQ(c.measure[2].integer, 0u);
  EXPECT_EQ(c.measure[4].integer, 0xFFFFFFu);
  EXPECT_EQ(c.program, 0xDEADBEEFu);
  EXPECT_EQ(c.params.at(131), ~uint64_t{1});
  EXPECT_EQ(c.params.at(1), 500u) << "keys not given keep their defaults";
  EXPECT_EQ(g.header.kind, sim::ReplyHeader::kHighBit);
  EXPECT_EQ(g.turnaround_ms, 12);

  sim::Gauge back = sim::DefaultGauge();
  ASSERT_TRUE(sim::ParseDescription(sim::FormatDescription(g), back, error)) << error;
  EXPECT_EQ(sim::FormatDescription(back), sim::FormatDescription(g));

  sim::Sim s;
  s.gauge = g;
  EXPECT_TRUE(Ask(s, {8, 4, 0}).empty()) << "undescribed channel stays silent";
  EXPECT_EQ(Ask(s, {9, 6, 0}).substr(7, 8), "80000702");
  EXPECT_EQ(Ask(s, {0x11}).substr(0, 9), "@01020304");
}

TEST(LumoSimLine, CharacterTimes) {
  const struct {
    int baud, data_bits;
    bool parity;
    int stop_bits;
    double micros;
  } cases[] = {
      {9600, 8, false, 1, 1041.67}, {9600, 8, true, 1, 1145.83}, {9600, 8, false, 2, 1145.83},
      {9600, 7, true, 2, 1145.83},  {19200, 8, false, 1, 520.83}, {0, 8, false, 1, 0},
  };
  for (const auto& c : cases)
    EXPECT_NEAR(sim::CharMicros(c.baud, c.data_bits, c.parity, c.stop_bits), c.micros, 0.01) << c.baud;
}

// Characters leave a paced line in the order of their due times, whatever the
// order they were queued in, and none leaves before its time. (Chosen against
// a clock read per entry, a busy machine once let a later character pass the
// deadline first: "0258" went out as "2058", with the frame's check intact.)
TEST(LumoSimLine, OutputLeavesInDueOrder) {
  using std::chrono::milliseconds;
  const sim::Clock::time_point t0{};
  const struct {
    const char* queued;  // one character per entry, due at t0 + the digit after it (ms)
    int now_ms;
    const char* leaves;
  } cases[] = {
      {"a1b2c3", 3, "abc"},     // queued in order
      {"c3a1b2", 3, "abc"},     // queued out of order
      {"a1b2c3", 2, "ab"},      // c not yet due
      {"a5", 4, ""},            // nothing due
      {"x2y2z2", 2, "xyz"},     // equal times: the order queued
      {"b2a1b2c2", 2, "abbc"},  // earlier first, then ties in order
  };
  auto queue = [&](const char* queued) {
    sim::OutputQueue q;
    for (const char* p = queued; *p; p += 2) {
      sim::PendingOutput o;
      o.due = t0 + milliseconds(p[1] - '0');
      o.bytes = std::string(1, p[0]);
      q.Push(o);
    }
    return q;
  };
  for (const auto& c : cases) {
    sim::OutputQueue q = queue(c.queued);
    std::string left;
    while (const auto out = q.PopDue(t0 + milliseconds(c.now_ms))) left += out->bytes;
    EXPECT_EQ(left, c.leaves) << c.queued << " at " << c.now_ms;
    EXPECT_EQ(q.Chars(), std::string(c.queued).size() / 2 - left.size()) << c.queued;
  }
  // Where an echoed character (1 ms here) fits from a given time on: in a gap
  // before a character due later, never across one.
  const struct {
    const char* queued;
    int at_ms, free_ms;
  } gaps[] = {
      {"", 3, 3},       {"a5", 3, 3},     {"a5", 4, 4},   {"a5", 5, 6},   {"a5", 6, 6},
      {"a2b3c4", 2, 5}, {"c4a2b3", 2, 5}, {"a2c4", 2, 3}, {"a2c3", 2, 4},
  };
  for (const auto& g : gaps) {
    EXPECT_EQ(queue(g.queued).FreeFrom(t0 + milliseconds(g.at_ms), milliseconds(1)), t0 + milliseconds(g.free_ms))
        << g.queued << " from " << g.at_ms;
  }
}

TEST(LumoSimDescription, ErrorsNameTheLine) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"m4 = 1 2", "line 1: key outside a section"},
      {"[channel 32]", "line 1"},
      {"[gauge]\nstate = @", "line 2"},
      {"[gauge]\nconfig = 123", "line 2"},
      {"[channel 1]\nm4 = 65536 0", "line 2"},
      {"[channel 1]\nm4 = -1 0", "line 2"},
      {"[channel 1]\nm6 = 256 0", "line 2"},
      {"[channel 1]\nm7 = 1 0", "line 2"},
      {"[channel 1]\nm4 = 1 256", "line 2"},
      {"[channel 1]\nprogram = 123", "line 2"},
      {"[channel 1]\n\np2 = 70000", "line 3"},
      {"[channel 1]\np130 = 0x10000000000000000", "line 2"},
      {"[channel 1]\nfoo", "line 2"},
      {"[gauge]\nheader = 1F0", "line 2"},
      {"[gauge]\nheader = echo", "line 2"},
      {"[gauge]\nturnaround = -1", "line 2"},
  };
  for (const auto& [text, where] : bad) {
    sim::Gauge g = sim::DefaultGauge();
    std::string error;
    EXPECT_FALSE(sim::ParseDescription(text, g, error)) << text;
    EXPECT_EQ(error.rfind(where, 0), 0u) << text << " -> " << error;
  }
}

TEST(LumoSimFaults, ShapesOfEveryKind) {
  const std::string data = "00040400FA0500";  // 19-character reply
  const std::string good = sim::FrameOfChars(data);
  ASSERT_TRUE(Valid(good));
  auto shape = [&](const std::string& text) {
    sim::Fault f;
    std::string error;
    EXPECT_TRUE(sim::ParseFault(text, f, error)) << error;
    return sim::Shape(data, &f);
  };
  auto joined = [](const std::vector<sim::Chunk>& c) {
    std::string s;
    for (const auto& k : c) s += k.bytes;
    return s;
  };
  EXPECT_TRUE(shape("kind=silence").empty());
  const std::string bad = joined(shape("kind=badcheck"));
  EXPECT_EQ(proto::CheckReplyFrame(U(bad), bad.size()), 222u);
  const std::string noisy = joined(shape("kind=noise"));
  EXPECT_GT(noisy.find('@'), 0u);
  EXPECT_EQ(noisy.substr(noisy.find('@')), good);
  const std::string trailing = joined(shape("kind=trail"));
  EXPECT_EQ(trailing.substr(0, good.size()), good);
  EXPECT_EQ(trailing.substr(good.size()), noisy.substr(0, noisy.find('@')));
  const auto delayed = shape("kind=delay");
  ASSERT_EQ(delayed.size(), 1u);
  EXPECT_EQ(delayed[0].delay_ms, 260);
  EXPECT_EQ(shape("kind=delay ms=500")[0].delay_ms, 500);
  const auto split = shape("kind=split n=5 ms=120");
  ASSERT_EQ(split.size(), 2u);
  EXPECT_EQ(split[0].bytes.size(), 5u);
  EXPECT_EQ(split[1].delay_ms, 120);
  EXPECT_EQ(joined(split), good);
  EXPECT_EQ(joined(shape("kind=truncate")), good.substr(0, good.size() / 2));
  EXPECT_EQ(joined(shape("kind=truncate n=17")), good.substr(0, 17));
  const std::string lower = joined(shape("kind=lowercheck"));
  EXPECT_TRUE(Valid(lower));
  EXPECT_EQ(lower.substr(0, 15), good.substr(0, 15));
  const std::string garbled = joined(shape("kind=garbledcheck"));
  EXPECT_EQ(garbled, good.substr(0, good.size() - 4) + "G?*\r");
  const std::string other = joined(shape("kind=otherch n=31"));
  EXPECT_TRUE(Valid(other));
  EXPECT_EQ(other, "@1F040400FA050035*\r");
  const std::string longer = joined(shape("kind=long"));
  EXPECT_TRUE(Valid(longer));
  EXPECT_EQ(longer.size(), good.size() + 8);
  EXPECT_EQ(longer.substr(0, 15), good.substr(0, 15));
  for (size_t chars : {256u, 255u, 30u}) {
    const std::string exact = joined(shape("kind=long chars=" + std::to_string(chars)));
    EXPECT_EQ(exact.size(), chars);
    const size_t frame = exact.rfind('\r') + 1;
    EXPECT_TRUE(Valid(exact.substr(0, frame))) << chars;
    EXPECT_GE(frame, chars - 1);
  }
  const std::string shorter = joined(shape("kind=short n=2"));
  EXPECT_TRUE(Valid(shorter));
  EXPECT_EQ(shorter.size(), good.size() - 4);
}

TEST(LumoSimFaults, MatchingCountsAndPersistence) {
  sim::Sim s;
  ASSERT_EQ(s.Control("fault code=4 kind=silence count=3").rfind("ok", 0), 0u);
  ASSERT_EQ(s.Control("fault ch=2 kind=truncate persist").rfind("ok", 0), 0u);
  std::vector<size_t> lengths;
  for (int i = 0; i < 5; ++i) lengths.push_back(Ask(s, {0, 4, 0}).size());
  EXPECT_EQ(lengths, (std::vector<size_t>{0, 0, 0, 19, 19}));
  EXPECT_EQ(Ask(s, {0, 5, 0}).size(), 19u) << "other codes unaffected";
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Ask(s, {2, 8, 0}).size(), 9u);
  EXPECT_EQ(s.stats.faults, 6u);
  EXPECT_EQ(s.stats.unanswered, 3u);
  EXPECT_EQ(s.Control("faults"), "ok n=1 | kind=truncate ch=2 persist");
  EXPECT_EQ(s.Control("clear"), "ok");
  EXPECT_EQ(Ask(s, {2, 8, 0}).size(), 19u);
  // The first matching fault wins; whole-gauge requests match by code.
  s.Control("fault code=0x11 kind=silence");
  s.Control("fault kind=lowercheck");
  EXPECT_TRUE(Ask(s, {0x11}).empty());
  EXPECT_TRUE(Valid(Ask(s, {0x11})));

  const std::vector<std::string> rejected = {"kind=flood", "code=4", "kind=delay ms=x", "kind=silence ch=300",
                                             "kind=silence when=now", "kind=silence param=256"};
  for (const auto& text : rejected) EXPECT_EQ(s.Control("fault " + text).rfind("err ", 0), 0u) << text;

  // param= matches the reads and writes of that one parameter only.
  s.Control("clear");
  EXPECT_EQ(s.Control("fault ch=3 param=5 kind=silence persist"), "ok kind=silence ch=3 param=5 persist");
  const struct {
    std::vector<uint8_t> payload;
    bool silent;
  } requests[] = {
      {{3, 3, 1, 5}, true},               // its read
      {{3, 0x83, 3, 5, 0x02, 0x58}, true},  // its write
      {{3, 3, 1, 133}, false},            // the same sensor's identifier
      {{3, 3, 1, 6}, false},              // another parameter
      {{4, 3, 1, 5}, false},              // another channel
      {{3, 4, 0}, false},                 // not a parameter request
  };
  for (const auto& r : requests) EXPECT_EQ(Ask(s, r.payload).empty(), r.silent) << int(r.payload[1]);
}

TEST(LumoSimControl, SetGetStatsAndErrors) {
  sim::Sim s;
  EXPECT_EQ(s.Control("set ch=3 code=4 int=250 tenths=5 status=1"), "ok");
  EXPECT_EQ(s.Control("get ch=3 code=4"), "ok int=250 tenths=5 status=1");
  EXPECT_EQ(Ask(s, {3, 4, 0}).substr(7, 8), "00FA0501");
  EXPECT_EQ(s.Control("set ch=3 code=6 int=-7 tenths=0"), "ok");
  EXPECT_EQ(s.Control("get ch=3 code=6"), "ok int=-7 tenths=0 status=0");
  EXPECT_EQ(s.Control("set ch=3 program=0102A0FF"), "ok");
  EXPECT_EQ(s.Control("get ch=3 program"), "ok program=0102A0FF");
  EXPECT_EQ(s.Control("set config=0A0B"), "ok");
  EXPECT_EQ(s.Control("get config"), "ok config=0A0B");
  EXPECT_EQ(s.Control("set header=a5c3"), "ok");
  EXPECT_EQ(s.Control("get header"), "ok header=A5C3");
  EXPECT_EQ(s.Control("set header=repeat"), "ok");
  EXPECT_EQ(s.Control("set pace=off"), "ok");
  EXPECT_EQ(s.Control("get pace"), "ok pace=off");
  EXPECT_EQ(s.Control("set ch=3 param=2 value=77"), "ok");
  EXPECT_EQ(s.Control("get ch=3 param=2"), "ok value=77 hex=004D");
  EXPECT_EQ(s.Control("get echo"), "ok echo=off");
  EXPECT_EQ(s.Control("set echo=ON"), "ok");
  EXPECT_EQ(s.Control("get echo"), "ok echo=on");
  // The echo is counted, and is neither a frame nor history.
  Feed(s, "noise@03040047*\r@1140*\r");
  EXPECT_EQ(s.Control("stats"), "ok frames=3 malformed=0 noise=5 replies=3 unanswered=0 faults=0 writes=0 pending=0 "
                                "echoed=23 stall=0 code4=2 code17=1");
  EXPECT_EQ(s.Control("history"), "ok n=3 @03040047* @03040047* @1140*");
  EXPECT_EQ(s.Control("stall ms=250"), "ok stall ms=250");
  EXPECT_EQ(s.Control("clear stats"), "ok");
  EXPECT_EQ(s.Control("stats").substr(0, 20), "ok frames=0 malforme");
  for (const char* bad : {"", "dance", "set ch=40 code=4 int=1 tenths=0", "set ch=1 code=4 int=70000 tenths=0",
                          "set ch=1 code=7 int=1 tenths=0", "set ch=1 param=1 value=65536", "set state=@",
                          "set ch=1 program=xyz", "save", "set header=12345", "fault ch=32 kind=silence",
                          "set echo=1", "set echo=", "stall", "stall ms=", "stall ms=-1", "stall ms=600001",
                          "stall ms=1s"})
    EXPECT_EQ(s.Control(bad).rfind("err", 0), 0u) << bad;
  EXPECT_EQ(s.Control("set ch=40 code=4 int=1 tenths=0"), "err ch=40 is not a channel: 0..31");
  EXPECT_NE(s.Control("dance").find("vanish stall"), std::string::npos) << "every command listed";
  EXPECT_FALSE(s.quit);
  EXPECT_EQ(s.Control("quit"), "ok bye");
  EXPECT_TRUE(s.quit);
}

TEST(LumoSimControl, SaveKeepsWrites) {
  char path[] = "/tmp/lumo-sim-test-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  sim::Sim s;
  s.description_path = path;
  s.save_on_write = true;
  Ask(s, {4, 0x83, 3, 1, 0x0A, 0x8C});
  sim::Gauge g = sim::DefaultGauge();
  std::string error, text;
  {
    FILE* f = std::fopen(path, "r");
    ASSERT_NE(f, nullptr);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  unlink(path);
  ASSERT_TRUE(sim::ParseDescription(text, g, error)) << error;
  EXPECT_EQ(g.channels[4].params.at(1), 2700u);
  EXPECT_EQ(g.channels[0].measure[0].integer, 250u);
}

// ---------------------------------------------------------------------------
// The program itself on a pseudo-terminal.

namespace {

using Clock = std::chrono::steady_clock;

// Reads from fd until `until` appears in the collected text or the deadline passes.
std::string ReadUntil(int fd, const std::string& until, Clock::time_point deadline) {
  std::string got;
  while (got.find(until) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[256];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// lumo-sim running as a child process, its standard output readable at out.
struct Child {
  pid_t pid = -1;
  int out = -1;
  bool Start(std::vector<const char*> args) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return false;
    args.insert(args.begin(), "lumo-sim");
    args.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      dup2(pipefd[1], 1);
      close(pipefd[0]);
      execv(LUMO_SIM_BINARY, const_cast<char* const*>(args.data()));
      _exit(127);
    }
    close(pipefd[1]);
    if (pid < 0) {
      close(pipefd[0]);
      return false;
    }
    out = pipefd[0];
    return true;
  }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
};

}  // namespace

TEST(LumoSimProgram, ExchangesFramesOverAPty) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  char dir[] = "/tmp/lumo-sim-test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string link_path = std::string(dir) + "/com";
  Child child;
  ASSERT_TRUE(child.Start({"--control", "0", "--quiet", "--link", link_path.c_str()}));
  const std::string banner = ReadUntil(child.out, "ready\n", deadline);
  ASSERT_NE(banner.find("ready\n"), std::string::npos) << banner;
  const size_t p = banner.find("pty ");
  const size_t c = banner.find("127.0.0.1:");
  ASSERT_NE(p, std::string::npos);
  ASSERT_NE(c, std::string::npos);
  const std::string pty = banner.substr(p + 4, banner.find('\n', p) - p - 4);
  const int port = std::stoi(banner.substr(c + 10));

  const int line = open(pty.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(line, 0) << pty;
  termios t{};
  tcgetattr(line, &t);
  cfmakeraw(&t);
  tcsetattr(line, TCSANOW, &t);

  const int ctl = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(connect(ctl, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  auto command = [&](const std::string& cmd) {
    EXPECT_EQ(write(ctl, (cmd + "\n").data(), cmd.size() + 1), static_cast<ssize_t>(cmd.size() + 1));
    return ReadUntil(ctl, "\n", deadline);
  };

  // A request split across two writes, on a paced 9600 8N1 line: its 11
  // characters take 11.5 ms, the turnaround 5 ms, the 19 of the reply 19.8 ms.
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  tcsetattr(line, TCSANOW, &t);
  const auto request_start = Clock::now();
  ASSERT_EQ(write(line, "@0304", 5), 5);
  ASSERT_EQ(write(line, "0047*\r", 6), 6);
  const std::string first = ReadUntil(line, "@", deadline);
  const auto first_char = Clock::now();
  const std::string reply = first + ReadUntil(line, "\r", deadline);
  const auto last_char = Clock::now();
  EXPECT_EQ(reply, "@0304040406050044*\r");
  EXPECT_TRUE(Valid(reply));
  // Floors only, and measured from the request: a reader that a loaded
  // machine keeps waiting sees the characters late, never early.
  EXPECT_GE(first_char - request_start, std::chrono::microseconds(11 * 1041 + 5000));
  EXPECT_GE(last_char - request_start, std::chrono::microseconds((11 + 18) * 1041 + 5000));

  // A delayed reply is not on the line before its time, and comes after it.
  EXPECT_EQ(command("fault code=4 kind=delay ms=300"), "ok kind=delay code=4 count=1 ms=300\n");
  const auto sent = Clock::now();
  ASSERT_EQ(write(line, "@03040047*\r", 11), 11);
  EXPECT_EQ(ReadUntil(line, "\r", sent + std::chrono::milliseconds(150)), "");
  EXPECT_EQ(ReadUntil(line, "\r", deadline).size(), 19u);
  EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(300));

  EXPECT_EQ(command("stats").substr(0, 36), "ok frames=2 malformed=0 noise=0 repl");

  // An echoing line: the request comes back as it arrives, not before its
  // last character. The echo of the next one goes out at once, not behind
  // the reply that is due later; that reply comes next, then the next one's.
  const std::string state_request = "@1445*\r", state_reply = "@0040*\r";
  EXPECT_EQ(command("set echo=on"), "ok\n");
  EXPECT_EQ(command("fault code=4 kind=delay ms=300").substr(0, 2), "ok");
  const auto echo_sent = Clock::now();
  ASSERT_EQ(write(line, "@03040047*\r", 11), 11);
  EXPECT_EQ(ReadUntil(line, "\r", deadline), "@03040047*\r");
  EXPECT_GE(Clock::now() - echo_sent, std::chrono::microseconds(11 * 1041));
  ASSERT_EQ(write(line, state_request.data(), 7), 7);
  EXPECT_EQ(ReadUntil(line, "\r", deadline), state_request);
  EXPECT_LT(Clock::now() - echo_sent, std::chrono::milliseconds(300)) << "too late to tell the order";
  EXPECT_EQ(ReadUntil(line, state_reply, deadline), reply + state_reply);
  EXPECT_GE(Clock::now() - echo_sent, std::chrono::milliseconds(300));
  EXPECT_EQ(command("set echo=off"), "ok\n");

  // A stalled line reads nothing; once the stall is over (stall=0) what piled
  // up has been read, and is answered in order.
  EXPECT_EQ(command("clear stats"), "ok\n");
  EXPECT_EQ(command("stall ms=300"), "ok stall ms=300\n");
  const auto stalled = Clock::now();
  ASSERT_EQ(write(line, "@03040047*\r", 11), 11);
  ASSERT_EQ(write(line, state_request.data(), 7), 7);
  EXPECT_EQ(ReadUntil(line, "\r", stalled + std::chrono::milliseconds(150)), "");
  EXPECT_EQ(command("history"), "ok n=0\n");
  std::string stall = command("get stall");
  EXPECT_NE(stall, "ok stall=0\n");
  while (stall != "ok stall=0\n" && Clock::now() < deadline) {
    pollfd none{-1, 0, 0};
    poll(&none, 0, 10);
    stall = command("get stall");
  }
  EXPECT_GE(Clock::now() - stalled, std::chrono::milliseconds(300));
  EXPECT_EQ(command("history"), "ok n=2 @03040047* @1445*\n");
  EXPECT_EQ(ReadUntil(line, state_reply, deadline), reply + state_reply);

  // The far end vanishes: this pty hangs up, and a new one takes the link.
  EXPECT_EQ(command("vanish ms=200"), "ok vanish ms=200\n");
  pollfd hangup{line, POLLIN, 0};
  ASSERT_EQ(poll(&hangup, 1, 5000), 1);
  EXPECT_TRUE(hangup.revents & (POLLHUP | POLLERR));
  std::string back;
  while (Clock::now() < deadline && (back.empty() || back == pty)) {
    char target[256] = {};
    if (readlink(link_path.c_str(), target, sizeof target - 1) > 0) back = target;
    pollfd none{-1, 0, 0};
    poll(&none, 0, 10);
  }
  ASSERT_NE(back, pty);
  const int again = open(link_path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(again, 0) << back;
  tcgetattr(again, &t);
  cfmakeraw(&t);
  tcsetattr(again, TCSANOW, &t);
  ASSERT_EQ(write(again, "@03040047*\r", 11), 11);
  EXPECT_EQ(ReadUntil(again, "\r", deadline).size(), 19u);
  close(again);

  EXPECT_EQ(command("quit"), "ok bye\n");
  int status = -1;
  while (Clock::now() < deadline && waitpid(child.pid, &status, WNOHANG) == 0) {
    pollfd none{-1, 0, 0};
    poll(&none, 0, 10);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  if (WIFEXITED(status)) child.pid = -1;
  close(ctl);
  close(line);
  rmdir(dir);
}

namespace {

// Runs the program to its end with the shell; its exit status and output.
std::pair<int, std::string> RunSim(const std::string& args) {
  const std::string cmd = std::string(LUMO_SIM_BINARY) + " " + args + " 2>&1 </dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = p ? pclose(p) : -1;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

}  // namespace

TEST(LumoSimProgram, CommandLine) {
  struct Case {
    const char* args;
    int status;
    const char* output_contains;
  } const cases[] = {
      {"--help", 0, "Usage: lumo-sim [options]"},
      {"-h", 0, "Control channel (--control)"},
      {"--help", 0, "set echo=on|off"},
      {"--help", 0, "stall ms=N"},
      {"--dump-description --fault 'kind=silence' --fault 'code=4 kind=noise count=2'", 0, "[channel 0]"},
      {"--bogus", 2, "lumo-sim: "},
      {"--wine-com 256", 2, "--wine-com"},
      {"--turnaround", 2, "--turnaround"},
      {"--control x", 2, "--control"},
      {"--save-writes", 2, "--save-writes needs --description"},
      {"--device /dev/null --wine-com 3", 2, "pseudo-terminal only"},
      {"--fault 'kind=bogus'", 2, "--fault kind=bogus: "},
      {"-d /nonexistent/gauge.ini", 2, "cannot read /nonexistent/gauge.ini"},
  };
  for (const Case& c : cases) {
    const auto [status, out] = RunSim(c.args);
    EXPECT_EQ(status, c.status) << c.args << ": " << out;
    EXPECT_NE(out.find(c.output_contains), std::string::npos) << c.args << ": " << out;
  }
}

// The JSON trace is one object per line, also for frames with bytes that are
// not text (noise: 00 FF ...).
TEST(LumoSimProgram, JsonTraceLines) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  Child child;
  ASSERT_TRUE(child.Start({"--json", "--control", "0", "--fault", "kind=noise count=1"}));
  std::string text = ReadUntil(child.out, "\n", deadline);
  const auto ready = nlohmann::json::parse(text.substr(0, text.find('\n')));
  EXPECT_EQ(ready["event"], "ready");
  EXPECT_EQ(ready["links"], nlohmann::json::array());
  EXPECT_GT(ready["control"].get<int>(), 0);
  const std::string pty = ready["pty"];
  const int line = open(pty.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(line, 0) << pty;
  termios t{};
  tcgetattr(line, &t);
  cfmakeraw(&t);
  tcsetattr(line, TCSANOW, &t);
  ASSERT_EQ(write(line, "@03040047*\r", 11), 11);
  text = text.substr(text.find('\n') + 1);
  while (std::count(text.begin(), text.end(), '\n') < 2 && Clock::now() < deadline)
    text += ReadUntil(child.out, "\n", deadline);
  close(line);
  std::vector<nlohmann::json> records;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    records.push_back(nlohmann::json::parse(text.substr(start, end - start)));
  ASSERT_EQ(records.size(), 2u) << text;
  EXPECT_EQ(records[0]["dir"], "rx");
  EXPECT_EQ(records[0]["bytes"], "@03040047*\r");
  EXPECT_EQ(records[0]["ch"], 3);
  EXPECT_EQ(records[0]["code"], 4);
  EXPECT_EQ(records[1]["dir"], "tx");
  const std::string bytes = records[1]["bytes"];
  EXPECT_EQ(bytes.substr(0, 4), std::string("\0\xC3\xBF#", 4)) << bytes;  // 00 FF as U+0000 U+00FF
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "*\r");
  EXPECT_NE(records[1]["note"].get<std::string>().find("noise"), std::string::npos);
}
