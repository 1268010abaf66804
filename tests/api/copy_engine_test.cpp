#include "copy_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <mutex>

#include "fixtures.h"
#include "remote_calls.h"
#include "wire.h"

namespace vork::api {
namespace {

using namespace std::chrono_literals;
using testing::RandomBytes;
using testing::SimulatedTerminal;
using testing::TempDir;
using termsim::ParseFault;

enum class Side { kPc, kTerminal };

class CopyEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VorkInit(ctx_, terminal_.number(), 115200, 0), 1); }

  // The 8-bit path of a file on a side, and where it really lies.
  std::string PathOn(Side side, const std::string& name) const {
    return side == Side::kPc ? (pc_.path() / name).string() : "QMT:\\" + name;
  }
  std::filesystem::path FileOn(Side side, const std::string& name) const {
    return (side == Side::kPc ? pc_.path() : terminal_.root()) / name;
  }
  void Fault(const char* text) { terminal_.sim().AddFault(*ParseFault(text)); }

  // Runs a background copy to its end; every status value it wrote, in order.
  std::vector<std::int32_t> Background(const std::string& from, const std::string& to,
                                       std::int32_t cancel = 0) {
    std::mutex mutex;
    std::vector<std::int32_t> seen;
    std::promise<void> finished;
    background_.set_status_probe([&](std::int32_t value) {
      std::lock_guard lock(mutex);
      seen.push_back(value);
      if (value >= 100) finished.set_value();
    });
    status_ = -7;
    cancel_ = cancel;
    EXPECT_EQ(CopyFileEx(background_, from.c_str(), to.c_str(), &status_, &cancel_), 1);
    EXPECT_EQ(finished.get_future().wait_for(30s), std::future_status::ready);
    background_.AbortAndWait();
    background_.set_status_probe({});
    std::lock_guard lock(mutex);
    EXPECT_EQ(std::atomic_ref<std::int32_t>(status_).load(), seen.back());
    return seen;
  }

  SimulatedTerminal terminal_;
  TempDir pc_;
  link::CallContext ctx_{{.response_timeout = 300ms, .retry_count = 3}};
  BackgroundCopy background_{ctx_};
  std::int32_t status_ = 0;
  std::int32_t cancel_ = 0;
};

TEST_F(CopyEngineTest, EverySizeArrivesIntactInEveryDirection) {
  const std::pair<Side, Side> directions[] = {{Side::kPc, Side::kTerminal},
                                              {Side::kTerminal, Side::kPc},
                                              {Side::kTerminal, Side::kTerminal},
                                              {Side::kPc, Side::kPc}};
  for (std::size_t size : {0u, 1u, 2047u, 2048u, 2049u, 5000u, 300u * 1024u}) {
    for (const auto& [from, to] : directions) {
      SCOPED_TRACE(std::to_string(size) + (from == Side::kPc ? " from PC" : " from terminal") +
                   (to == Side::kPc ? " to PC" : " to terminal"));
      const auto data = RandomBytes(size, static_cast<unsigned>(size));
      testing::WriteFile(FileOn(from, "source.bin"), data);
      std::filesystem::remove(FileOn(to, "target.bin"));
      EXPECT_EQ(CopyFile(ctx_, PathOn(from, "source.bin").c_str(),
                         PathOn(to, "target.bin").c_str()),
                1);
      EXPECT_EQ(testing::ReadFile(FileOn(to, "target.bin")), data);
    }
  }
}

TEST_F(CopyEngineTest, ExchangesOfA5000ByteFileEachWay) {
  const auto data = RandomBytes(5000, 1);
  testing::WriteFile(pc_.path() / "up.bin", data);
  ASSERT_EQ(CopyFile(ctx_, PathOn(Side::kPc, "up.bin").c_str(), "QMT:\\down.bin"), 1);
  auto log = terminal_.sim().Requests();
  EXPECT_EQ(terminal_.Codes(), (std::vector<int>{10, 13, 13, 13, 13, 13, 14}));
  EXPECT_EQ(link::get_u32le(std::span(log[0].payload).last(4)), 0xC0000000u) << "create access";
  EXPECT_EQ(link::get_u32le(std::span(log[5].payload).subspan(4)), 904u);

  terminal_.sim().ClearLog();
  ASSERT_EQ(CopyFile(ctx_, "QMT:\\down.bin", PathOn(Side::kPc, "back.bin").c_str()), 1);
  log = terminal_.sim().Requests();
  EXPECT_EQ(terminal_.Codes(), (std::vector<int>{11, 20, 12, 12, 12, 12, 12, 14}));
  EXPECT_EQ(link::get_u32le(std::span(log[6].payload).subspan(4)), 904u);
  EXPECT_EQ(link::get_u32le(std::span(log[0].payload).last(4)), 2u) << "open mode";
}

