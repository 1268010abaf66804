#include "line_clock.h"

#include <algorithm>

namespace vork::linesim {

namespace {

// Nanoseconds of 10 bits at 1 baud: the numerator of every character time.
constexpr std::int64_t kNanosPerCharacterAtOneBaud = 1'000'000'000LL * kBitsPerCharacter;

}  // namespace

std::chrono::nanoseconds CharacterClock::Duration(std::uint64_t characters, int baud) {
  if (baud <= 0) return std::chrono::nanoseconds(0);
  // ceil(characters * 1e10 / baud) without overflowing: split off whole
  // multiples of baud first, so the remainder product stays below 1e17.
  const auto rate = static_cast<std::uint64_t>(baud);
  const std::uint64_t whole = characters / rate;
  const std::uint64_t rest = characters % rate;
  const auto per = static_cast<std::uint64_t>(kNanosPerCharacterAtOneBaud);
  const std::uint64_t nanos = whole * per + (rest * per + rate - 1) / rate;
  return std::chrono::nanoseconds(static_cast<std::int64_t>(nanos));
}

std::uint64_t CharacterClock::CompleteAfter(std::chrono::nanoseconds elapsed) const {
  if (elapsed.count() <= 0) return 0;
  // Character k is complete once ceil(k * 1e10 / baud) <= elapsed, that is
  // k <= floor(elapsed * baud / 1e10); split again to stay inside 64 bits.
  const auto e = static_cast<std::uint64_t>(elapsed.count());
  const auto per = static_cast<std::uint64_t>(kNanosPerCharacterAtOneBaud);
  const auto rate = static_cast<std::uint64_t>(baud_);
  return (e / per) * rate + ((e % per) * rate) / per;
}

TimePoint CharacterClock::Send(TimePoint handed) {
  if (!paced()) return handed;
  if (run_characters_ == 0 || handed >= run_start_ + Duration(run_characters_, baud_)) {
    // The line went idle before this character: a new run starts now.
    run_start_ = handed;
    run_characters_ = 0;
  }
  ++run_characters_;
  return run_start_ + Duration(run_characters_, baud_);
}

std::uint64_t CharacterClock::Pending(TimePoint now) const {
  if (!paced() || run_characters_ == 0) return 0;
  const std::uint64_t complete = std::min(run_characters_, CompleteAfter(now - run_start_));
  return run_characters_ - complete;
}

TimePoint CharacterClock::CurrentCharacterEnd(TimePoint now) const {
  if (Pending(now) == 0) return now;
  const std::uint64_t complete = CompleteAfter(now - run_start_);
  return run_start_ + Duration(complete + 1, baud_);
}

}  // namespace vork::linesim
