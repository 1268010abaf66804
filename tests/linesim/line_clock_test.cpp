#include "line_clock.h"

#include <gtest/gtest.h>

namespace vork::linesim {
namespace {

using std::chrono::nanoseconds;

const TimePoint kStart = TimePoint{} + std::chrono::hours(1);

struct RunCase {
  int baud;
  std::uint64_t characters;
  std::int64_t last_end_ns;  // ceil(characters * 1e10 / baud)
};

TEST(CharacterClockTest, BackToBackRunEndsExactlyAtItsLineTimeWithoutDrift) {
  const RunCase cases[] = {
      {115200, 1, 86'806},
      {115200, 1'048'576, 91'022'222'223},  // 1 MiB: 91.0222 s, no rounding carried
      {9600, 1, 1'041'667},
      {9600, 16'384, 17'066'666'667},
      {300, 7, 233'333'334},
      {10'000'000, 3, 3'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    CharacterClock clock(c.baud);
    TimePoint previous = kStart;
    const nanoseconds shortest(10'000'000'000LL / c.baud);
    for (std::uint64_t k = 0; k < c.characters; ++k) {
      const TimePoint end = clock.Send(kStart);
      ASSERT_GE(end - previous, shortest) << "character " << k << " left too early";
      ASSERT_LE(end - previous, shortest + nanoseconds(1));
      previous = end;
    }
    EXPECT_EQ((previous - kStart).count(), c.last_end_ns);
    EXPECT_EQ(CharacterClock::Duration(c.characters, c.baud).count(), c.last_end_ns);
  }
}

TEST(CharacterClockTest, CharacterHandedOverWhileBusyWaitsForTheOneBefore) {
  CharacterClock clock(9600);
  const auto one = CharacterClock::Duration(1, 9600);
  EXPECT_EQ(clock.Send(kStart), kStart + one);
  EXPECT_EQ(clock.Send(kStart + one / 2), kStart + CharacterClock::Duration(2, 9600));
}

TEST(CharacterClockTest, IdleLineStartsANewRunAtTheHandOver) {
  CharacterClock clock(9600);
  const auto one = CharacterClock::Duration(1, 9600);
  (void)clock.Send(kStart);
  const TimePoint later = kStart + 10 * one;
  EXPECT_EQ(clock.Send(later), later + one);
  EXPECT_EQ(clock.Pending(later), 1U);
}

TEST(CharacterClockTest, PendingCountsCharactersNotYetComplete) {
  CharacterClock clock(115200);
  for (int i = 0; i < 10; ++i) (void)clock.Send(kStart);
  const auto three = CharacterClock::Duration(3, 115200);
  EXPECT_EQ(clock.Pending(kStart), 10U);
  EXPECT_EQ(clock.Pending(kStart + three - nanoseconds(1)), 8U);
  EXPECT_EQ(clock.Pending(kStart + three), 7U);
  EXPECT_EQ(clock.Pending(kStart + CharacterClock::Duration(10, 115200)), 0U);
  EXPECT_EQ(clock.CurrentCharacterEnd(kStart + three), kStart + CharacterClock::Duration(4, 115200));
  const TimePoint idle = kStart + std::chrono::seconds(1);
  EXPECT_EQ(clock.CurrentCharacterEnd(idle), idle);
}

TEST(CharacterClockTest, UnpacedLineSendsAtOnce) {
  CharacterClock clock(0);
  EXPECT_EQ(clock.Send(kStart), kStart);
  EXPECT_EQ(clock.Send(kStart), kStart);
  EXPECT_EQ(clock.Pending(kStart), 0U);
  EXPECT_EQ(CharacterClock::Duration(1000, 0).count(), 0);
}

}  // namespace
}  // namespace vork::linesim