TEST_F(CopyEngineTest, AnExistingTargetIsReplaced) {
  testing::WriteFile(pc_.path() / "new.bin", RandomBytes(100, 2));
  testing::WriteFile(terminal_.root() / "old.bin", RandomBytes(5000, 3));
  ASSERT_EQ(CopyFile(ctx_, PathOn(Side::kPc, "new.bin").c_str(), "QMT:\\old.bin"), 1);
  EXPECT_EQ(terminal_.Codes(), (std::vector<int>{10, 19, 10, 13, 14}));
  EXPECT_EQ(testing::ReadFile(terminal_.root() / "old.bin"), RandomBytes(100, 2));

  testing::WriteFile(pc_.path() / "old.bin", RandomBytes(5000, 4));
  ASSERT_EQ(CopyFile(ctx_, "QMT:\\old.bin", PathOn(Side::kPc, "old.bin").c_str()), 1);
  EXPECT_EQ(testing::ReadFile(pc_.path() / "old.bin"), RandomBytes(100, 2));
}

TEST_F(CopyEngineTest, AnUndeletableTargetFailsAndTheSourceIsClosed) {
  testing::WriteFile(terminal_.root() / "src.bin", RandomBytes(3000, 5));
  testing::WriteFile(pc_.path() / "src.bin", RandomBytes(3000, 5));
  // A folder of that name cannot be replaced by a file, on either side.
  std::filesystem::create_directories(pc_.path() / "dir" / "keep");
  std::filesystem::create_directories(terminal_.root() / "dir" / "keep");
  const std::size_t descriptors = testing::OpenDescriptorCount();

  EXPECT_EQ(CopyFile(ctx_, "QMT:\\src.bin", PathOn(Side::kPc, "dir").c_str()), 0);
  EXPECT_EQ(terminal_.Codes(), (std::vector<int>{11, 14})) << "the source is closed";
  terminal_.sim().ClearLog();
  EXPECT_EQ(CopyFile(ctx_, PathOn(Side::kPc, "src.bin").c_str(), "QMT:\\dir"), 0);
  EXPECT_EQ(terminal_.Codes(), (std::vector<int>{10, 19}));
  EXPECT_EQ(Background(PathOn(Side::kPc, "src.bin"), "QMT:\\dir"), (std::vector<std::int32_t>{105}));
  EXPECT_EQ(testing::OpenDescriptorCount(), descriptors);
  EXPECT_EQ(terminal_.sim().Requests().size(), 4u);
}

TEST_F(CopyEngineTest, BackgroundStatusFollowsTheBlocks) {
  struct Case {
    std::size_t size;
    std::vector<std::int32_t> statuses;
  };
  std::vector<std::int32_t> hundred_blocks = {2, 2, 2};
  for (std::int32_t k = 3; k < 100; ++k) hundred_blocks.push_back(k);
  hundred_blocks.push_back(100);
  const std::vector<Case> cases = {
      {0, {100}},
      {2047, {100}},
      {2048, {2, 100}},
      {5000, {2, 50, 100}},
      {3 * 2048, {2, 33, 66, 100}},
      {100 * 2048, hundred_blocks},
  };
  for (const auto& c : cases) {
    testing::WriteFile(pc_.path() / "b.bin", RandomBytes(c.size, 6));
    EXPECT_EQ(Background(PathOn(Side::kPc, "b.bin"), "QMT:\\b.bin"), c.statuses) << c.size;
    EXPECT_EQ(testing::ReadFile(terminal_.root() / "b.bin"), RandomBytes(c.size, 6));
  }
}

