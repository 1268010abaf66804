#include "serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "line_speed.h"

namespace vork::link {

namespace {

int PollTimeout(std::optional<std::chrono::milliseconds> timeout) {
  if (!timeout) return -1;
  const auto ms = timeout->count();
  if (ms <= 0) return 0;
  return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

}  // namespace

SerialPort SerialPort::Open(const std::string& path, OpenError& error) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    error = (errno == EBUSY || errno == EACCES) ? OpenError::kBusy
            : (errno == ENOENT || errno == ENXIO || errno == ENODEV) ? OpenError::kNoDevice
                                                                       : OpenError::kIo;
    return {};
  }
  // TIOCEXCL keeps other users out but not root; the advisory lock keeps
  // out every opener that takes it too (every Vork link does).
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    error = OpenError::kBusy;
    return {};
  }
  ::ioctl(fd.get(), TIOCEXCL);
  error = OpenError::kNone;
  return SerialPort(std::move(fd));
}

SerialPort SerialPort::Adopt(UniqueFd fd) {
  if (fd) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
  }
  return SerialPort(std::move(fd));
}

bool SerialPort::Configure(int baud) {
  if (!fd_ || baud <= 0) return false;
  termios tio{};
  if (::tcgetattr(fd_.get(), &tio) != 0) return false;
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::tcsetattr(fd_.get(), TCSANOW, &tio) != 0) return false;
  if (!SetLineSpeed(fd_.get(), baud)) return false;
  // A pseudo-terminal has no modem lines; that is not an error.
  const int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd_.get(), TIOCMBIS, &lines);
  return ::tcflush(fd_.get(), TCIOFLUSH) == 0;
}

SerialPort::WaitResult SerialPort::WaitReadable(std::optional<std::chrono::milliseconds> timeout,
                                                const Wakeup& wake) const {
  pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {wake.fd(), POLLIN, 0}};
  const auto deadline = timeout ? std::chrono::steady_clock::now() + *timeout
                                : std::chrono::steady_clock::time_point::max();
  for (;;) {
    std::optional<std::chrono::milliseconds> left;
    if (timeout) {
      left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                          std::chrono::steady_clock::now());
      if (left->count() < 0) left = std::chrono::milliseconds(0);
    }
    const int ready = ::poll(fds, 2, PollTimeout(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kHangup;
    }
    if (fds[1].revents != 0) return WaitResult::kWoken;
    if (fds[0].revents & POLLIN) return WaitResult::kReady;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return WaitResult::kHangup;
    if (ready == 0) return WaitResult::kTimeout;
  }
}

ssize_t SerialPort::ReadSome(std::span<std::byte> into) const {
  for (;;) {
    const ssize_t got = ::read(fd_.get(), into.data(), into.size());
    if (got > 0) return got;
    if (got == 0) return into.empty() ? 0 : -1;  // end of file: the far end is gone
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  }
}

bool SerialPort::WriteAll(std::span<const std::byte> bytes,
                          std::chrono::steady_clock::time_point deadline,
                          const Wakeup& wake) const {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd_.get(), bytes.data(), bytes.size());
    if (put > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(put));
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[2] = {{fd_.get(), POLLOUT, 0}, {wake.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, PollTimeout(left));
    if (ready < 0 && errno != EINTR) return false;
    if (fds[1].revents != 0) return false;
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  }
  return true;
}

void SerialPort::Drain() const {
  if (fd_) ::tcdrain(fd_.get());
}

void SerialPort::Close() {
  if (!fd_) return;
  ::ioctl(fd_.get(), TIOCNXCL);
  fd_.reset();
}

}  // namespace vork::link
