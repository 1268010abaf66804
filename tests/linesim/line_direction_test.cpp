#include "line_direction.h"

#include <gtest/gtest.h>

#include <bit>
#include <vector>

namespace vork::linesim {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

const TimePoint kStart = TimePoint{} + std::chrono::hours(1);

std::vector<std::byte> Bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

std::vector<std::byte> Take(LineDirection& line) {
  const auto span = line.Receivable();
  std::vector<std::byte> out(span.begin(), span.end());
  line.Delivered(out.size());
  return out;
}

// Every byte read from the sender is accounted for exactly once.
void ExpectBalanced(const DirectionCounters& c) {
  EXPECT_EQ(c.bytes_in - c.drops + c.noise_bytes, c.bytes_out + c.overruns + c.in_flight + c.buffered);
}

class LineDirectionTest : public ::testing::Test {
 protected:
  static LineSettings Paced(int baud) {
    LineSettings settings;
    settings.baud = baud;
    return settings;
  }
  static nanoseconds Chars(std::uint64_t n, int baud) { return CharacterClock::Duration(n, baud); }
};

TEST_F(LineDirectionTest, EachByteArrivesAfterItsCharacterTimePlusLatency) {
  auto settings = Paced(9600);
  settings.latency = milliseconds(5);
  LineDirection line(settings, Direction::kAToB);
  line.Accept(Bytes({1, 2, 3}), kStart);

  for (std::uint64_t k = 1; k <= 3; ++k) {
    const TimePoint due = kStart + Chars(k, 9600) + milliseconds(5);
    ASSERT_EQ(line.NextWake(kStart), std::optional(due)) << k;
    line.Arrive(due - nanoseconds(1));
    EXPECT_EQ(line.Receivable().size(), k - 1) << "byte " << k << " early";
    line.Arrive(due);
    EXPECT_EQ(line.Receivable().size(), k);
  }
  EXPECT_EQ(Take(line), Bytes({1, 2, 3}));
  EXPECT_EQ(line.NextWake(kStart + std::chrono::seconds(1)), std::nullopt);
  ExpectBalanced(line.counters());
}

TEST_F(LineDirectionTest, TransmitQueueBoundsWhatTheSenderMayHandOver) {
  auto settings = Paced(115200);
  settings.transmit_queue_bytes = 16;
  LineDirection line(settings, Direction::kAToB);
  EXPECT_EQ(line.Room(kStart), 16U);
  line.Accept(std::vector<std::byte>(16), kStart);
  EXPECT_EQ(line.Room(kStart), 0U);
  EXPECT_EQ(line.Room(kStart + Chars(1, 115200)), 1U);
  EXPECT_EQ(line.Room(kStart + Chars(16, 115200)), 16U);
}

TEST_F(LineDirectionTest, LostBytesSpendTheirTimeAndStillLetTheSenderOn) {
  auto settings = Paced(9600);
  settings.transmit_queue_bytes = 4;
  settings.faults.drop = 1.0;
  LineDirection line(settings, Direction::kAToB);
  line.Accept(Bytes({1, 2, 3, 4}), kStart);
  EXPECT_EQ(line.Room(kStart), 0U);
  // Nothing will arrive, but the relay must wake when the sender may go on.
  EXPECT_EQ(line.NextWake(kStart), std::optional(kStart + Chars(1, 9600)));
  line.Arrive(kStart + Chars(4, 9600));
  EXPECT_TRUE(line.Receivable().empty());
  EXPECT_EQ(line.Room(kStart + Chars(4, 9600)), 4U);
  EXPECT_EQ(line.counters().drops, 4U);
  ExpectBalanced(line.counters());
}

TEST_F(LineDirectionTest, NoiseBytesComeBeforeTheirByteAndTakeLineTime) {
  auto settings = Paced(9600);
  settings.faults.noise = 1.0;
  settings.faults.noise_burst = 1;
  LineDirection line(settings, Direction::kBToA);
  line.Accept(Bytes({0x41, 0x42}), kStart);
  line.Arrive(kStart + Chars(3, 9600));
  const auto partial = Take(line);
  ASSERT_EQ(partial.size(), 3U);
  EXPECT_EQ(partial[1], std::byte{0x41});
  line.Arrive(kStart + Chars(4, 9600));
  EXPECT_EQ(Take(line).back(), std::byte{0x42});
  const auto c = line.counters();
  EXPECT_EQ(c.noise_bursts, 2U);
  EXPECT_EQ(c.noise_bytes, 2U);
  EXPECT_EQ(c.bytes_out, 4U);
  ExpectBalanced(c);
}

TEST_F(LineDirectionTest, FlippedBytesDifferInOneBit) {
  auto settings = Paced(0);
  settings.faults.flip = 1.0;
  LineDirection line(settings, Direction::kAToB);
  const auto sent = Bytes({0x00, 0xFF, 0x7E, 0x02});
  line.Accept(sent, kStart);
  line.Arrive(kStart);
  const auto got = Take(line);
  ASSERT_EQ(got.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(std::popcount(static_cast<unsigned>(got[i] ^ sent[i])), 1) << i;
  }
  EXPECT_EQ(line.counters().flips, 4U);
}

TEST_F(LineDirectionTest, PacedLineOverrunsAFullReceiveBuffer) {
  auto settings = Paced(115200);
  settings.receive_buffer_bytes = 4;
  LineDirection line(settings, Direction::kAToB);
  line.Accept(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), kStart);
  line.Arrive(kStart + Chars(10, 115200));
  EXPECT_EQ(Take(line), Bytes({1, 2, 3, 4}));  // the oldest stay, like a UART's FIFO
  const auto c = line.counters();
  EXPECT_EQ(c.overruns, 6U);
  EXPECT_EQ(c.bytes_out, 4U);
  ExpectBalanced(c);
}

TEST_F(LineDirectionTest, UnpacedLineHoldsTheSenderBackInsteadOfLosing) {
  auto settings = Paced(0);
  settings.receive_buffer_bytes = 4;
  LineDirection line(settings, Direction::kAToB);
  EXPECT_EQ(line.Room(kStart), 4U);
  line.Accept(Bytes({1, 2, 3, 4}), kStart);
  line.Arrive(kStart);
  EXPECT_EQ(line.Room(kStart), 0U);
  line.Delivered(3);
  EXPECT_EQ(line.Room(kStart), 3U);
  line.Accept(Bytes({5, 6, 7}), kStart);
  line.Arrive(kStart);
  EXPECT_EQ(Take(line), Bytes({4, 5, 6, 7}));
  const auto c = line.counters();
  EXPECT_EQ(c.overruns, 0U);
  EXPECT_EQ(c.bytes_out, 7U);
  ExpectBalanced(c);
}

TEST_F(LineDirectionTest, LatencyOnAnUnpacedLineStillDelays) {
  auto settings = Paced(0);
  settings.latency = milliseconds(20);
  LineDirection line(settings, Direction::kAToB);
  line.Accept(Bytes({9}), kStart);
  line.Arrive(kStart + milliseconds(19));
  EXPECT_TRUE(line.Receivable().empty());
  EXPECT_EQ(line.NextWake(kStart), std::optional(kStart + milliseconds(20)));
  line.Arrive(kStart + milliseconds(20));
  EXPECT_EQ(Take(line), Bytes({9}));
}

}  // namespace
}  // namespace vork::linesim