TEST_F(CopyEngineTest, FinalStatusComesAfterBothFilesAreClosed) {
  testing::WriteFile(terminal_.root() / "c.bin", RandomBytes(4096, 7));
  std::vector<int> codes_at_final;
  std::promise<void> finished;
  background_.set_status_probe([&](std::int32_t value) {
    if (value < 100) return;
    codes_at_final = terminal_.Codes();
    finished.set_value();
  });
  ASSERT_EQ(CopyFileEx(background_, "QMT:\\c.bin", "QMT:\\d.bin", &status_, &cancel_), 1);
  ASSERT_EQ(finished.get_future().wait_for(30s), std::future_status::ready);
  background_.AbortAndWait();
  const std::vector<int> closes(codes_at_final.end() - 2, codes_at_final.end());
  EXPECT_EQ(closes, (std::vector<int>{14, 14}));
}

TEST_F(CopyEngineTest, CancelStopsAfterTheCurrentBlockOnlyForTheValueOne) {
  const auto data = RandomBytes(5 * 2048 + 10, 8);
  testing::WriteFile(pc_.path() / "big.bin", data);
  EXPECT_EQ(Background(PathOn(Side::kPc, "big.bin"), "QMT:\\part.bin", 1),
            (std::vector<std::int32_t>{104}));
  EXPECT_EQ(testing::ReadFile(terminal_.root() / "part.bin"),
            std::vector<std::byte>(data.begin(), data.begin() + 2048))
      << "one block, then stopped; the partial target stays";
  EXPECT_EQ(Background(PathOn(Side::kPc, "big.bin"), "QMT:\\whole.bin", 2).back(), 100);
  EXPECT_EQ(testing::ReadFile(terminal_.root() / "whole.bin"), data);
  // A file shorter than a block cannot be cancelled.
  testing::WriteFile(pc_.path() / "small.bin", RandomBytes(2000, 9));
  EXPECT_EQ(Background(PathOn(Side::kPc, "small.bin"), "QMT:\\small.bin", 1),
            (std::vector<std::int32_t>{100}));
}

TEST_F(CopyEngineTest, FailuresAreReportedByKind) {
  testing::WriteFile(terminal_.root() / "t.bin", RandomBytes(5000, 10));
  testing::WriteFile(pc_.path() / "p.bin", RandomBytes(5000, 10));
  struct Case {
    const char* name;
    const char* fault;  // nullptr: none
    std::string from, to;
    std::int32_t status;
  };
  const std::vector<Case> cases = {
      {"missing source", nullptr, "QMT:\\none.bin", PathOn(Side::kPc, "x.bin"), 102},
      {"missing PC source", nullptr, PathOn(Side::kPc, "none.bin"), "QMT:\\x.bin", 102},
      {"read chunk fails", "wronglen:code=12#3", "QMT:\\t.bin", PathOn(Side::kPc, "y.bin"), 102},
      {"size query fails", "wronglen:code=20", "QMT:\\t.bin", PathOn(Side::kPc, "z.bin"), 102},
      {"remainder read fails", "wronglen:code=12#5", "QMT:\\t.bin", PathOn(Side::kPc, "r.bin"), 102},
      {"write chunk fails", "wronglen:code=13#2", PathOn(Side::kPc, "p.bin"), "QMT:\\w.bin", 103},
      {"remainder write fails", "wronglen:code=13#5", PathOn(Side::kPc, "p.bin"), "QMT:\\v.bin", 103},
  };
  const std::size_t descriptors = testing::OpenDescriptorCount();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool background : {false, true}) {
      terminal_.sim().ClearFaults();
      terminal_.sim().ClearLog();
      if (c.fault != nullptr) Fault(c.fault);
      if (background) {
        const auto statuses = Background(c.from, c.to);
        EXPECT_EQ(statuses.back(), c.status);
        EXPECT_TRUE(std::all_of(statuses.begin(), statuses.end() - 1,
                                [](std::int32_t s) { return s >= 2 && s < 100; }));
      } else {
        EXPECT_EQ(CopyFile(ctx_, c.from.c_str(), c.to.c_str()), 0);
      }
      EXPECT_EQ(terminal_.sim().OpenHandles(), 0u) << "every remote file closed again";
    }
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), descriptors);
}

