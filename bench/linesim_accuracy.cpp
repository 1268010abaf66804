// How closely the line simulator keeps to the wire time of a bulk transfer.
//
// A writer thread puts N random bytes into one device as fast as the line
// takes them; a reader thread takes them from the other device and notes the
// time of every read. The ideal time for the k-th byte is start + k * 10 /
// baud (+ latency): the line cannot be faster, and a perfect one is not
// slower. Reported per direction: total time against the ideal, the drift
// between the start and the end of the transfer, and how late the reads came
// against the ideal (a negative lateness would be a byte that came too
// early; the count of those is shown as "early").
//
// By default it runs the relay in-process; with --devices it measures a
// vork-linesim that is already running (give it the same --baud).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "line_clock.h"
#include "relay.h"
#include "unique_fd.h"

namespace {

using vork::link::UniqueFd;
using vork::linesim::CharacterClock;
using vork::linesim::Clock;
using vork::linesim::TimePoint;
using std::chrono::duration;
using std::chrono::nanoseconds;

struct Settings {
  int baud = 0;
  std::size_t bytes = 0;
  double latency_ms = 0;
  bool duplex = false;
  std::string device_a, device_b;  // empty: relay in-process
};

struct Arrival {
  TimePoint at;
  std::size_t count;
};

struct DirectionResult {
  TimePoint start;
  std::vector<Arrival> arrivals;
  bool complete = false;
  bool intact = false;
};

UniqueFd OpenDevice(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(1);
  }
  return fd;
}

