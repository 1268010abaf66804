// One direction of the simulated cable: the sender's transmit queue, the
// line with its pacing, latency and faults, and the receiver's buffer.
//
// Model. Bytes read from the sending device are handed to the line at the
// time they were read. Each one (and each noise byte put before it) occupies
// one character time on a CharacterClock; it reaches the receiving side when
// its stop bit has been sent plus the one-way latency. A lost byte spends its
// character time and never arrives. The sender's transmit queue is bounded
// like a UART driver's: Room() says how many more bytes the line takes now,
// and the relay leaves the rest in the sending device (its writer then
// blocks, as on a real port with a full queue).
//
// Arrived bytes wait in a bounded receive buffer until the receiving device
// takes them. On a paced line a byte that arrives while that buffer is full
// is lost and counted as an overrun, as on a UART nobody reads; the line
// itself never waits for the receiver. Without pacing (baud 0) the line holds
// back instead: Room() is 0 while the receive buffer is full, so an
// unpaced relay behaves like a plain pseudo-terminal and loses nothing.
//
// Pure bookkeeping on the times it is given; not thread-safe (one owner, the
// relay thread).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "fault_injector.h"
#include "line_clock.h"

namespace vork::linesim {

struct DirectionCounters {
  std::uint64_t bytes_in = 0;      // read from the sending device
  std::uint64_t bytes_out = 0;     // written to the receiving device
  std::uint64_t flips = 0;         // bytes with one bit inverted
  std::uint64_t drops = 0;         // bytes lost on the line
  std::uint64_t noise_bytes = 0;   // random bytes inserted
  std::uint64_t noise_bursts = 0;  // bursts those came in
  std::uint64_t overruns = 0;      // bytes lost because the receiver's buffer was full
  std::uint64_t in_flight = 0;     // on the line now (sent, not yet arrived)
  std::uint64_t buffered = 0;      // arrived, not yet taken by the receiving device

  friend bool operator==(const DirectionCounters&, const DirectionCounters&) = default;
};

struct LineSettings {
  int baud = 115200;                          // 0: no pacing
  std::chrono::nanoseconds latency{0};        // one way, added to every byte
  FaultRates faults;
  std::uint64_t seed = 1;
  std::size_t transmit_queue_bytes = 4096;    // sender side, like a driver queue
  std::size_t receive_buffer_bytes = 4096;    // receiver side, before overrun
};

class LineDirection {
 public:
  // settings must be valid (baud 0 .. kMaxBaud, latency >= 0, faults without
  // Problem(), both sizes >= 1); the relay checks them.
  LineDirection(const LineSettings& settings, Direction direction);

  // How many more bytes the line takes from the sender at `now`.
  [[nodiscard]] std::size_t Room(TimePoint now) const;

  // Hands bytes read from the sender at `now` to the line (at most Room(now)
  // of them should be given; more are taken all the same).
  void Accept(std::span<const std::byte> bytes, TimePoint now);

  // Moves every byte that has arrived by `now` into the receive buffer,
  // counting overruns where it is full.
  void Arrive(TimePoint now);

  // The next time something changes without new input: a byte arrives, or,
  // while Room() is 0, the character on the line completes. Nothing when the
  // line is empty and not holding the sender back.
  [[nodiscard]] std::optional<TimePoint> NextWake(TimePoint now) const;

  // Bytes waiting for the receiving device, oldest first.
  [[nodiscard]] std::span<const std::byte> Receivable() const;
  // The receiving device took the first `count` bytes of Receivable().
  void Delivered(std::size_t count);

  [[nodiscard]] DirectionCounters counters() const;

 private:
  struct InFlight {
    TimePoint arrives;
    std::byte value;
  };

  void Schedule(std::byte value, TimePoint now);

  LineSettings settings_;
  CharacterClock clock_;
  FaultInjector faults_;
  std::deque<InFlight> line_;
  std::vector<std::byte> receive_buffer_;
  DirectionCounters counters_;
};

}  // namespace vork::linesim
