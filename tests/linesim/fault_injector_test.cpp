#include "fault_injector.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <set>
#include <vector>

namespace vork::linesim {
namespace {

// Decisions for `count` bytes in the order the line draws them.
std::vector<int> Decisions(const FaultRates& rates, std::uint64_t seed, Direction direction,
                           int count) {
  FaultInjector injector(rates, seed, direction);
  std::vector<int> out;
  for (int i = 0; i < count; ++i) {
    const unsigned burst = injector.NoiseBurstLength();
    out.push_back(static_cast<int>(burst));
    for (unsigned j = 0; j < burst; ++j) out.push_back(static_cast<int>(injector.NoiseByte()));
    const bool dropped = injector.Drop();
    out.push_back(dropped ? -1 : 0);
    if (!dropped) {
      std::byte value{0x55};
      (void)injector.Flip(value);
      out.push_back(static_cast<int>(value));
    }
  }
  return out;
}

const FaultRates kBusy{.flip = 0.05, .drop = 0.05, .noise = 0.05, .noise_burst = 8};

TEST(FaultInjectorTest, SameSeedAndDirectionGiveTheSameFaults) {
  EXPECT_EQ(Decisions(kBusy, 42, Direction::kAToB, 5000), Decisions(kBusy, 42, Direction::kAToB, 5000));
}

TEST(FaultInjectorTest, SeedAndDirectionEachChangeTheFaults) {
  const auto base = Decisions(kBusy, 42, Direction::kAToB, 5000);
  EXPECT_NE(base, Decisions(kBusy, 43, Direction::kAToB, 5000));
  EXPECT_NE(base, Decisions(kBusy, 42, Direction::kBToA, 5000));
}

TEST(FaultInjectorTest, NoRatesMeansNoFaults) {
  FaultInjector injector(FaultRates{}, 7, Direction::kAToB);
  for (int i = 0; i < 10000; ++i) {
    std::byte value{0xA5};
    ASSERT_EQ(injector.NoiseBurstLength(), 0U);
    ASSERT_FALSE(injector.Drop());
    ASSERT_FALSE(injector.Flip(value));
    ASSERT_EQ(value, std::byte{0xA5});
  }
}

TEST(FaultInjectorTest, FlipInvertsExactlyOneBitAndReachesEveryBit) {
  FaultInjector injector(FaultRates{.flip = 1.0}, 3, Direction::kAToB);
  std::set<unsigned> bits;
  for (int i = 0; i < 1000; ++i) {
    std::byte value{0x3C};
    ASSERT_TRUE(injector.Flip(value));
    const auto changed = static_cast<unsigned>(value ^ std::byte{0x3C});
    ASSERT_EQ(std::popcount(changed), 1);
    bits.insert(changed);
  }
  EXPECT_EQ(bits.size(), 8U);
}

// Observed counts over a million bytes stay within five standard deviations
// of rate * bytes; the seed is fixed, so this is a check of the arithmetic,
// not a gamble.
TEST(FaultInjectorTest, CountsFollowTheRates) {
  struct Case {
    double flip, drop, noise;
    unsigned burst;
  };
  const Case cases[] = {{1e-2, 0, 0, 8}, {0, 1e-3, 0, 8}, {0, 0, 5e-3, 16}, {1e-4, 1e-4, 1e-4, 4},
                        {0.5, 0.5, 0.5, 1}};
  constexpr int kBytes = 1'000'000;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.flip << " " << c.drop << " " << c.noise);
    FaultInjector injector(FaultRates{c.flip, c.drop, c.noise, c.burst}, 11, Direction::kBToA);
    double flips = 0, drops = 0, bursts = 0, noise_bytes = 0;
    unsigned longest = 0;
    for (int i = 0; i < kBytes; ++i) {
      const unsigned burst = injector.NoiseBurstLength();
      if (burst > 0) ++bursts;
      noise_bytes += burst;
      longest = std::max(longest, burst);
      if (injector.Drop()) {
        ++drops;
        continue;
      }
      std::byte value{};
      if (injector.Flip(value)) ++flips;
    }
    const auto near = [](double observed, double p, double trials) {
      const double sigma = std::sqrt(trials * p * (1 - p));
      return std::abs(observed - p * trials) <= 5 * sigma + 1;
    };
    EXPECT_TRUE(near(drops, c.drop, kBytes)) << drops;
    EXPECT_TRUE(near(flips, c.flip, kBytes - drops)) << flips;
    EXPECT_TRUE(near(bursts, c.noise, kBytes)) << bursts;
    EXPECT_LE(longest, c.burst);
    if (bursts > 100) {
      // Burst lengths are uniform in 1..burst: mean (burst + 1) / 2.
      EXPECT_NEAR(noise_bytes / bursts, (c.burst + 1) / 2.0, 0.15 * c.burst);
    }
  }
}

TEST(FaultInjectorTest, NoiseBytesCoverEveryValue) {
  FaultInjector injector(FaultRates{.noise = 1.0}, 5, Direction::kAToB);
  std::set<std::byte> seen;
  for (int i = 0; i < 20000; ++i) seen.insert(injector.NoiseByte());
  EXPECT_EQ(seen.size(), 256U);
}

TEST(FaultRatesTest, RefusesWhatIsNoProbabilityOrBurst) {
  const FaultRates bad[] = {{.flip = -0.1},  {.drop = 1.5},
                            {.noise = NAN},  {.flip = INFINITY},
                            {.noise_burst = 0}, {.noise_burst = kMaxNoiseBurst + 1}};
  for (const auto& rates : bad) EXPECT_TRUE(rates.Problem().has_value());
  EXPECT_FALSE((FaultRates{.flip = 1, .drop = 0, .noise = 1e-9, .noise_burst = kMaxNoiseBurst})
                   .Problem()
                   .has_value());
}

}  // namespace
}  // namespace vork::linesim
