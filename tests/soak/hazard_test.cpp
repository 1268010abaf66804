// A copy through libvork.so, as callers use it, interrupted in the middle:
// the terminal's program killed and started again, the line going dead,
// the serial device vanishing, and QMT_VorkUninit from another thread.
//
// In every case the copy must return within the bound of what is left of
// it, report failure (or success with identical bytes), leave every other
// file of the terminal as it was, and leave no descriptor or thread behind
// once the link is closed. Where the link can still work, it must.
//
// The terminal is the vork-termsim program on device B of an in-process
// line simulator at 115200 baud; Vork uses device A as COM44. The moment of
// each interruption moves with every repetition (--gtest_repeat=N), so a
// long run meets many states of the copy.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bounds.h"
#include "corpus.h"
#include "relay.h"
#include "resources.h"
#include "unique_fd.h"
#include "vork.h"

extern char** environ;

namespace vork::soak {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kCom = 44;
constexpr int kBaud = 115200;
constexpr std::size_t kCopyBytes = 160 * 1024;  // about 15 s of line time

// vork-termsim serving a folder on a device, as a process of its own.
class TerminalProcess {
 public:
  TerminalProcess(const fs::path& root, const std::string& device,
                  const std::vector<std::string>& faults = {}) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    link::UniqueFd read_end(ends[0]);
    link::UniqueFd write_end(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    const std::string root_text = root.string();
    const std::string baud = std::to_string(kBaud);
    std::vector<const char*> argv = {VORK_TERMSIM_PROGRAM, "--root",       root_text.c_str(),
                                     "--device",           device.c_str(), "--baud",
                                     baud.c_str()};
    for (const std::string& fault : faults) {
      argv.push_back("--fault");
      argv.push_back(fault.c_str());
    }
    argv.push_back(nullptr);
    const int failed = ::posix_spawn(&pid_, VORK_TERMSIM_PROGRAM, &actions, nullptr,
                                     const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start vork-termsim");
    write_end.reset();
    output_ = std::move(read_end);
  }
  ~TerminalProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + 3s;
    while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
  }
  TerminalProcess(const TerminalProcess&) = delete;
  TerminalProcess& operator=(const TerminalProcess&) = delete;

