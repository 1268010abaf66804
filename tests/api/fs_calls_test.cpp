#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <set>

#include "fixtures.h"
#include "remote_calls.h"
#include "wire.h"

namespace vork::api {
namespace {

using namespace std::chrono_literals;
using testing::RandomBytes;
using testing::SimulatedTerminal;
using termsim::ParseFault;

std::string NameIn(const std::array<std::byte, 120>& record) {
  return std::string(reinterpret_cast<const char*>(record.data() + 24));
}

class FsCallsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VorkInit(ctx_, terminal_.number(), 115200, 1), 1); }

  SimulatedTerminal terminal_;
  link::CallContext ctx_{{.response_timeout = 300ms, .retry_count = 3}};
};

TEST_F(FsCallsTest, SearchWalksTheMatchesAndEnds) {
  for (const char* name : {"a.txt", "b.txt", "c.dat"}) {
    testing::WriteFile(terminal_.root() / name, RandomBytes(10, 1));
  }
  std::array<std::byte, 120> record{};
  const std::int32_t search = FindFirstFileW(ctx_, u"QMT:\\*.txt", record.data());
  ASSERT_NE(search, -1);
  std::set<std::string> names{NameIn(record)};
  EXPECT_EQ(link::get_u32le(std::span(record).subspan(20)), 10u) << "size low";
  EXPECT_EQ(FindNextFile(ctx_, static_cast<std::uint32_t>(search), record.data()), 1);
  names.insert(NameIn(record));
  EXPECT_EQ(names, (std::set<std::string>{"a.txt", "b.txt"}));
  record.fill(std::byte{0xCC});
  EXPECT_EQ(FindNextFile(ctx_, static_cast<std::uint32_t>(search), record.data()), 0)
      << "the terminal's 0 passes through";
  EXPECT_EQ(record[0], std::byte{0}) << "the record is overwritten in every case";
  EXPECT_EQ(FindClose(ctx_, static_cast<std::uint32_t>(search)), 1);
}

TEST_F(FsCallsTest, SearchHandleZeroIsReportedAsNoneWithTheRecordFilled) {
  std::array<std::byte, 120> record;
  record.fill(std::byte{0xCC});
  EXPECT_EQ(FindFirstFileW(ctx_, u"QMT:\\nothing*", record.data()), -1);
  EXPECT_TRUE(std::all_of(record.begin(), record.end(), [](std::byte b) { return b == std::byte{0}; }));
}

TEST_F(FsCallsTest, AttributesDirectoriesAndDelete) {
  testing::WriteFile(terminal_.root() / "f.txt", RandomBytes(3, 2));
  EXPECT_EQ(GetFileAttributesW(ctx_, u"QMT:\\f.txt"), 0x20);
  EXPECT_EQ(SetFileAttributesW(ctx_, u"QMT:\\f.txt", 0x01), 1);
  EXPECT_EQ(GetFileAttributesW(ctx_, u"QMT:\\f.txt"), 0x21);
  EXPECT_EQ(SetFileAttributes(ctx_, "QMT:\\f.txt", 0x00), 1);
  EXPECT_EQ(GetFileAttributesW(ctx_, u"QMT:\\missing"), -1);

  EXPECT_EQ(CreateDirectoryW(ctx_, u"QMT:\\sub"), 1);
  EXPECT_EQ(GetFileAttributes(ctx_, "QMT:\\sub"), 0x10);
  EXPECT_EQ(CreateDirectory(ctx_, "QMT:\\sub"), 0) << "exists already";
  EXPECT_EQ(RemoveDirectoryW(ctx_, u"QMT:\\sub"), 1);
  EXPECT_FALSE(std::filesystem::exists(terminal_.root() / "sub"));

  EXPECT_EQ(DeleteFileW(ctx_, u"QMT:\\f.txt"), 1);
  EXPECT_EQ(DeleteFile(ctx_, "QMT:\\f.txt"), 0);
  EXPECT_EQ(DeleteFileW(ctx_, u"QMT:\\..\\outside"), 0) << "the terminal keeps to its folder";
}

TEST_F(FsCallsTest, AnswersOfTheWrongShapeFailAtOnce) {
  std::array<std::byte, 120> record{};
  struct Case {
    const char* name;
    const char* fault;
    std::function<std::int32_t()> call;
    std::int32_t failure;
  };
  const std::vector<Case> cases = {
      {"4-byte answer to a search", "wronglen=4@*",
       [&] { return FindFirstFileW(ctx_, u"QMT:\\*", record.data()); }, -1},
      {"4-byte answer to find next", "wronglen=4@*",
       [&] { return FindNextFile(ctx_, 1, record.data()); }, 0},
      {"124-byte answer to a delete", "wronglen=124@*",
       [&] { return DeleteFileW(ctx_, u"QMT:\\x"); }, 0},
      {"5-byte attributes", "wronglen=5@*", [&] { return GetFileAttributesW(ctx_, u"QMT:\\x"); },
       -1},
      {"attributes never answered", "ignore@*", [&] { return GetFileAttributesW(ctx_, u"QMT:\\x"); },
       -1},
      {"find close never answered", "ignore@*", [&] { return FindClose(ctx_, 3); }, 0},
  };
  for (const auto& c : cases) {
    terminal_.sim().ClearFaults();
    terminal_.sim().ClearLog();
    terminal_.sim().AddFault(*ParseFault(c.fault));
    EXPECT_EQ(c.call(), c.failure) << c.name;
    EXPECT_EQ(terminal_.sim().Requests().size(), c.fault[0] == 'w' ? 1u : 4u) << c.name;
  }
}

}  // namespace
}  // namespace vork::api
