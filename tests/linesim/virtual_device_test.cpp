#include "virtual_device.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "device_user.h"

namespace vork::linesim {
namespace {

using testing::DeviceUser;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

class VirtualDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "linesim-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

// What the far end reads within a bounded wait.
std::vector<std::byte> ReadFar(int fd, std::size_t count) {
  std::vector<std::byte> got;
  while (got.size() < count) {
    pollfd readable = {fd, POLLIN, 0};
    if (::poll(&readable, 1, 2000) <= 0) break;
    std::byte buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

TEST_F(VirtualDeviceTest, PassesEveryByteValueBothWaysWithoutEcho) {
  VirtualDevice device("");
  DeviceUser user(device.path());
  std::vector<std::byte> all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::byte>(i);

  ASSERT_TRUE(user.WriteAll(all, milliseconds(2000)));
  EXPECT_EQ(ReadFar(device.far_end(), all.size()), all);

  ASSERT_EQ(::write(device.far_end(), all.data(), all.size()), 256);
  EXPECT_EQ(user.Read(all.size(), milliseconds(2000)), all);
  // Nothing came back to the far end: no echo, no translation of CR or LF.
  pollfd readable = {device.far_end(), POLLIN, 0};
  EXPECT_EQ(::poll(&readable, 1, 0), 0);
}

TEST_F(VirtualDeviceTest, ClosingTheNearEndNeverHangsUpTheFarEnd) {
  VirtualDevice device("");
  for (int round = 0; round < 5; ++round) {
    {
      DeviceUser user(device.path());
      const std::byte ping{0x5A};
      ASSERT_TRUE(user.WriteAll({&ping, 1}, milliseconds(1000)));
      ASSERT_EQ(ReadFar(device.far_end(), 1), std::vector<std::byte>{ping});
    }
    pollfd far = {device.far_end(), POLLIN, 0};
    ASSERT_EQ(::poll(&far, 1, 0), 0) << "far end saw " << far.revents << " in round " << round;
  }
}

TEST_F(VirtualDeviceTest, PublishesALinkAndRemovesItAfterwards) {
  const fs::path link = dir_ / "pc";
  std::string device_path;
  {
    VirtualDevice device(link.string());
    device_path = device.device();
    EXPECT_EQ(device.path(), link.string());
    EXPECT_EQ(fs::read_symlink(link), device_path);
    DeviceUser user(link.string());  // opens through the link
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST_F(VirtualDeviceTest, ReplacesAStaleLinkButNoOtherFile) {
  const fs::path stale = dir_ / "stale";
  fs::create_symlink("/dev/pts/nonexistent", stale);
  {
    VirtualDevice device(stale.string());
    EXPECT_EQ(fs::read_symlink(stale), device.device());
  }

  const fs::path plain = dir_ / "plain";
  std::ofstream(plain) << "keep me";
  EXPECT_THROW(VirtualDevice device(plain.string()), std::system_error);
  EXPECT_TRUE(fs::is_regular_file(plain));
  EXPECT_THROW(VirtualDevice device((dir_ / "missing" / "pc").string()), std::system_error);
  // Nothing of the failed attempts is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(VirtualDeviceTest, LeavesALinkThatNowPointsElsewhere) {
  const fs::path link = dir_ / "pc";
  {
    VirtualDevice device(link.string());
    fs::remove(link);
    fs::create_symlink("/dev/null", link);  // someone else took the name
  }
  EXPECT_EQ(fs::read_symlink(link), "/dev/null");
}

TEST_F(VirtualDeviceTest, ReleaseExclusiveEndsAHoldLeftByADeadProgram) {
  VirtualDevice device("");
  {
    DeviceUser holder(device.path());
    ASSERT_EQ(::ioctl(holder.fd(), TIOCEXCL), 0);
  }  // closed without TIOCNXCL, as when the holder is killed
  int exclusive = 0;
  try {
    DeviceUser probe(device.path());  // only root gets past the hold
    ASSERT_EQ(::ioctl(probe.fd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EBUSY) << error.what();
  }
  EXPECT_TRUE(device.ReleaseExclusive());
  DeviceUser after(device.path());
  ASSERT_EQ(::ioctl(after.fd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

}  // namespace
}  // namespace vork::linesim
