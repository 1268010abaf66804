#include "pseudo_terminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

#include <cerrno>
#include <system_error>

namespace vork::tools {

namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
  master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!master_) Fail("posix_openpt");
  if (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) Fail("unlockpt");
  char name[128];
  if (::ptsname_r(master_.get(), name, sizeof name) != 0) Fail("ptsname_r");
  device_ = name;
  slave_keeper_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!slave_keeper_) Fail("open pty");
  termios tio{};
  if (::tcgetattr(slave_keeper_.get(), &tio) != 0) Fail("tcgetattr");
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  if (::tcsetattr(slave_keeper_.get(), TCSANOW, &tio) != 0) Fail("tcsetattr");
  // Raw on the far side as well, so the master passes bytes unchanged.
  if (::tcgetattr(master_.get(), &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(master_.get(), TCSANOW, &tio);
  }
}

}  // namespace vork::tools
