#include "options.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace vork::linesim {

namespace {

constexpr std::string_view kUsage =
    "usage: vork-linesim [options]\n"
    "\n"
    "Two virtual serial devices, A and B, joined by a simulated RS-232 cable.\n"
    "Prints \"ready <A> <B>\" on stdout once it relays; runs until SIGINT or SIGTERM\n"
    "(or 'quit' / end of input with --control), then prints its counters.\n"
    "\n"
    "  --a PATH              publish device A as a symbolic link at PATH\n"
    "  --b PATH              publish device B as a symbolic link at PATH\n"
    "  --baud N              line speed in bits per second, 8N1 (default 115200)\n"
    "  --unlimited           no pacing: bytes pass as fast as the devices take them\n"
    "  --latency-ms [D:]MS   one-way delay added to every byte (default 0)\n"
    "  --seed N              seed of the fault generator (default 1)\n"
    "  --flip [D:]P          probability per byte that one bit of it is inverted\n"
    "  --drop [D:]P          probability per byte that it is lost\n"
    "  --noise [D:]P         probability per byte that a burst of random bytes precedes it\n"
    "  --noise-burst [D:]N   a burst is 1..N bytes long (default 8)\n"
    "  --tx-queue BYTES      sender's transmit queue (default 4096)\n"
    "  --rx-buffer BYTES     receiver's buffer before overrun (default 4096)\n"
    "  --counters FILE       write counters to FILE instead of stderr\n"
    "  --control             read commands from stdin: counters, release, quit\n"
    "  --help                show this text\n"
    "\n"
    "D is ab (written on A, read on B) or ba; without it both directions.\n"
    "SIGUSR1 prints the counters, SIGUSR2 ends exclusive holds on both devices.\n";

using Args = std::span<const std::string_view>;

struct Split {
  std::optional<Direction> direction;  // nothing: both
  std::string_view value;
};

Split SplitDirection(std::string_view value) {
  if (value.starts_with("ab:")) return {Direction::kAToB, value.substr(3)};
  if (value.starts_with("ba:")) return {Direction::kBToA, value.substr(3)};
  return {std::nullopt, value};
}

template <typename Number>
std::optional<Number> ParseNumber(std::string_view text) {
  Number value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

class Parser {
 public:
  ParseResult Run(Args args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
      std::string_view name = args[i];
      std::optional<std::string_view> inline_value;
      if (const auto equals = name.find('='); name.starts_with("--") && equals != name.npos) {
        inline_value = name.substr(equals + 1);
        name = name.substr(0, equals);
      }
      if (const auto flag = flags_.find(name); flag != flags_.end()) {
        if (inline_value) return Fail(std::string(name) + " takes no value");
        flag->second();
        continue;
      }
      const auto option = valued_.find(name);
      if (option == valued_.end()) return Fail("unknown option " + std::string(args[i]));
      std::string_view value;
      if (inline_value) {
        value = *inline_value;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return Fail(std::string(name) + " needs a value");
      }
      if (!option->second(value)) {
        return Fail("bad value '" + std::string(value) + "' for " + std::string(name));
      }
    }
    if (unlimited_ && baud_given_) return Fail("--baud and --unlimited exclude each other");
    if (unlimited_) options_.relay.baud = 0;
    if (!options_.help) {
      if (auto problem = options_.relay.Problem()) return Fail(*problem);
    }
    return {options_, {}};
  }

 private:
  static ParseResult Fail(std::string error) { return {std::nullopt, std::move(error)}; }

  // Applies `apply` to the direction(s) the value names.
  bool PerDirection(std::string_view value,
                    const std::function<bool(DirectionConfig&, std::string_view)>& apply) {
    const Split split = SplitDirection(value);
    bool ok = true;
    if (split.direction != Direction::kBToA) ok = apply(options_.relay.a_to_b, split.value) && ok;
    if (split.direction != Direction::kAToB) ok = apply(options_.relay.b_to_a, split.value) && ok;
    return ok;
  }

  bool Rate(std::string_view value, double FaultRates::*field) {
    return PerDirection(value, [field](DirectionConfig& d, std::string_view text) {
      const auto rate = ParseNumber<double>(text);
      if (!rate || !std::isfinite(*rate) || *rate < 0.0 || *rate > 1.0) return false;
      d.faults.*field = *rate;
      return true;
    });
  }

  bool Bytes(std::string_view value, std::size_t& field) {
    const auto bytes = ParseNumber<std::size_t>(value);
    if (!bytes || *bytes == 0) return false;
    field = *bytes;
    return true;
  }

  ProgramOptions options_;
  bool baud_given_ = false;
  bool unlimited_ = false;

  const std::map<std::string_view, std::function<void()>> flags_ = {
      {"--help", [this] { options_.help = true; }},
      {"-h", [this] { options_.help = true; }},
      {"--control", [this] { options_.control = true; }},
      {"--unlimited", [this] { unlimited_ = true; }},
  };

  const std::map<std::string_view, std::function<bool(std::string_view)>> valued_ = {
      {"--a", [this](std::string_view v) { return Path(v, options_.relay.a_link); }},
      {"--b", [this](std::string_view v) { return Path(v, options_.relay.b_link); }},
      {"--counters", [this](std::string_view v) { return Path(v, options_.counters_file); }},
      {"--baud",
       [this](std::string_view v) {
         const auto baud = ParseNumber<int>(v);
         if (!baud || *baud < 1 || *baud > kMaxBaud) return false;
         options_.relay.baud = *baud;
         baud_given_ = true;
         return true;
       }},
      {"--seed",
       [this](std::string_view v) {
         const auto seed = ParseNumber<std::uint64_t>(v);
         if (!seed) return false;
         options_.relay.seed = *seed;
         return true;
       }},
      {"--latency-ms",
       [this](std::string_view v) {
         return PerDirection(v, [](DirectionConfig& d, std::string_view text) {
           const auto ms = ParseNumber<double>(text);
           if (!ms || !std::isfinite(*ms) || *ms < 0.0 ||
               *ms > std::chrono::duration<double, std::milli>(kMaxLatency).count()) {
             return false;
           }
           d.latency = std::chrono::nanoseconds(std::llround(*ms * 1e6));
           return true;
         });
       }},
      {"--flip", [this](std::string_view v) { return Rate(v, &FaultRates::flip); }},
      {"--drop", [this](std::string_view v) { return Rate(v, &FaultRates::drop); }},
      {"--noise", [this](std::string_view v) { return Rate(v, &FaultRates::noise); }},
      {"--noise-burst",
       [this](std::string_view v) {
         return PerDirection(v, [](DirectionConfig& d, std::string_view text) {
           const auto length = ParseNumber<unsigned>(text);
           if (!length || *length < 1 || *length > kMaxNoiseBurst) return false;
           d.faults.noise_burst = *length;
           return true;
         });
       }},
      {"--tx-queue",
       [this](std::string_view v) { return Bytes(v, options_.relay.transmit_queue_bytes); }},
      {"--rx-buffer",
       [this](std::string_view v) { return Bytes(v, options_.relay.receive_buffer_bytes); }},
  };

  static bool Path(std::string_view value, std::string& field) {
    if (value.empty()) return false;
    field = std::string(value);
    return true;
  }
};

}  // namespace

ParseResult ParseCommandLine(Args args) { return Parser().Run(args); }

std::string_view UsageText() { return kUsage; }

}  // namespace vork::linesim
