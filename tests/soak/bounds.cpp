#include "bounds.h"

namespace vork::soak {

namespace {

constexpr std::uint64_t kChunkBytes = 1024;
constexpr std::uint64_t kPlainExchangeAttempts = 4;
constexpr std::uint64_t kChunkAttempts = 4 + 3 * 4;

}  // namespace

const char* Name(Direction direction) {
  return direction == Direction::kToTerminal ? "pc->terminal" : "terminal->pc";
}

Milliseconds CallBounds::PerAttempt() const {
  const auto frame_ms = static_cast<std::int64_t>(kLargestFrameBytes) * 10 * 1000 / baud + 1;
  return response_timeout + Milliseconds(frame_ms) + per_attempt_slack;
}

std::uint64_t CallBounds::MaxAttempts(Direction direction, std::size_t size) const {
  // To the terminal: create (and delete, create again), then close.
  // To the PC: open, size, then close.
  const std::uint64_t plain = direction == Direction::kToTerminal ? 3 + 1 : 1 + 1 + 1;
  const std::uint64_t chunks = (size + kChunkBytes - 1) / kChunkBytes;
  return plain * kPlainExchangeAttempts + chunks * kChunkAttempts;
}

Milliseconds CallBounds::ForAttempts(std::uint64_t attempts) const {
  return slack + PerAttempt() * static_cast<std::int64_t>(attempts);
}

}  // namespace vork::soak
