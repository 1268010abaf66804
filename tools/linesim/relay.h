// The line simulator: two virtual serial devices joined by a simulated cable.
//
// Model. Device A and device B are pseudo-terminals (VirtualDevice). What a
// program writes to A travels the A-to-B direction of the cable and comes out
// of B, and the other way round; each direction is a LineDirection of its
// own (pacing at the baud rate, latency, faults, bounded queues), so the two
// never wait for each other. One relay thread owns both directions: it polls
// the two far ends, a timerfd armed on absolute CLOCK_MONOTONIC deadlines
// (the next byte due), and a stop wake-up; it reads what the senders wrote,
// and writes what has arrived in small batches, never blocking on a device.
//
// Threads. The constructor starts the relay thread; every public function
// may be called from any thread. Stop() and the destructor end it and join.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "line_direction.h"
#include "signals.h"
#include "virtual_device.h"

namespace vork::linesim {

struct DirectionConfig {
  std::chrono::nanoseconds latency{0};
  FaultRates faults;
};

struct RelayConfig {
  int baud = 115200;  // 0: no pacing ("unlimited")
  std::uint64_t seed = 1;
  DirectionConfig a_to_b;
  DirectionConfig b_to_a;
  std::string a_link;  // where to publish device A; empty: not published
  std::string b_link;
  std::size_t transmit_queue_bytes = 4096;
  std::size_t receive_buffer_bytes = 4096;

  // Why the configuration is unusable, or nothing when it is fine.
  [[nodiscard]] std::optional<std::string> Problem() const;
};

inline constexpr std::chrono::seconds kMaxLatency{60};

struct Counters {
  DirectionCounters a_to_b;
  DirectionCounters b_to_a;

  friend bool operator==(const Counters&, const Counters&) = default;
};

// Two lines a script can split on blanks and '=':
//   counters ab bytes_in=.. bytes_out=.. flips=.. drops=.. noise_bytes=.. noise_bursts=..
//               overruns=.. in_flight=.. buffered=..
//   counters ba ...
[[nodiscard]] std::string FormatCounters(const Counters& counters);

class Relay {
 public:
  // Makes both devices (and their links), then starts relaying. Throws
  // std::invalid_argument for a configuration with a Problem(), and
  // std::system_error when a device, link, timer or the thread cannot be
  // made; nothing is left behind then.
  explicit Relay(const RelayConfig& config);
  // Stops (as Stop()) and removes the devices and links: programs that still
  // hold a device see it hang up.
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Paths for programs to open (the link when published, else /dev/pts/N).
  [[nodiscard]] const std::string& path_a() const { return device_a_.path(); }
  [[nodiscard]] const std::string& path_b() const { return device_b_.path(); }

  // A consistent snapshot of both directions' counters; never blocks for long.
  [[nodiscard]] Counters counters() const;

  // Blocks until `done` holds for the counters (checked at once and whenever
  // they change), `timeout` passes, or the relay has ended. Returns whether
  // `done` held. `done` runs under the relay's lock: keep it short.
  [[nodiscard]] bool WaitUntil(const std::function<bool(const Counters&)>& done,
                               std::chrono::milliseconds timeout) const;

  // Ends any exclusive hold on either device (see VirtualDevice). Returns
  // false when a device refused.
  bool ReleaseExclusive() const;

  // Ends relaying and joins the thread; bytes still on the line are
  // discarded. Idempotent. Blocks only until the thread has seen the request.
  void Stop();

  // Readable (POLLIN) once the relay thread has ended, by Stop() or by a
  // failure. Owned by the relay.
  [[nodiscard]] int finished_fd() const { return finished_.fd(); }
  // Why the relay ended by itself (a device failed), or nothing.
  [[nodiscard]] std::optional<std::string> failure() const;

 private:
  void Run();
  void Loop();

  const RelayConfig config_;
  VirtualDevice device_a_;
  VirtualDevice device_b_;
  link::UniqueFd timer_;
  link::Wakeup stop_;
  link::Wakeup finished_;

  mutable std::mutex state_mutex_;  // guards published_, ended_ and failure_
  mutable std::condition_variable state_changed_;
  Counters published_;
  bool ended_ = false;
  std::optional<std::string> failure_;

  std::mutex stop_mutex_;  // serializes Stop()
  std::thread thread_;     // last: starts once everything above exists
};

}  // namespace vork::linesim
