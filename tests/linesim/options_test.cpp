#include "options.h"

#include <gtest/gtest.h>

#include <vector>

namespace vork::linesim {
namespace {

using std::chrono::milliseconds;

ParseResult Parse(std::vector<std::string_view> args) { return ParseCommandLine(args); }

TEST(OptionsTest, DefaultsAreA115200BaudCleanLine) {
  const auto result = Parse({});
  ASSERT_TRUE(result.options) << result.error;
  const RelayConfig& relay = result.options->relay;
  EXPECT_EQ(relay.baud, 115200);
  EXPECT_FALSE(relay.a_to_b.faults.any());
  EXPECT_FALSE(relay.b_to_a.faults.any());
  EXPECT_EQ(relay.a_to_b.latency.count(), 0);
  EXPECT_TRUE(relay.a_link.empty());
  EXPECT_FALSE(result.options->control);
}

TEST(OptionsTest, FullCommandLine) {
  const auto result =
      Parse({"--a", "/tmp/x/pc", "--b=/tmp/x/terminal", "--baud", "9600", "--latency-ms", "2.5",
             "--seed", "99", "--flip", "1e-4", "--drop=ab:0.001", "--noise", "ba:1e-5",
             "--noise-burst", "16", "--counters", "/tmp/c", "--control", "--tx-queue", "128",
             "--rx-buffer", "256"});
  ASSERT_TRUE(result.options) << result.error;
  const auto& options = *result.options;
  const RelayConfig& relay = options.relay;
  EXPECT_EQ(relay.a_link, "/tmp/x/pc");
  EXPECT_EQ(relay.b_link, "/tmp/x/terminal");
  EXPECT_EQ(relay.baud, 9600);
  EXPECT_EQ(relay.seed, 99U);
  EXPECT_EQ(relay.a_to_b.latency, std::chrono::microseconds(2500));
  EXPECT_EQ(relay.b_to_a.latency, std::chrono::microseconds(2500));
  EXPECT_EQ(relay.a_to_b.faults.flip, 1e-4);
  EXPECT_EQ(relay.b_to_a.faults.flip, 1e-4);
  EXPECT_EQ(relay.a_to_b.faults.drop, 0.001);
  EXPECT_EQ(relay.b_to_a.faults.drop, 0.0);
  EXPECT_EQ(relay.a_to_b.faults.noise, 0.0);
  EXPECT_EQ(relay.b_to_a.faults.noise, 1e-5);
  EXPECT_EQ(relay.a_to_b.faults.noise_burst, 16U);
  EXPECT_EQ(relay.transmit_queue_bytes, 128U);
  EXPECT_EQ(relay.receive_buffer_bytes, 256U);
  EXPECT_EQ(options.counters_file, "/tmp/c");
  EXPECT_TRUE(options.control);
}

TEST(OptionsTest, LaterDirectionalValueOverridesTheCommonOne) {
  const auto result = Parse({"--latency-ms", "10", "--latency-ms", "ba:0", "--unlimited"});
  ASSERT_TRUE(result.options) << result.error;
  EXPECT_EQ(result.options->relay.a_to_b.latency, milliseconds(10));
  EXPECT_EQ(result.options->relay.b_to_a.latency, milliseconds(0));
  EXPECT_EQ(result.options->relay.baud, 0);
}

TEST(OptionsTest, RefusesBadCommandLines) {
  struct Case {
    std::vector<std::string_view> args;
    std::string_view error_part;
  };
  const Case cases[] = {
      {{"--bogus"}, "unknown option"},
      {{"--baud"}, "needs a value"},
      {{"--baud", "0"}, "bad value"},
      {{"--baud", "-9600"}, "bad value"},
      {{"--baud", "9600x"}, "bad value"},
      {{"--baud", "20000000"}, "bad value"},
      {{"--baud", "9600", "--unlimited"}, "exclude"},
      {{"--flip", "1.5"}, "bad value"},
      {{"--drop", "-0.1"}, "bad value"},
      {{"--noise", "nan"}, "bad value"},
      {{"--noise", "xy:0.1"}, "bad value"},
      {{"--noise-burst", "0"}, "bad value"},
      {{"--latency-ms", "-1"}, "bad value"},
      {{"--latency-ms", "60001"}, "bad value"},
      {{"--seed", "abc"}, "bad value"},
      {{"--tx-queue", "0"}, "bad value"},
      {{"--a", ""}, "bad value"},
      {{"--control=yes"}, "takes no value"},
      {{"--a", "/tmp/same", "--b", "/tmp/same"}, "different paths"},
  };
  for (const auto& c : cases) {
    const auto result = Parse(c.args);
    EXPECT_FALSE(result.options) << c.args.front();
    EXPECT_NE(result.error.find(c.error_part), std::string::npos)
        << c.args.front() << ": " << result.error;
  }
}

TEST(OptionsTest, HelpNeedsNothingElse) {
  const auto result = Parse({"--help"});
  ASSERT_TRUE(result.options);
  EXPECT_TRUE(result.options->help);
  EXPECT_NE(UsageText().find("--noise-burst"), std::string_view::npos);
}

}  // namespace
}  // namespace vork::linesim
