#include "fault_injector.h"

#include <cmath>

namespace vork::linesim {

namespace {

std::uint64_t SplitMix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

constexpr std::uint64_t RotateLeft(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

bool IsProbability(double p) { return std::isfinite(p) && p >= 0.0 && p <= 1.0; }

}  // namespace

std::optional<std::string> FaultRates::Problem() const {
  if (!IsProbability(flip)) return "flip rate must be a probability between 0 and 1";
  if (!IsProbability(drop)) return "drop rate must be a probability between 0 and 1";
  if (!IsProbability(noise)) return "noise rate must be a probability between 0 and 1";
  if (noise_burst < 1 || noise_burst > kMaxNoiseBurst) {
    return "noise burst length must be between 1 and " + std::to_string(kMaxNoiseBurst);
  }
  return std::nullopt;
}

FaultInjector::FaultInjector(const FaultRates& rates, std::uint64_t seed, Direction direction)
    : rates_(rates) {
  // The two directions get unrelated streams from one seed.
  std::uint64_t mix = seed ^ (static_cast<std::uint64_t>(direction) + 1) * 0xd1b54a32d192ed03ULL;
  for (auto& word : state_) word = SplitMix64(mix);
}

std::uint64_t FaultInjector::Next() {
  const std::uint64_t result = RotateLeft(state_[1] * 5, 7) * 9;
  const std::uint64_t t = state_[1] << 17;
  state_[2] ^= state_[0];
  state_[3] ^= state_[1];
  state_[1] ^= state_[2];
  state_[0] ^= state_[3];
  state_[2] ^= t;
  state_[3] = RotateLeft(state_[3], 45);
  return result;
}

bool FaultInjector::Chance(double probability) {
  if (probability <= 0.0) return false;
  // 53 random bits as a double in [0, 1).
  const double uniform = static_cast<double>(Next() >> 11) * 0x1.0p-53;
  return uniform < probability;
}

std::uint64_t FaultInjector::Below(std::uint64_t bound) {
  // Multiply-shift on the top 32 bits; the bias is far below anything a test sees.
  return ((Next() >> 32) * bound) >> 32;
}

unsigned FaultInjector::NoiseBurstLength() {
  if (!Chance(rates_.noise)) return 0;
  return 1 + static_cast<unsigned>(Below(rates_.noise_burst));
}

std::byte FaultInjector::NoiseByte() { return static_cast<std::byte>(Next() >> 56); }

bool FaultInjector::Drop() { return Chance(rates_.drop); }

bool FaultInjector::Flip(std::byte& value) {
  if (!Chance(rates_.flip)) return false;
  value ^= static_cast<std::byte>(1U << Below(8));
  return true;
}

}  // namespace vork::linesim