  // Waits for its "ready" line.
  [[nodiscard]] bool WaitReady(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::string seen;
    while (seen.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd fds = {output_.get(), POLLIN, 0};
      if (::poll(&fds, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[256];
      const ssize_t got = ::read(output_.get(), buffer, sizeof buffer);
      if (got <= 0) return false;
      seen.append(buffer, static_cast<std::size_t>(got));
    }
    return seen.rfind("ready ", 0) == 0;
  }

  // SIGKILL, as a crash or a pulled battery would end it.
  void Kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  link::UniqueFd output_;
};

// A copy on a thread of its own, timed.
class RunningCopy {
 public:
  RunningCopy(std::string source, std::string target)
      : source_(std::move(source)), target_(std::move(target)) {
    thread_ = std::thread([this] {
      const std::int32_t result = QMT_CopyFile(source_.c_str(), target_.c_str(), 0);
      ended_ = Clock::now();
      done_.set_value(result);
    });
  }
  ~RunningCopy() {
    if (thread_.joinable()) thread_.join();
  }
  RunningCopy(const RunningCopy&) = delete;
  RunningCopy& operator=(const RunningCopy&) = delete;

  // The copy's result. A copy that has not returned by `deadline` is hung:
  // that fails the test and ends the program (a hung call cannot be taken back).
  std::int32_t Result(Clock::time_point deadline, Clock::time_point since) {
    if (result_.wait_until(deadline) != std::future_status::ready) {
      ADD_FAILURE() << "HANG: the copy has not returned "
                    << std::chrono::duration_cast<std::chrono::milliseconds>(deadline - since).count()
                    << " ms after the interruption";
      std::fflush(stdout);
      std::_Exit(3);
    }
    const std::int32_t value = result_.get();
    thread_.join();
    took_ = std::chrono::duration_cast<std::chrono::milliseconds>(ended_ - since);
    return value;
  }
  [[nodiscard]] std::chrono::milliseconds took_since_interruption() const { return took_; }

 private:
  std::string source_;
  std::string target_;
  std::promise<std::int32_t> done_;
  std::future<std::int32_t> result_ = done_.get_future();
  Clock::time_point ended_;
  std::chrono::milliseconds took_{0};
  std::thread thread_;
};

// How many bytes of the copy cross the line before the interruption: it
// differs from test to test and moves with every repetition.
std::uint64_t NextThreshold() {
  static std::atomic<std::uint64_t> run{0};
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::uint64_t name = std::hash<std::string>{}(std::string(test->test_suite_name()) + "." +
                                                      test->name());
  return 4096 + ((name % 7919) + run++ * 7919) * 13 % 60000;
}

// Vork on device A of a 115200-baud line, vork-termsim on device B serving
// a folder with a few files, the link open and answered once.
class LineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    before_ = Baseline();
    char pattern[] = "/tmp/vork-hazard-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    work_ = pattern;
    fs::create_directories(work_ / "terminal");
    fs::create_directories(work_ / "pc");
    const std::size_t sizes[] = {kCopyBytes, 30000, 20001, 4000};
    corpus_.emplace(sizes, 8);
    corpus_->WriteAll(work_ / "terminal");
    corpus_->WriteAll(work_ / "pc");
    terminal_before_ = Snapshot(work_ / "terminal");

    linesim::RelayConfig config;
    config.baud = kBaud;
    relay_ = std::make_unique<linesim::Relay>(config);
    ::setenv(("VORK_COM" + std::to_string(kCom)).c_str(), relay_->path_a().c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(StartTerminal());
    ASSERT_EQ(QMT_VorkInit(kCom, kBaud, 1), 1);
    std::uint32_t version[3];
    ASSERT_EQ(QMT_GetVersion(version), 1);
  }

  void TearDown() override {
    QMT_VorkUninit();
    terminal_.reset();
    relay_.reset();
    EXPECT_EQ(Settled(before_), before_) << "left behind by Vork";
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }

  void StartTerminal(const std::vector<std::string>& faults = {}) {
    terminal_ = std::make_unique<TerminalProcess>(work_ / "terminal", relay_->path_b(), faults);
    ASSERT_TRUE(terminal_->WaitReady(10s));
  }

  // The link works: the terminal answers and a small file copies.
  void ExpectLinkWorks() {
    std::uint32_t version[3];
    EXPECT_EQ(QMT_GetVersion(version), 1);
    const CorpusFile& small = corpus_->files()[3];
    const fs::path to = work_ / "pc" / ("again-" + small.name);
    ASSERT_EQ(QMT_CopyFile(("QMT:\\" + small.name).c_str(), to.c_str(), 0), 1);
    const auto got = ReadWhole(to);
    ASSERT_TRUE(got.has_value());
    EXPECT_FALSE(Compare(small.bytes, *got).has_value());
  }

  [[nodiscard]] static CallBounds Bounds() {
    CallBounds bounds;
    bounds.baud = kBaud;
    return bounds;
  }

  Resources before_;
  fs::path work_;
  std::optional<Corpus> corpus_;
  FolderSnapshot terminal_before_;
  std::unique_ptr<linesim::Relay> relay_;
  std::unique_ptr<TerminalProcess> terminal_;
};

// A copy of kCopyBytes one way or the other, interrupted in the middle.
class HazardTest : public LineTest, public ::testing::WithParamInterface<Direction> {
 protected:
  [[nodiscard]] bool to_terminal() const { return GetParam() == Direction::kToTerminal; }
  [[nodiscard]] const CorpusFile& copied() const { return corpus_->files()[0]; }
  [[nodiscard]] std::string target_name() const { return "target-" + copied().name; }
  [[nodiscard]] fs::path target_path() const {
    return to_terminal() ? work_ / "terminal" / target_name() : work_ / "pc" / target_name();
  }

  std::unique_ptr<RunningCopy> StartCopy() {
    const std::string remote_source = "QMT:\\" + copied().name;
    const std::string local_source = (work_ / "pc" / copied().name).string();
    const std::string remote_target = "QMT:\\" + target_name();
    return to_terminal()
               ? std::make_unique<RunningCopy>(local_source, remote_target)
               : std::make_unique<RunningCopy>(remote_source, target_path().string());
  }

  // Blocks until `bytes` of the file have crossed the line; false when
  // the copy does not get going.
  [[nodiscard]] bool WaitForBytes(std::uint64_t bytes) {
    return relay_->WaitUntil(
        [&](const linesim::Counters& c) {
          return (to_terminal() ? c.a_to_b.bytes_out : c.b_to_a.bytes_out) >= bytes;
        },
        30s);
  }

