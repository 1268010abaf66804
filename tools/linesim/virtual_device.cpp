#include "virtual_device.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace vork::linesim {

namespace {

[[noreturn]] void Fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

void MakeRaw(int fd, const std::string& what) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) Fail(errno, what);
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) Fail(errno, what);
}

void Publish(const std::string& link_path, const std::string& target) {
  struct stat existing {};
  if (::lstat(link_path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    Fail(EEXIST, link_path + " exists and is not a symbolic link");
  }
  // Made under a temporary name and renamed, so a program polling for the
  // path never finds a half-made or stale link.
  const std::string temporary = link_path + ".linesim-" + std::to_string(::getpid());
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0) Fail(errno, "symlink " + temporary);
  if (::rename(temporary.c_str(), link_path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    Fail(error, "rename to " + link_path);
  }
}

bool LinkPointsTo(const std::string& link_path, const std::string& target) {
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlink(link_path.c_str(), buffer.data(), buffer.size());
  return length > 0 && static_cast<std::size_t>(length) < buffer.size() &&
         target.compare(0, std::string::npos, buffer.data(), static_cast<std::size_t>(length)) == 0;
}

}  // namespace

VirtualDevice::VirtualDevice(const std::string& link_path) {
  link::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!master) Fail(errno, "posix_openpt");
  if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) Fail(errno, "unlockpt");
  std::array<char, 128> name{};
  if (::ptsname_r(master.get(), name.data(), name.size()) != 0) Fail(errno, "ptsname_r");
  std::string device(name.data());
  link::UniqueFd keeper(::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!keeper) Fail(errno, "open " + device);
  MakeRaw(keeper.get(), "raw mode on " + device);
  // The master's own line discipline must pass bytes through untouched too.
  MakeRaw(master.get(), "raw mode on the far end of " + device);
  std::string link = link_path;
  if (!link.empty()) Publish(link, device);

  master_ = std::move(master);
  near_keeper_ = std::move(keeper);
  device_ = std::move(device);
  link_path_ = std::move(link);
}

VirtualDevice::~VirtualDevice() {
  if (!link_path_.empty() && LinkPointsTo(link_path_, device_)) ::unlink(link_path_.c_str());
}

bool VirtualDevice::ReleaseExclusive() const {
  return ::ioctl(near_keeper_.get(), TIOCNXCL) == 0;
}

}  // namespace vork::linesim
