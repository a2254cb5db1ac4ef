// The serial port's byte ring, against a plain queue of the same bytes: after
// every step the count, the room, the full flag, each held byte in order, and
// the two contiguous runs (where the device reads into and writes from).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "serial/ByteRing.h"

using lumo::serial::ByteRing;

namespace {

// P n: put n bytes (taken); R n: put n bytes (refused, nothing stored);
// W n: write n bytes into the free run and commit them, as the receiving
// thread does; T n: consume n bytes of the held run; D: drop what is held;
// C: clear.
struct Step {
  char op;
  size_t n;
  size_t free_run;  // expected afterwards
  size_t held_run;
};

struct Case {
  const char* name;
  size_t capacity;
  std::vector<Step> steps;
};

const Case kCases[] = {
    {"one put fills the ring, a wrapping put fills it again", 8,
     {{'P', 8, 0, 8}, {'R', 1, 0, 8}, {'T', 3, 3, 5}, {'P', 3, 0, 5}, {'R', 1, 0, 5}}},
    {"an empty ring with its head mid-way: room to the end only, then a put wraps", 8,
     {{'P', 6, 2, 6}, {'T', 6, 2, 0}, {'P', 5, 3, 2}, {'T', 2, 5, 3}, {'T', 3, 5, 0}}},
    {"the receiver fills the run to the end, then the run from the start", 8,
     {{'P', 6, 2, 6}, {'T', 4, 2, 2}, {'W', 2, 4, 4}, {'W', 4, 0, 4}, {'R', 1, 0, 4}, {'T', 4, 4, 4}}},
    {"dropping keeps the head, clearing goes back to the start", 8,
     {{'P', 5, 3, 5}, {'D', 0, 3, 0}, {'C', 0, 8, 0}, {'P', 8, 0, 8}, {'D', 0, 8, 0}}},
    {"a refused put stores nothing", 4,
     {{'P', 3, 1, 3}, {'R', 2, 1, 3}, {'T', 1, 1, 2}, {'P', 2, 0, 3}}},
    {"a ring of no capacity", 0, {{'P', 0, 0, 0}, {'R', 1, 0, 0}}},
    {"the input ring's size, across its end", 8192,
     {{'P', 8000, 192, 8000}, {'T', 8000, 192, 0}, {'P', 300, 7892, 192}, {'W', 7892, 0, 192},
      {'T', 192, 192, 8000}}},
};

TEST(ByteRing, StepsAgainstAQueue) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ByteRing ring;
    ring.Allocate(c.capacity);
    std::deque<uint8_t> model;
    uint8_t next = 1;
    const auto fresh = [&](size_t n) {
      std::vector<uint8_t> bytes(n);
      for (uint8_t& b : bytes) b = next = static_cast<uint8_t>(next % 251 + 1);
      return bytes;
    };
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      SCOPED_TRACE("step " + std::to_string(i + 1) + ": " + s.op + std::to_string(s.n));
      switch (s.op) {
        case 'P':
        case 'R': {
          const std::vector<uint8_t> bytes = fresh(s.n);
          ASSERT_EQ(ring.Put(bytes.data(), bytes.size()), s.op == 'P');
          if (s.op == 'P') model.insert(model.end(), bytes.begin(), bytes.end());
          break;
        }
        case 'W': {
          size_t run = 0;
          uint8_t* into = ring.FreeRun(run);
          ASSERT_LE(s.n, run);
          const std::vector<uint8_t> bytes = fresh(s.n);
          std::copy(bytes.begin(), bytes.end(), into);
          ring.Commit(s.n);
          model.insert(model.end(), bytes.begin(), bytes.end());
          break;
        }
        case 'T': {
          size_t run = 0;
          ring.HeldRun(run);
          ASSERT_LE(s.n, run);
          ring.Consume(s.n);
          model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(s.n));
          break;
        }
        case 'D':
          ring.DropHeld();
          model.clear();
          break;
        case 'C':
          ring.Clear();
          model.clear();
          break;
        default:
          FAIL() << "unknown step";
      }
      EXPECT_EQ(ring.Count(), model.size());
      EXPECT_EQ(ring.Full(), c.capacity > 0 && model.size() == c.capacity);
      for (size_t k = 0; k < model.size(); ++k) ASSERT_EQ(ring.Peek(k), model[k]) << "byte " << k;

      size_t free_run = 0, held_run = 0;
      const uint8_t* free_at = ring.FreeRun(free_run);
      const uint8_t* held_at = ring.HeldRun(held_run);
      EXPECT_EQ(free_run, s.free_run);
      EXPECT_EQ(held_run, s.held_run);
      EXPECT_EQ(free_at, ring.Storage() + ring.Head());
      EXPECT_EQ(held_at, ring.Storage() + ring.Tail());
      // The held run is the oldest bytes, in order, in one piece.
      ASSERT_LE(held_run, model.size());
      EXPECT_TRUE(std::equal(held_at, held_at + held_run, model.begin()));
    }
  }
}

TEST(ByteRing, FreedRingHoldsNothingAndHasNoRoom) {
  ByteRing ring;
  ring.Allocate(16);
  const uint8_t bytes[3] = {1, 2, 3};
  ASSERT_TRUE(ring.Put(bytes, 3));
  ring.Free();
  EXPECT_FALSE(ring.Allocated());
  EXPECT_EQ(ring.Count(), 0u);
  EXPECT_EQ(ring.Room(), 0u);
  EXPECT_FALSE(ring.Put(bytes, 1));
  // Allocated again: empty, at the start, with all its room.
  ring.Allocate(4);
  size_t run = 0;
  ring.FreeRun(run);
  EXPECT_EQ(run, 4u);
  EXPECT_EQ(ring.Count(), 0u);
}

}  // namespace