  // Failure, or success with every byte right; nothing else on the terminal touched.
  void ExpectHonestOutcome(std::int32_t result) {
    if (result != 0) {
      const auto got = ReadWhole(target_path());
      ASSERT_TRUE(got.has_value());
      EXPECT_FALSE(Compare(copied().bytes, *got).has_value()) << "reported done, bytes differ";
    }
    const auto changed = Changes(terminal_before_, Snapshot(work_ / "terminal"),
                                 to_terminal() ? target_name() : std::string());
    EXPECT_TRUE(changed.empty()) << "terminal file changed: " << changed.front();
  }
};

// A terminal that no longer knows the copy's handle answers its next chunk
// with a failure, so once it answers again the copy ends within the chunk
// in flight (4 attempts and 3 re-positions of 4: 16) and the close (4).
TEST_P(HazardTest, TerminalKilledAndRestartedMidCopy) {
  auto copy = StartCopy();
  ASSERT_TRUE(WaitForBytes(NextThreshold()));
  terminal_->Kill();
  const auto interrupted = Clock::now();
  // The killed program held device B exclusively; the device outlives it.
  ASSERT_TRUE(relay_->ReleaseExclusive());
  ASSERT_NO_FATAL_FAILURE(StartTerminal());
  const auto bound = Bounds().ForAttempts(16 + 4);
  const std::int32_t result = copy->Result(interrupted + bound, interrupted);
  RecordProperty("ms_after_kill", static_cast<int>(copy->took_since_interruption().count()));
  EXPECT_LE(copy->took_since_interruption(), bound);
  ExpectHonestOutcome(result);
  ExpectLinkWorks();
}

// Nothing crosses the line any more, either way: the chunk in flight times
// out, its re-position times out four times, and the close four times.
TEST_P(HazardTest, LineGoesDeadMidCopy) {
  auto copy = StartCopy();
  ASSERT_TRUE(WaitForBytes(NextThreshold()));
  relay_->Stop();
  const auto interrupted = Clock::now();
  const auto bound = Bounds().ForAttempts(16 + 4);
  const std::int32_t result = copy->Result(interrupted + bound, interrupted);
  RecordProperty("ms_after_stop", static_cast<int>(copy->took_since_interruption().count()));
  EXPECT_EQ(result, 0);
  EXPECT_LE(copy->took_since_interruption(), bound);
  ExpectHonestOutcome(result);
}

// The device goes away (a USB adapter pulled): the link sees the hang-up,
// and no attempt waits for an answer that cannot come.
TEST_P(HazardTest, SerialDeviceVanishesMidCopy) {
  auto copy = StartCopy();
  ASSERT_TRUE(WaitForBytes(NextThreshold()));
  relay_.reset();
  const auto interrupted = Clock::now();
  const auto bound = Bounds().slack;
  const std::int32_t result = copy->Result(interrupted + Bounds().ForAttempts(16 + 4), interrupted);
  RecordProperty("ms_after_removal", static_cast<int>(copy->took_since_interruption().count()));
  EXPECT_EQ(result, 0);
  EXPECT_LE(copy->took_since_interruption(), bound);
  ExpectHonestOutcome(result);
}

// QMT_VorkUninit never waits for the call in progress: it closes the link
// under it, and the copy ends at once with its failure value.
TEST_P(HazardTest, UninitFromAnotherThreadMidCopy) {
  auto copy = StartCopy();
  ASSERT_TRUE(WaitForBytes(NextThreshold()));
  EXPECT_EQ(QMT_VorkUninit(), 1);
  const auto interrupted = Clock::now();
  const auto bound = Bounds().slack;
  const std::int32_t result = copy->Result(interrupted + Bounds().ForAttempts(16 + 4), interrupted);
  RecordProperty("ms_after_uninit", static_cast<int>(copy->took_since_interruption().count()));
  EXPECT_EQ(result, 0);
  EXPECT_LE(copy->took_since_interruption(), bound);
  ExpectHonestOutcome(result);
}

std::string WayName(const ::testing::TestParamInfo<Direction>& way) {
  return way.param == Direction::kToTerminal ? "PcToTerminal" : "TerminalToPc";
}

INSTANTIATE_TEST_SUITE_P(BothWays, HazardTest,
                         ::testing::Values(Direction::kToTerminal, Direction::kToPc), WayName);

}  // namespace
}  // namespace vork::soak
