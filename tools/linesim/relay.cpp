#include "relay.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace vork::linesim {

namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kMaxQueueBytes = std::size_t{1} << 24;

RelayConfig Checked(const RelayConfig& config) {
  if (auto problem = config.Problem()) throw std::invalid_argument(*problem);
  return config;
}

link::UniqueFd MakeTimer() {
  link::UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!timer) throw std::system_error(errno, std::generic_category(), "timerfd_create");
  return timer;
}

LineSettings SettingsFor(const RelayConfig& config, const DirectionConfig& direction) {
  LineSettings settings;
  settings.baud = config.baud;
  settings.latency = direction.latency;
  settings.faults = direction.faults;
  settings.seed = config.seed;
  settings.transmit_queue_bytes = config.transmit_queue_bytes;
  settings.receive_buffer_bytes = config.receive_buffer_bytes;
  return settings;
}

std::optional<std::string> DirectionProblem(const DirectionConfig& direction, const char* name) {
  if (direction.latency.count() < 0 || direction.latency > kMaxLatency) {
    return std::string(name) + ": latency must be between 0 and " +
           std::to_string(kMaxLatency.count()) + " s";
  }
  if (auto problem = direction.faults.Problem()) return std::string(name) + ": " + *problem;
  return std::nullopt;
}

// Arms the timer for an absolute CLOCK_MONOTONIC deadline (steady_clock is
// that clock), or disarms it for TimePoint::max().
void Arm(int timer, TimePoint deadline) {
  itimerspec due{};
  if (deadline != TimePoint::max()) {
    const auto since_boot = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_boot);
    due.it_value.tv_sec = static_cast<time_t>(seconds.count());
    due.it_value.tv_nsec = static_cast<long>((since_boot - seconds).count());
    // A zero value would disarm; monotonic time is never zero in practice.
    if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0) due.it_value.tv_nsec = 1;
  }
  if (::timerfd_settime(timer, TFD_TIMER_ABSTIME, &due, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "timerfd_settime");
  }
}

std::optional<TimePoint> Earliest(std::optional<TimePoint> a, std::optional<TimePoint> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// One device as the relay sees it: what its program sends goes out on
// `sends`, what arrives on `receives` is written to it.
struct End {
  int fd;
  LineDirection& sends;
  LineDirection& receives;
  const std::string& name;
};

// Writes what has arrived for this end; a full device is no error (the rest
// waits for POLLOUT or overruns).
void WriteArrived(const End& end) {
  const auto bytes = end.receives.Receivable();
  if (bytes.empty()) return;
  const ssize_t put = ::write(end.fd, bytes.data(), bytes.size());
  if (put > 0) {
    end.receives.Delivered(static_cast<std::size_t>(put));
  } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
    throw std::system_error(errno, std::generic_category(), "write to " + end.name);
  }
}

// Reads what the end's program sent, as much as the line takes now.
void ReadSent(const End& end, std::vector<std::byte>& chunk, TimePoint now) {
  const std::size_t room = std::min(end.sends.Room(now), chunk.size());
  if (room == 0) return;
  const ssize_t got = ::read(end.fd, chunk.data(), room);
  if (got > 0) {
    end.sends.Accept(std::span(chunk.data(), static_cast<std::size_t>(got)), now);
  } else if (got == 0) {
    throw std::runtime_error(end.name + " hung up");
  } else if (errno != EAGAIN && errno != EINTR) {
    throw std::system_error(errno, std::generic_category(), "read from " + end.name);
  }
}

void AppendDirection(std::string& out, const char* name, const DirectionCounters& c) {
  out += "counters ";
  out += name;
  out += " bytes_in=" + std::to_string(c.bytes_in);
  out += " bytes_out=" + std::to_string(c.bytes_out);
  out += " flips=" + std::to_string(c.flips);
  out += " drops=" + std::to_string(c.drops);
  out += " noise_bytes=" + std::to_string(c.noise_bytes);
  out += " noise_bursts=" + std::to_string(c.noise_bursts);
  out += " overruns=" + std::to_string(c.overruns);
  out += " in_flight=" + std::to_string(c.in_flight);
  out += " buffered=" + std::to_string(c.buffered);
  out += '\n';
}

}  // namespace

std::optional<std::string> RelayConfig::Problem() const {
  if (baud < 0 || baud > kMaxBaud) {
    return "baud rate must be between 1 and " + std::to_string(kMaxBaud) + " (0: unlimited)";
  }
  if (auto problem = DirectionProblem(a_to_b, "a-to-b")) return problem;
  if (auto problem = DirectionProblem(b_to_a, "b-to-a")) return problem;
  if (transmit_queue_bytes < 1 || transmit_queue_bytes > kMaxQueueBytes ||
      receive_buffer_bytes < 1 || receive_buffer_bytes > kMaxQueueBytes) {
    return "queue sizes must be between 1 and " + std::to_string(kMaxQueueBytes) + " bytes";
  }
  if (!a_link.empty() && a_link == b_link) return "the two devices need different paths";
  return std::nullopt;
}