TEST(CopyPath, OnlyTheThreeUpperCaseLettersMarkATerminalPath) {
  const std::pair<const char*, bool> cases[] = {
      {"QMT:\\a.txt", true}, {"QMT", true},         {"QMTa.txt", true}, {"qmt:\\x", false},
      {"QM", false},          {"/tmp/QMT", false},   {"", false},        {"Qmt:\\x", false}};
  for (const auto& [path, on_terminal] : cases) {
    const auto parsed = CopyPath::FromNarrow(path);
    ASSERT_TRUE(parsed) << path;
    EXPECT_EQ(parsed->on_terminal(), on_terminal) << path;
  }
  EXPECT_FALSE(CopyPath::FromNarrow(std::string(260, 'p').c_str())) << "260 bytes";
  EXPECT_TRUE(CopyPath::FromNarrow(std::string(259, 'p').c_str()));
  EXPECT_FALSE(CopyPath::FromNarrow(("QMT" + std::string(253, 'p')).c_str()))
      << "a terminal path of 256 bytes";
}

TEST_F(CopyEngineTest, MoveDeletesTheSourceOnlyAfterACopy) {
  testing::WriteFile(terminal_.root() / "m.bin", RandomBytes(3000, 11));
  EXPECT_EQ(MoveFile(ctx_, "QMT:\\m.bin", PathOn(Side::kPc, "m.bin").c_str()), 1);
  EXPECT_EQ(terminal_.Codes(), (std::vector<int>{11, 20, 12, 12, 12, 14, 19}));
  EXPECT_FALSE(std::filesystem::exists(terminal_.root() / "m.bin"));
  EXPECT_EQ(testing::ReadFile(pc_.path() / "m.bin"), RandomBytes(3000, 11));

  EXPECT_EQ(MoveFile(ctx_, PathOn(Side::kPc, "m.bin").c_str(), "QMT:\\n.bin"), 1);
  EXPECT_FALSE(std::filesystem::exists(pc_.path() / "m.bin"));

  for (const char* fault : {"wronglen:code=20", "wronglen:code=12#2"}) {
    terminal_.sim().ClearLog();
    terminal_.sim().ClearFaults();
    Fault(fault);
    EXPECT_EQ(MoveFile(ctx_, "QMT:\\n.bin", PathOn(Side::kPc, "o.bin").c_str()), 0) << fault;
    const auto codes = terminal_.Codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 19), 0) << fault;
    EXPECT_TRUE(std::filesystem::exists(terminal_.root() / "n.bin")) << fault;
  }
}

TEST_F(CopyEngineTest, SourceAndTargetNamingOneFileAreRefused) {
  testing::WriteFile(pc_.path() / "same.bin", RandomBytes(3000, 12));
  testing::WriteFile(terminal_.root() / "same.bin", RandomBytes(3000, 12));
  std::filesystem::create_hard_link(pc_.path() / "same.bin", pc_.path() / "alias.bin");
  const std::pair<std::string, std::string> cases[] = {
      {PathOn(Side::kPc, "same.bin"), PathOn(Side::kPc, "same.bin")},
      {PathOn(Side::kPc, "same.bin"), PathOn(Side::kPc, "alias.bin")},
      {"QMT:\\same.bin", "QMT:\\SAME.bin"},
      // Other spellings of one terminal file: the terminal takes "/" for
      // "\\" and skips empty and "." parts.
      {"QMT:\\same.bin", "QMT:/same.bin"},
      {"QMT:\\same.bin", "QMTsame.bin"},
      {"QMT:\\same.bin", "QMT:\\.\\same.bin"},
      {"QMT:\\same.bin", "QMT:\\sub\\..\\same.bin"},
  };
  for (const auto& [from, to] : cases) {
    EXPECT_EQ(CopyFile(ctx_, from.c_str(), to.c_str()), 0) << to;
    EXPECT_EQ(MoveFile(ctx_, from.c_str(), to.c_str()), 0) << to;
  }
  EXPECT_EQ(testing::ReadFile(pc_.path() / "same.bin"), RandomBytes(3000, 12));
  EXPECT_EQ(testing::ReadFile(terminal_.root() / "same.bin"), RandomBytes(3000, 12));
  EXPECT_TRUE(terminal_.sim().Requests().empty());
}

