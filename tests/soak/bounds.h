// How long a copy may take over the link, derived from its attempt loops.
//
// Every attempt of an exchange ends within the response time-out after its
// frame was written, and in stop-and-wait a frame never waits behind more
// than itself on the line, so one attempt takes at most the time-out plus
// the line time of the largest frame. A copy makes at most 4 attempts per
// plain exchange (open, size, close; create, and the delete and second
// create of a replaced target) and, per 1024-byte chunk, 4 chunk attempts
// plus 4 re-position attempts before each of the 3 repeats: 16.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vork::soak {

using Milliseconds = std::chrono::milliseconds;

enum class Direction { kToTerminal, kToPc };

[[nodiscard]] const char* Name(Direction direction);

// A compressed 1039-byte message (1050 bytes) with every byte escaped.
inline constexpr std::size_t kLargestFrameBytes = 7 + 2 * 1050;

struct CallBounds {
  Milliseconds response_timeout{5000};
  int baud = 115200;
  Milliseconds slack{2000};             // local file work and scheduling, per call
  Milliseconds per_attempt_slack{10};   // waking up after a time-out

  [[nodiscard]] Milliseconds PerAttempt() const;
  // The attempts a whole copy of `size` bytes may make at most.
  [[nodiscard]] std::uint64_t MaxAttempts(Direction direction, std::size_t size) const;
  // The longest a call that made `attempts` attempts may take.
  [[nodiscard]] Milliseconds ForAttempts(std::uint64_t attempts) const;
};

}  // namespace vork::soak