std::string FormatCounters(const Counters& counters) {
  std::string out;
  AppendDirection(out, "ab", counters.a_to_b);
  AppendDirection(out, "ba", counters.b_to_a);
  return out;
}

Relay::Relay(const RelayConfig& config)
    : config_(Checked(config)),
      device_a_(config_.a_link),
      device_b_(config_.b_link),
      timer_(MakeTimer()),
      thread_([this] { Run(); }) {}

Relay::~Relay() { Stop(); }

Counters Relay::counters() const {
  std::lock_guard lock(state_mutex_);
  return published_;
}

std::optional<std::string> Relay::failure() const {
  std::lock_guard lock(state_mutex_);
  return failure_;
}

bool Relay::ReleaseExclusive() const {
  const bool a = device_a_.ReleaseExclusive();
  const bool b = device_b_.ReleaseExclusive();
  return a && b;
}

void Relay::Stop() {
  std::lock_guard lock(stop_mutex_);
  stop_.Raise();
  if (thread_.joinable()) thread_.join();
}

bool Relay::WaitUntil(const std::function<bool(const Counters&)>& done,
                      std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_mutex_);
  state_changed_.wait_for(lock, timeout, [&] { return ended_ || done(published_); });
  return done(published_);
}

void Relay::Run() {
  std::optional<std::string> failure;
  try {
    Loop();
  } catch (const std::exception& error) {
    failure = error.what();
  }
  {
    std::lock_guard lock(state_mutex_);
    failure_ = std::move(failure);
    ended_ = true;
  }
  state_changed_.notify_all();
  finished_.Raise();
}

void Relay::Loop() {
  // Timer slack is per thread: let this one wake as close to each byte's
  // deadline as the kernel can, instead of the default 50 us late.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  LineDirection a_to_b(SettingsFor(config_, config_.a_to_b), Direction::kAToB);
  LineDirection b_to_a(SettingsFor(config_, config_.b_to_a), Direction::kBToA);
  const std::array<End, 2> ends = {{
      {device_a_.far_end(), a_to_b, b_to_a, device_a_.device()},
      {device_b_.far_end(), b_to_a, a_to_b, device_b_.device()},
  }};
  // Writes (when asked) and publishes under the lock, so a program that has
  // read a byte and then asks for the counters finds it counted.
  const auto publish = [&](bool write_arrived) {
    {
      std::lock_guard lock(state_mutex_);
      if (write_arrived) {
        for (const End& end : ends) WriteArrived(end);
      }
      const Counters latest{a_to_b.counters(), b_to_a.counters()};
      if (latest == published_) return;
      published_ = latest;
    }
    state_changed_.notify_all();
  };
  struct PublishOnExit {
    decltype(publish)& run;
    ~PublishOnExit() { run(false); }
  } publish_on_exit{publish};

  std::vector<std::byte> chunk(kReadChunk);
  TimePoint armed = TimePoint::max();  // disarmed
  for (;;) {
    const TimePoint now = Clock::now();
    for (const End& end : ends) end.receives.Arrive(now);
    publish(true);

    const TimePoint wake =
        Earliest(a_to_b.NextWake(now), b_to_a.NextWake(now)).value_or(TimePoint::max());
    if (wake != armed) {
      Arm(timer_.get(), wake);
      armed = wake;
    }

    std::array<pollfd, 4> fds{};
    fds[0] = {stop_.fd(), POLLIN, 0};
    fds[1] = {timer_.get(), POLLIN, 0};
    for (std::size_t i = 0; i < ends.size(); ++i) {
      const End& end = ends[i];
      short events = 0;
      if (end.sends.Room(now) > 0) events |= POLLIN;
      if (!end.receives.Receivable().empty()) events |= POLLOUT;
      fds[2 + i] = {end.fd, events, 0};
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents & POLLIN) {
      std::uint64_t expirations = 0;
      [[maybe_unused]] const ssize_t got = ::read(timer_.get(), &expirations, sizeof expirations);
      armed = TimePoint::max();
    }

    const TimePoint read_at = Clock::now();
    for (std::size_t i = 0; i < ends.size(); ++i) {
      const short revents = fds[2 + i].revents;
      if (revents & POLLIN) {
        ReadSent(ends[i], chunk, read_at);
      } else if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
        throw std::runtime_error(ends[i].name + " hung up");
      }
    }
  }
}

}  // namespace vork::linesim