// Only a regular file is a PC source: a folder reads as nothing and a FIFO
// would hold the call; either would have replaced the target first.
TEST_F(CopyEngineTest, APcSourceThatIsNoRegularFileIsRefusedBeforeTheTarget) {
  std::filesystem::create_directories(pc_.path() / "folder");
  ASSERT_EQ(::mkfifo((pc_.path() / "fifo").c_str(), 0644), 0);
  testing::WriteFile(terminal_.root() / "keep.bin", RandomBytes(5000, 15));
  testing::WriteFile(pc_.path() / "keep.bin", RandomBytes(300, 16));
  for (const char* source : {"folder", "fifo"}) {
    EXPECT_EQ(CopyFile(ctx_, PathOn(Side::kPc, source).c_str(), "QMT:\\keep.bin"), 0) << source;
    EXPECT_EQ(CopyFile(ctx_, PathOn(Side::kPc, source).c_str(), PathOn(Side::kPc, "keep.bin").c_str()),
              0)
        << source;
    EXPECT_EQ(Background(PathOn(Side::kPc, source), "QMT:\\keep.bin"),
              (std::vector<std::int32_t>{102}))
        << source;
  }
  EXPECT_EQ(testing::ReadFile(terminal_.root() / "keep.bin"), RandomBytes(5000, 15));
  EXPECT_EQ(testing::ReadFile(pc_.path() / "keep.bin"), RandomBytes(300, 16));
  EXPECT_TRUE(terminal_.sim().Requests().empty());
}

// A read-only PC file is not deleted, by root neither: as a target the copy
// fails with the source closed, as a move's source it stays where it is.
TEST_F(CopyEngineTest, AReadOnlyPcFileIsNeitherReplacedNorMovedAway) {
  testing::WriteFile(terminal_.root() / "src.bin", RandomBytes(3000, 17));
  const auto locked = pc_.path() / "locked.bin";
  testing::WriteFile(locked, RandomBytes(100, 18));
  std::filesystem::permissions(locked, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
  EXPECT_EQ(CopyFile(ctx_, "QMT:\\src.bin", locked.c_str()), 0);
  EXPECT_EQ(terminal_.Codes(), (std::vector<int>{11, 14})) << "the source is closed";
  EXPECT_EQ(Background("QMT:\\src.bin", locked), (std::vector<std::int32_t>{105}));
  EXPECT_EQ(testing::ReadFile(locked), RandomBytes(100, 18));

  EXPECT_EQ(MoveFile(ctx_, locked.c_str(), "QMT:\\moved.bin"), 0);
  EXPECT_EQ(testing::ReadFile(locked), RandomBytes(100, 18));
  EXPECT_EQ(testing::ReadFile(terminal_.root() / "moved.bin"), RandomBytes(100, 18));
}

TEST_F(CopyEngineTest, FilesOf4GiBOrMoreAreRefusedBeforeTheTargetIsTouched) {
  const auto huge = pc_.path() / "huge.bin";
  {
    const int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 4LL << 30), 0);  // sparse: no disk space used
    ::close(fd);
  }
  testing::WriteFile(terminal_.root() / "keep.bin", RandomBytes(10, 13));
  EXPECT_EQ(CopyFile(ctx_, huge.c_str(), "QMT:\\keep.bin"), 0);
  EXPECT_EQ(testing::ReadFile(terminal_.root() / "keep.bin"), RandomBytes(10, 13));
  EXPECT_TRUE(terminal_.sim().Requests().empty());
}

TEST_F(CopyEngineTest, ASecondBackgroundCopyIsRefusedWhileOneRuns) {
  testing::WriteFile(pc_.path() / "slow.bin", RandomBytes(4 * 2048, 14));
  Fault("late=100:code=13");
  std::promise<void> finished;
  background_.set_status_probe([&](std::int32_t value) {
    if (value >= 100) finished.set_value();
  });
  ASSERT_EQ(CopyFileEx(background_, PathOn(Side::kPc, "slow.bin").c_str(), "QMT:\\slow.bin",
                       &status_, &cancel_),
            1);
  std::int32_t other_status = -5, other_cancel = 0;
  EXPECT_EQ(CopyFileEx(background_, PathOn(Side::kPc, "slow.bin").c_str(), "QMT:\\other.bin",
                       &other_status, &other_cancel),
            0);
  ASSERT_EQ(finished.get_future().wait_for(30s), std::future_status::ready);
  background_.AbortAndWait();
  EXPECT_EQ(status_, 100);
  EXPECT_EQ(other_status, -5);
  EXPECT_FALSE(std::filesystem::exists(terminal_.root() / "other.bin"));
  EXPECT_EQ(testing::ReadFile(terminal_.root() / "slow.bin"), RandomBytes(4 * 2048, 14));
}

}  // namespace
}  // namespace vork::api
