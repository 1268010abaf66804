// When each character of one direction of a serial line has been sent.
//
// A UART sends a character (start bit, 8 data bits, stop bit: 10 bit times)
// as soon as the previous one has left, or at once when the line is idle. The
// clock keeps the start of the current run of back-to-back characters and how
// many it holds, and derives every end time from those two by exact integer
// arithmetic, so a long transfer accumulates no rounding: the k-th character of
// a run ends at start + ceil(k * 10 s / baud), never earlier.
//
// Pure computation on the times it is given; not thread-safe (one owner).
#pragma once

#include <chrono>
#include <cstdint>

namespace vork::linesim {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC on Linux
using TimePoint = Clock::time_point;

inline constexpr int kBitsPerCharacter = 10;  // 8N1
inline constexpr int kMaxBaud = 10'000'000;

class CharacterClock {
 public:
  // baud 0: no pacing, every character is sent the moment it is handed over.
  // Otherwise 1 <= baud <= kMaxBaud (larger values could overflow the
  // arithmetic); the caller checks that.
  explicit CharacterClock(int baud) : baud_(baud) {}

  [[nodiscard]] bool paced() const { return baud_ > 0; }

  // Hands one character to the line at `handed` (times must not go back) and
  // returns when its stop bit has been sent.
  TimePoint Send(TimePoint handed);

  // Characters handed over whose stop bit has not been sent by `now`.
  [[nodiscard]] std::uint64_t Pending(TimePoint now) const;

  // When the character on the line at `now` will be complete; `now` itself
  // when the line is idle.
  [[nodiscard]] TimePoint CurrentCharacterEnd(TimePoint now) const;

  // Time the line needs for `characters` back-to-back characters at `baud`
  // (rounded up to the nanosecond); zero for baud 0.
  static std::chrono::nanoseconds Duration(std::uint64_t characters, int baud);

 private:
  // Characters of the current run that are complete `elapsed` after its start.
  [[nodiscard]] std::uint64_t CompleteAfter(std::chrono::nanoseconds elapsed) const;

  int baud_;
  TimePoint run_start_{};
  std::uint64_t run_characters_ = 0;
};

}  // namespace vork::linesim
