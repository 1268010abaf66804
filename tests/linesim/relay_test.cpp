// The relay between real pseudo-terminals, in real time. Timing checks here
// are lower bounds only (a slow machine cannot make them fail); how close
// the pacing comes to the ideal is measured by bench/linesim_accuracy.
#include "relay.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <system_error>

#include "device_user.h"

namespace vork::linesim {
namespace {

using std::chrono::milliseconds;
using testing::DeviceUser;
using testing::RandomBytes;
namespace fs = std::filesystem;

constexpr milliseconds kPatience(20'000);  // bound on every wait; never reached when all is well

RelayConfig Unlimited() {
  RelayConfig config;
  config.baud = 0;
  return config;
}

RelayConfig Paced(int baud) {
  RelayConfig config;
  config.baud = baud;
  return config;
}

// Sends `a_to_b` from A to B and `b_to_a` from B to A at the same time and
// returns what arrived at B and at A.
std::pair<std::vector<std::byte>, std::vector<std::byte>> Exchange(
    const DeviceUser& a, const DeviceUser& b, const std::vector<std::byte>& a_to_b,
    const std::vector<std::byte>& b_to_a) {
  auto write_a = std::async(std::launch::async, [&] { return a.WriteAll(a_to_b, kPatience); });
  auto write_b = std::async(std::launch::async, [&] { return b.WriteAll(b_to_a, kPatience); });
  auto at_a = std::async(std::launch::async, [&] { return a.Read(b_to_a.size(), kPatience); });
  auto at_b = b.Read(a_to_b.size(), kPatience);
  EXPECT_TRUE(write_a.get());
  EXPECT_TRUE(write_b.get());
  return {std::move(at_b), at_a.get()};
}

TEST(RelayTest, DeliversBytesIntactAndInOrderBothWays) {
  struct Case {
    int baud;
    std::size_t bytes;  // each way; about a third of a second of line time when paced
  };
  const Case cases[] = {{0, 256 * 1024}, {1'000'000, 32 * 1024}, {115200, 4 * 1024}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    RelayConfig config = Paced(c.baud);
    // Room for everything, so a reader the machine leaves waiting cannot
    // make the line overrun: losing bytes is not what this test looks at.
    config.receive_buffer_bytes = c.bytes;
    Relay relay(config);
    DeviceUser a(relay.path_a());
    DeviceUser b(relay.path_b());
    const auto a_to_b = RandomBytes(c.bytes, 1);
    const auto b_to_a = RandomBytes(c.bytes, 2);
    const auto [at_b, at_a] = Exchange(a, b, a_to_b, b_to_a);
    EXPECT_TRUE(at_b == a_to_b);
    EXPECT_TRUE(at_a == b_to_a);
    relay.Stop();
    const Counters counters = relay.counters();
    EXPECT_EQ(counters.a_to_b.bytes_in, c.bytes);
    EXPECT_EQ(counters.a_to_b.bytes_out, c.bytes);
    EXPECT_EQ(counters.b_to_a.bytes_out, c.bytes);
    EXPECT_EQ(counters.a_to_b.overruns + counters.b_to_a.overruns, 0U);
    EXPECT_FALSE(relay.failure());
  }
}

TEST(RelayTest, KeepsRelayingWhileEndsAreClosedAndReopened) {
  Relay relay(Paced(1'000'000));
  DeviceUser a(relay.path_a());
  std::uint64_t sent_to_b = 0;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    // Whatever was on its way to B when it closed has come out of the line.
    ASSERT_TRUE(relay.WaitUntil(
        [&](const Counters& c) { return c.a_to_b.bytes_out == sent_to_b; }, kPatience));
    DeviceUser b(relay.path_b());
    b.DiscardInput();  // as a program's open of a serial port does
    if (round % 3 == 2) {
      a.Close();
      a = DeviceUser(relay.path_a());
      a.DiscardInput();
    }
    const auto to_b = RandomBytes(300, static_cast<std::uint32_t>(round));
    const auto to_a = RandomBytes(200, 99);
    const auto [at_b, at_a] = Exchange(a, b, to_b, to_a);
    ASSERT_EQ(at_b, to_b);
    ASSERT_EQ(at_a, to_a);
    // B goes away with bytes still on their way to it.
    const std::byte late[16] = {};
    ASSERT_TRUE(a.WriteAll(late, kPatience));
    sent_to_b += to_b.size() + sizeof late;
  }
  EXPECT_FALSE(relay.failure());
}

TEST(RelayTest, PacedEndNobodyReadsOverrunsWithoutHoldingUpTheOtherDirection) {
  Relay relay(Paced(1'000'000));
  DeviceUser a(relay.path_a());
  DeviceUser b(relay.path_b());
  // More than the terminal's input queue and the relay's receive buffer hold.
  const auto flood = RandomBytes(48 * 1024, 5);
  auto writer = std::async(std::launch::async, [&] { return a.WriteAll(flood, kPatience); });
  ASSERT_TRUE(relay.WaitUntil([](const Counters& c) { return c.a_to_b.overruns > 0; }, kPatience));

  const auto reply = RandomBytes(2048, 6);
  ASSERT_TRUE(b.WriteAll(reply, kPatience));
  EXPECT_EQ(a.Read(reply.size(), kPatience), reply);

  ASSERT_TRUE(writer.get());
  ASSERT_TRUE(relay.WaitUntil(
      [&](const Counters& c) {
        return c.a_to_b.bytes_in == flood.size() && c.a_to_b.in_flight == 0;
      },
      kPatience));
  const DirectionCounters c = relay.counters().a_to_b;
  EXPECT_GT(c.overruns, 0U);
  const std::uint64_t survivors = flood.size() - c.overruns;
  EXPECT_EQ(c.bytes_out + c.buffered, survivors);
  // What B gets is the flood in order with the overrun bytes missing: nothing
  // invented, nothing repeated, and the start intact.
  const auto kept = b.Read(static_cast<std::size_t>(survivors), kPatience);
  ASSERT_EQ(kept.size(), survivors);
  EXPECT_TRUE(std::equal(flood.begin(), flood.begin() + 1024, kept.begin()));
  auto next = flood.begin();
  for (const std::byte value : kept) {
    next = std::find(next, flood.end(), value);
    ASSERT_NE(next, flood.end()) << "a byte B got is not in the flood in that order";
    ++next;
  }
}

TEST(RelayTest, UnpacedEndNobodyReadsHoldsItsSenderBackAndLosesNothing) {
  Relay relay(Unlimited());
  DeviceUser a(relay.path_a());
  DeviceUser b(relay.path_b());
  const auto flood = RandomBytes(256 * 1024, 7);
  auto writer = std::async(std::launch::async, [&] { return a.WriteAll(flood, kPatience); });
  // The relay's buffer for B is full: A's sender is being held back now.
  ASSERT_TRUE(relay.WaitUntil(
      [](const Counters& c) { return c.a_to_b.buffered >= RelayConfig{}.receive_buffer_bytes; },
      kPatience));

  const auto reply = RandomBytes(2048, 8);
  ASSERT_TRUE(b.WriteAll(reply, kPatience));
  EXPECT_EQ(a.Read(reply.size(), kPatience), reply);

  EXPECT_TRUE(b.Read(flood.size(), kPatience) == flood);
  EXPECT_TRUE(writer.get());
  EXPECT_EQ(relay.counters().a_to_b.overruns, 0U);
}

// What a line with these faults makes of `input`, computed offline by the
// line model itself with no device in between.
std::pair<std::vector<std::byte>, DirectionCounters> Expected(const RelayConfig& config,
                                                              Direction direction,
                                                              const std::vector<std::byte>& input) {
  LineSettings settings;
  settings.baud = 0;
  settings.faults = direction == Direction::kAToB ? config.a_to_b.faults : config.b_to_a.faults;
  settings.seed = config.seed;
  settings.receive_buffer_bytes = std::size_t{1} << 24;
  LineDirection line(settings, direction);
  const TimePoint now = Clock::now();
  line.Accept(input, now);
  line.Arrive(now);
  const auto out = line.Receivable();
  std::vector<std::byte> bytes(out.begin(), out.end());
  line.Delivered(bytes.size());
  return {bytes, line.counters()};
}

struct FaultRun {
  std::vector<std::byte> at_b, at_a;
  Counters counters;
};

FaultRun RunWithFaults(const RelayConfig& config, const std::vector<std::byte>& a_to_b,
                       const std::vector<std::byte>& b_to_a) {
  const auto expected_b = Expected(config, Direction::kAToB, a_to_b).first.size();
  const auto expected_a = Expected(config, Direction::kBToA, b_to_a).first.size();
  Relay relay(config);
  DeviceUser a(relay.path_a());
  DeviceUser b(relay.path_b());
  auto write_a = std::async(std::launch::async, [&] { return a.WriteAll(a_to_b, kPatience); });
  auto write_b = std::async(std::launch::async, [&] { return b.WriteAll(b_to_a, kPatience); });
  auto at_a = std::async(std::launch::async, [&] { return a.Read(expected_a, kPatience); });
  FaultRun run;
  run.at_b = b.Read(expected_b, kPatience);
  run.at_a = at_a.get();
  EXPECT_TRUE(write_a.get());
  EXPECT_TRUE(write_b.get());
  relay.Stop();
  run.counters = relay.counters();
  return run;
}

TEST(RelayTest, SeededFaultsAreReproducibleAndFollowTheModel) {
  RelayConfig config = Unlimited();
  config.seed = 2024;
  config.a_to_b.faults = {.flip = 1e-3, .drop = 1e-3, .noise = 1e-3, .noise_burst = 8};
  config.b_to_a.faults = {.flip = 2e-3, .drop = 0, .noise = 5e-4, .noise_burst = 4};
  const auto a_to_b = RandomBytes(96 * 1024, 10);
  const auto b_to_a = RandomBytes(96 * 1024, 11);

  const FaultRun first = RunWithFaults(config, a_to_b, b_to_a);
  const FaultRun second = RunWithFaults(config, a_to_b, b_to_a);
  EXPECT_TRUE(first.at_b == second.at_b);
  EXPECT_TRUE(first.at_a == second.at_a);
  EXPECT_EQ(first.counters, second.counters);

  // However the relay's reads split the bytes, it makes the model's decisions.
  const auto [model_b, model_ab] = Expected(config, Direction::kAToB, a_to_b);
  const auto [model_a, model_ba] = Expected(config, Direction::kBToA, b_to_a);
  EXPECT_TRUE(first.at_b == model_b);
  EXPECT_TRUE(first.at_a == model_a);
  EXPECT_EQ(first.counters.a_to_b, model_ab);
  EXPECT_EQ(first.counters.b_to_a, model_ba);
  EXPECT_GT(first.counters.a_to_b.flips, 0U);
  EXPECT_GT(first.counters.a_to_b.drops, 0U);
  EXPECT_GT(first.counters.b_to_a.noise_bytes, 0U);

  config.seed = 2025;
  const FaultRun other = RunWithFaults(config, a_to_b, b_to_a);
  EXPECT_FALSE(other.at_b == first.at_b);
  EXPECT_NE(other.counters, first.counters);
}

TEST(RelayTest, FaultCountsFollowTheRates) {
  struct Case {
    FaultRates rates;
  };
  const Case cases[] = {{{.flip = 1e-2}}, {{.drop = 3e-3}}, {{.noise = 2e-3, .noise_burst = 8}}};
  constexpr std::size_t kBytes = 128 * 1024;
  for (const auto& c : cases) {
    RelayConfig config = Unlimited();
    config.a_to_b.faults = c.rates;
    const FaultRun run = RunWithFaults(config, RandomBytes(kBytes, 12), {});
    const DirectionCounters& got = run.counters.a_to_b;
    const auto near = [](std::uint64_t observed, double p) {
      const double n = static_cast<double>(kBytes);
      return std::abs(static_cast<double>(observed) - p * n) <= 5 * std::sqrt(n * p) + 1;
    };
    EXPECT_TRUE(near(got.flips, c.rates.flip)) << got.flips;
    EXPECT_TRUE(near(got.drops, c.rates.drop)) << got.drops;
    EXPECT_TRUE(near(got.noise_bursts, c.rates.noise)) << got.noise_bursts;
    EXPECT_EQ(got.bytes_out, kBytes - got.drops + got.noise_bytes);
    EXPECT_EQ(run.at_b.size(), got.bytes_out);
  }
}

TEST(RelayTest, NoByteArrivesBeforeItsLineTime) {
  struct Case {
    int baud;
    std::size_t bytes;
    milliseconds latency;
    bool both_ways;
  };
  const Case cases[] = {{9600, 96, milliseconds(0), false},
                        {115200, 2304, milliseconds(0), true},
                        {115200, 288, milliseconds(40), false},
                        {57600, 1152, milliseconds(15), true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.baud << " baud, " << c.bytes << " bytes");
    RelayConfig config = Paced(c.baud);
    config.a_to_b.latency = config.b_to_a.latency = c.latency;
    Relay relay(config);
    DeviceUser a(relay.path_a());
    DeviceUser b(relay.path_b());
    const auto data = RandomBytes(c.bytes, 13);
    std::vector<DeviceUser::Arrival> at_b, at_a;
    const TimePoint start = Clock::now();
    ASSERT_TRUE(a.WriteAll(data, kPatience));
    if (c.both_ways) {
      ASSERT_TRUE(b.WriteAll(data, kPatience));
    }
    auto reverse = std::async(std::launch::async, [&] {
      return c.both_ways ? a.Read(data.size(), kPatience, &at_a) : std::vector<std::byte>{};
    });
    EXPECT_EQ(b.Read(data.size(), kPatience, &at_b), data);
    if (c.both_ways) {
      EXPECT_EQ(reverse.get(), data);
    }

    for (const auto* arrivals : {&at_b, &at_a}) {
      for (const auto& arrival : *arrivals) {
        const auto earliest = CharacterClock::Duration(arrival.count, c.baud) + c.latency;
        ASSERT_GE(arrival.at - start, earliest) << arrival.count << " bytes came too early";
      }
    }
    ASSERT_FALSE(at_b.empty());
  }
}

class RelayLifetimeTest : public ::testing::Test {
 protected:
  static std::size_t OpenDescriptors() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
  }

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "linesim-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

TEST_F(RelayLifetimeTest, DevicesHangUpAndLinksGoWhenTheRelayEnds) {
  RelayConfig config = Unlimited();
  config.a_link = (dir_ / "pc").string();
  config.b_link = (dir_ / "terminal").string();
  const std::size_t descriptors = OpenDescriptors();
  std::optional<Relay> relay(std::in_place, config);
  EXPECT_EQ(relay->path_a(), config.a_link);
  DeviceUser a(config.a_link);
  relay.reset();
  pollfd gone = {a.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&gone, 1, 2000), 1);
  EXPECT_NE(gone.revents & POLLHUP, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(config.a_link)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(config.b_link)));
  a.Close();
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(RelayLifetimeTest, FailedStartLeavesNothingBehind) {
  RelayConfig config = Unlimited();
  config.a_link = (dir_ / "pc").string();
  config.b_link = (dir_ / "missing" / "terminal").string();
  const std::size_t descriptors = OpenDescriptors();
  EXPECT_THROW(Relay relay(config), std::system_error);
  EXPECT_FALSE(fs::exists(fs::symlink_status(config.a_link)));
  EXPECT_EQ(OpenDescriptors(), descriptors);

  RelayConfig bad = Unlimited();
  bad.a_to_b.faults.flip = 2;
  EXPECT_THROW(Relay relay(bad), std::invalid_argument);
}

}  // namespace
}  // namespace vork::linesim
