// Seeded line faults for one direction: bit flips, lost bytes, noise bursts.
//
// Every decision is drawn from a private generator (xoshiro256**, seeded by
// splitmix64 from the seed and the direction), in a fixed order per byte, so
// the same seed and the same bytes give the same faults on any machine and
// any standard library, however the bytes were split into reads. A rate of 0
// draws nothing, so switching one fault off leaves the others' sequence as
// it would be without that fault ever configured.
//
// Order per byte, as LineDirection applies it: NoiseBurstLength() (and that
// many NoiseByte()), then Drop(), then Flip() unless dropped.
//
// Not thread-safe (one owner).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vork::linesim {

enum class Direction { kAToB = 0, kBToA = 1 };

inline constexpr unsigned kMaxNoiseBurst = 4096;

struct FaultRates {
  double flip = 0;            // per byte: one of its 8 data bits is inverted
  double drop = 0;            // per byte: it is lost (its line time is still spent)
  double noise = 0;           // per byte: a burst of random bytes comes before it
  unsigned noise_burst = 8;   // a burst is 1 .. noise_burst bytes long, uniformly

  [[nodiscard]] bool any() const { return flip > 0 || drop > 0 || noise > 0; }
  // Why these rates are unusable (a probability outside [0, 1], a burst
  // length outside 1 .. kMaxNoiseBurst), or nothing when they are fine.
  [[nodiscard]] std::optional<std::string> Problem() const;
};

class FaultInjector {
 public:
  // rates must have passed Problem().
  FaultInjector(const FaultRates& rates, std::uint64_t seed, Direction direction);

  // Length of the noise burst to insert before the next byte; 0 for none.
  unsigned NoiseBurstLength();
  // One byte of noise.
  std::byte NoiseByte();
  // True when the next byte is lost.
  bool Drop();
  // Inverts one bit of `value` when a flip is due; returns whether it did.
  bool Flip(std::byte& value);

 private:
  std::uint64_t Next();
  bool Chance(double probability);
  std::uint64_t Below(std::uint64_t bound);

  FaultRates rates_;
  std::array<std::uint64_t, 4> state_{};
};

}  // namespace vork::linesim
