#include "line_direction.h"

#include <algorithm>

namespace vork::linesim {

namespace {

// Bytes that may be on the wire at once beyond the transmit queue (a long
// latency, or an unpaced line with latency); beyond this the sender waits.
constexpr std::size_t kMaxInFlight = std::size_t{1} << 20;

}  // namespace

LineDirection::LineDirection(const LineSettings& settings, Direction direction)
    : settings_(settings),
      clock_(settings.baud),
      faults_(settings.faults, settings.seed, direction) {
  receive_buffer_.reserve(settings_.receive_buffer_bytes);
}

std::size_t LineDirection::Room(TimePoint now) const {
  const std::size_t in_flight_room = kMaxInFlight - std::min(kMaxInFlight, line_.size());
  if (!clock_.paced()) {
    const std::size_t held = line_.size() + receive_buffer_.size();
    const std::size_t buffer_room =
        settings_.receive_buffer_bytes - std::min(settings_.receive_buffer_bytes, held);
    return std::min(buffer_room, in_flight_room);
  }
  const std::uint64_t pending = clock_.Pending(now);
  const std::size_t queue_room =
      pending >= settings_.transmit_queue_bytes
          ? 0
          : settings_.transmit_queue_bytes - static_cast<std::size_t>(pending);
  return std::min(queue_room, in_flight_room);
}

void LineDirection::Schedule(std::byte value, TimePoint now) {
  line_.push_back({clock_.Send(now) + settings_.latency, value});
}

void LineDirection::Accept(std::span<const std::byte> bytes, TimePoint now) {
  for (std::byte value : bytes) {
    ++counters_.bytes_in;
    if (const unsigned burst = faults_.NoiseBurstLength(); burst > 0) {
      ++counters_.noise_bursts;
      counters_.noise_bytes += burst;
      for (unsigned i = 0; i < burst; ++i) Schedule(faults_.NoiseByte(), now);
    }
    if (faults_.Drop()) {
      ++counters_.drops;
      (void)clock_.Send(now);  // the sender spent the time all the same
      continue;
    }
    if (faults_.Flip(value)) ++counters_.flips;
    Schedule(value, now);
  }
}

void LineDirection::Arrive(TimePoint now) {
  while (!line_.empty() && line_.front().arrives <= now) {
    // An unpaced line never overruns: Room() already held the sender back.
    if (clock_.paced() && receive_buffer_.size() >= settings_.receive_buffer_bytes) {
      ++counters_.overruns;
    } else {
      receive_buffer_.push_back(line_.front().value);
    }
    line_.pop_front();
  }
}

std::optional<TimePoint> LineDirection::NextWake(TimePoint now) const {
  std::optional<TimePoint> wake;
  if (!line_.empty()) wake = line_.front().arrives;
  if (clock_.paced() && Room(now) == 0 && clock_.Pending(now) > 0) {
    // Lost bytes leave no arrival behind; the sender must still be let on
    // when their character time is over.
    const TimePoint room_opens = clock_.CurrentCharacterEnd(now);
    wake = wake ? std::min(*wake, room_opens) : room_opens;
  }
  return wake;
}

std::span<const std::byte> LineDirection::Receivable() const { return receive_buffer_; }

void LineDirection::Delivered(std::size_t count) {
  count = std::min(count, receive_buffer_.size());
  receive_buffer_.erase(receive_buffer_.begin(),
                        receive_buffer_.begin() + static_cast<std::ptrdiff_t>(count));
  counters_.bytes_out += count;
}

DirectionCounters LineDirection::counters() const {
  DirectionCounters snapshot = counters_;
  snapshot.in_flight = line_.size();
  snapshot.buffered = receive_buffer_.size();
  return snapshot;
}

}  // namespace vork::linesim
