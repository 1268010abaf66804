#include "device_user.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>

namespace vork::linesim::testing {

namespace {

int MillisecondsLeft(TimePoint deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

DeviceUser::DeviceUser(const std::string& path)
    : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  if (!fd_) throw std::system_error(errno, std::generic_category(), "open " + path);
}

bool DeviceUser::WriteAll(std::span<const std::byte> bytes, milliseconds timeout) const {
  const TimePoint deadline = Clock::now() + timeout;
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd_.get(), bytes.data(), bytes.size());
    if (put > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(put));
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd writable = {fd_.get(), POLLOUT, 0};
    if (::poll(&writable, 1, MillisecondsLeft(deadline)) == 0) return false;
  }
  return true;
}

std::vector<std::byte> DeviceUser::Read(std::size_t count, milliseconds timeout,
                                        std::vector<Arrival>* arrivals) const {
  const TimePoint deadline = Clock::now() + timeout;
  std::vector<std::byte> got(count);
  std::size_t have = 0;
  while (have < count) {
    pollfd readable = {fd_.get(), POLLIN, 0};
    if (::poll(&readable, 1, MillisecondsLeft(deadline)) == 0) break;
    const ssize_t n = ::read(fd_.get(), got.data() + have, count - have);
    const TimePoint at = Clock::now();
    if (n > 0) {
      have += static_cast<std::size_t>(n);
      if (arrivals != nullptr) arrivals->push_back({at, have});
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;  // hung up
    }
  }
  got.resize(have);
  return got;
}

void DeviceUser::DiscardInput() const { ::tcflush(fd_.get(), TCIFLUSH); }

std::vector<std::byte> RandomBytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<std::byte> bytes(count);
  for (auto& b : bytes) b = static_cast<std::byte>(generator() & 0xFF);
  return bytes;
}

}  // namespace vork::linesim::testing