bool WriteAll(int fd, const std::vector<std::byte>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, std::min<std::size_t>(4096, bytes.size() - done));
    if (put > 0) {
      done += static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd writable = {fd, POLLOUT, 0};
    if (::poll(&writable, 1, 60'000) <= 0) return false;
  }
  return true;
}

// Reads `expected` bytes (or gives up after a minute of silence), noting every read.
std::vector<std::byte> ReadAll(int fd, std::size_t expected, std::vector<Arrival>& arrivals) {
  std::vector<std::byte> got(expected);
  std::size_t have = 0;
  while (have < expected) {
    pollfd readable = {fd, POLLIN, 0};
    if (::poll(&readable, 1, 60'000) <= 0) break;
    const ssize_t n = ::read(fd, got.data() + have, expected - have);
    const TimePoint at = Clock::now();
    if (n > 0) {
      have += static_cast<std::size_t>(n);
      arrivals.push_back({at, have});
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    }
  }
  got.resize(have);
  return got;
}

std::vector<std::byte> RandomBytes(std::size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<std::byte> bytes(count);
  for (auto& b : bytes) b = static_cast<std::byte>(generator() & 0xFF);
  return bytes;
}

DirectionResult Transfer(int from, int to, std::size_t bytes, unsigned seed) {
  const auto data = RandomBytes(bytes, seed);
  DirectionResult result;
  auto reader = std::async(std::launch::async, [&] { return ReadAll(to, bytes, result.arrivals); });
  result.start = Clock::now();
  const bool written = WriteAll(from, data);
  const auto received = reader.get();
  result.complete = written && received.size() == bytes;
  result.intact = received == data;
  return result;
}

double Seconds(nanoseconds d) { return duration<double>(d).count(); }

void Report(const char* direction, const Settings& settings, const DirectionResult& r) {
  if (r.arrivals.empty() || !r.complete) {
    std::printf("%-5s transfer incomplete (%zu of %zu bytes)\n", direction,
                r.arrivals.empty() ? std::size_t{0} : r.arrivals.back().count, settings.bytes);
    return;
  }
  const auto latency = std::chrono::round<nanoseconds>(duration<double, std::milli>(settings.latency_ms));
  const auto ideal = [&](std::size_t count) {
    return CharacterClock::Duration(count, settings.baud) + latency;
  };
  const nanoseconds measured = r.arrivals.back().at - r.start;
  const nanoseconds expected = ideal(settings.bytes);
  const double error_ms = Seconds(measured - expected) * 1e3;

  std::vector<double> late_us;
  std::size_t early = 0;
  for (const Arrival& a : r.arrivals) {
    const nanoseconds late = (a.at - r.start) - ideal(a.count);
    if (late.count() < 0) ++early;
    late_us.push_back(duration<double, std::micro>(late).count());
  }
  // Drift: how much later the reads of the last tenth came than those of the
  // first tenth (medians, so one late wake-up does not count). Absolute
  // deadlines keep it near zero; the start-up delay does not enter it.
  const std::size_t tenth = std::max<std::size_t>(1, late_us.size() / 10);
  const auto median_of = [](std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
  };
  const double drift_ms =
      (median_of({late_us.end() - static_cast<std::ptrdiff_t>(tenth), late_us.end()}) -
       median_of({late_us.begin(), late_us.begin() + static_cast<std::ptrdiff_t>(tenth)})) / 1e3;
  std::sort(late_us.begin(), late_us.end());
  const auto quantile = [&](double q) {
    return late_us[std::min(late_us.size() - 1, static_cast<std::size_t>(q * static_cast<double>(late_us.size())))];
  };
  std::printf("%-5s %8d %9zu %12.6f %12.6f %+10.3f %+10.3f %8zu %9.1f %9.1f %9.1f %9.1f %5zu %s\n",
              direction, settings.baud, settings.bytes, Seconds(expected), Seconds(measured),
              error_ms, drift_ms, r.arrivals.size(), late_us.front(), quantile(0.5),
              quantile(0.99), late_us.back(), early, r.intact ? "yes" : "NO");
}

void Run(const Settings& settings) {
  std::optional<vork::linesim::Relay> relay;
  std::string path_a = settings.device_a, path_b = settings.device_b;
  if (path_a.empty()) {
    vork::linesim::RelayConfig config;
    config.baud = settings.baud;
    const auto latency = std::chrono::round<nanoseconds>(duration<double, std::milli>(settings.latency_ms));
    config.a_to_b.latency = config.b_to_a.latency = latency;
    relay.emplace(config);
    path_a = relay->path_a();
    path_b = relay->path_b();
  }
  const UniqueFd a = OpenDevice(path_a);
  const UniqueFd b = OpenDevice(path_b);
  if (settings.duplex) {
    auto reverse = std::async(std::launch::async,
                              [&] { return Transfer(b.get(), a.get(), settings.bytes, 2); });
    const DirectionResult forward = Transfer(a.get(), b.get(), settings.bytes, 1);
    const DirectionResult backward = reverse.get();
    Report("a->b", settings, forward);
    Report("b->a", settings, backward);
  } else {
    Report("a->b", settings, Transfer(a.get(), b.get(), settings.bytes, 1));
  }
  std::fflush(stdout);
}

template <typename Number>
bool Parse(std::string_view text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

int Usage() {
  std::fprintf(stderr,
               "usage: vork-bench-linesim [--baud N --bytes N] [--duplex] [--latency-ms MS]\n"
               "                          [--devices A B]\n"
               "Without --baud: 1 MiB at 115200 baud, then 16 KiB at 9600 baud.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  bool custom = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const std::string_view value = i + 1 < argc ? argv[i + 1] : "";
    bool ok = false;
    if (arg == "--duplex") {
      settings.duplex = true;
      continue;
    }
    if (arg == "--devices" && i + 2 < argc) {
      settings.device_a = argv[++i];
      settings.device_b = argv[++i];
      continue;
    }
    if (arg == "--baud") {
      ok = Parse(value, settings.baud) && settings.baud > 0 && settings.baud <= vork::linesim::kMaxBaud;
      custom = true;
    } else if (arg == "--bytes") {
      ok = Parse(value, settings.bytes) && settings.bytes > 0;
    } else if (arg == "--latency-ms") {
      ok = Parse(value, settings.latency_ms) && settings.latency_ms >= 0 && settings.latency_ms <= 60'000;
    }
    if (!ok) return Usage();
    ++i;
  }
  if (!settings.device_a.empty() && !custom) return Usage();  // the expectation needs the baud

  const std::string_view program = argv[0];
  std::string command(program.substr(program.rfind('/') + 1));  // npos + 1 is 0
  for (int i = 1; i < argc; ++i) command += std::string(" ") + argv[i];
  std::printf("# command: %s\n", command.c_str());
  std::printf("# expected = bytes * 10 / baud + latency; error = measured - expected;\n"
              "# drift = median lateness of the last tenth of the reads - that of the first tenth;\n"
              "# late = read time - ideal time of its last byte, over all reads, microseconds\n");
  std::printf("%-5s %8s %9s %12s %12s %10s %10s %8s %9s %9s %9s %9s %5s %s\n", "dir", "baud",
              "bytes", "expected_s", "measured_s", "error_ms", "drift_ms", "reads", "late_min",
              "late_p50", "late_p99", "late_max", "early", "intact");
  if (custom) {
    if (settings.bytes == 0) settings.bytes = 1 << 20;
    Run(settings);
    return 0;
  }
  for (const auto& [baud, bytes] : {std::pair{115200, std::size_t{1} << 20}, std::pair{9600, std::size_t{16} << 10}}) {
    settings.baud = baud;
    settings.bytes = bytes;
    Run(settings);
  }
  return 0;
}
