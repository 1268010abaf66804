// vork-linesim as a user or a script runs it: a child process with pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <system_error>

#include "device_user.h"
#include "unique_fd.h"

extern char** environ;

namespace vork::linesim {
namespace {

using link::UniqueFd;
using std::chrono::milliseconds;
using testing::DeviceUser;
using testing::RandomBytes;
namespace fs = std::filesystem;

constexpr milliseconds kPatience(20'000);

int MillisecondsLeft(TimePoint deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// The program in a child process; killed and reaped if a test leaves it running.
class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    UniqueFd child_in(in[0]), child_out(out[1]), child_err(err[1]);
    stdin_.reset(in[1]);
    stdout_.reset(out[0]);
    stderr_.reset(err[0]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, child_in.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, child_out.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, child_err.get(), 2);
    std::vector<std::string> argv_strings = {VORK_LINESIM_PROGRAM};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_strings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, VORK_LINESIM_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::system_error(spawned, std::generic_category(), "posix_spawn");
    pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  }

  ~Program() {
    if (!reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  void Signal(int number) const { ::kill(pid_, number); }
  void Send(std::string_view text) const {
    ASSERT_EQ(::write(stdin_.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void CloseInput() { stdin_.reset(); }

  // The next line from stdout (or stderr), without its newline.
  std::optional<std::string> Line(bool from_stderr = false) {
    std::string& buffered = from_stderr ? err_text_ : out_text_;
    const int fd = from_stderr ? stderr_.get() : stdout_.get();
    const TimePoint deadline = Clock::now() + kPatience;
    for (;;) {
      if (const auto end = buffered.find('\n'); end != std::string::npos) {
        std::string line = buffered.substr(0, end);
        buffered.erase(0, end + 1);
        return line;
      }
      pollfd readable = {fd, POLLIN, 0};
      if (::poll(&readable, 1, MillisecondsLeft(deadline)) <= 0) return std::nullopt;
      char chunk[1024];
      const ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got <= 0) return std::nullopt;
      buffered.append(chunk, static_cast<std::size_t>(got));
    }
  }

  // Everything left on stderr until the program closes it.
  std::string RestOfStderr() {
    std::string all = std::exchange(err_text_, {});
    while (auto line = Line(true)) all += *line + "\n";
    return all + std::exchange(err_text_, {});
  }

  // Exit status once the program has ended, or nothing if it did not within the patience.
  std::optional<int> Exit() {
    pollfd ended = {pidfd_.get(), POLLIN, 0};
    if (::poll(&ended, 1, static_cast<int>(kPatience.count())) != 1) return std::nullopt;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  UniqueFd pidfd_, stdin_, stdout_, stderr_;
  std::string out_text_, err_text_;
};

// "counters ab k=v ..." lines into {"ab.k": v}.
std::map<std::string, std::uint64_t> ParseCounters(const std::string& text) {
  std::map<std::string, std::uint64_t> values;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string head, direction;
    if (!(words >> head >> direction) || head != "counters") continue;
    for (std::string pair; words >> pair;) {
      const auto equals = pair.find('=');
      if (equals == std::string::npos) continue;
      values[direction + "." + pair.substr(0, equals)] = std::stoull(pair.substr(equals + 1));
    }
  }
  return values;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "linesim-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    pc_ = (dir_ / "pc").string();
    terminal_ = (dir_ / "terminal").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Sends `to_terminal` from the PC end and `to_pc` back, checking both arrive.
  void Transfer(std::size_t to_terminal, std::size_t to_pc) const {
    DeviceUser pc(pc_), terminal(terminal_);
    const auto forth = RandomBytes(to_terminal, 1), back = RandomBytes(to_pc, 2);
    ASSERT_TRUE(pc.WriteAll(forth, kPatience));
    ASSERT_EQ(terminal.Read(forth.size(), kPatience), forth);
    ASSERT_TRUE(terminal.WriteAll(back, kPatience));
    ASSERT_EQ(pc.Read(back.size(), kPatience), back);
  }

  fs::path dir_;
  std::string pc_, terminal_;
};

TEST_F(ProgramTest, RelaysBetweenItsLinksAndReportsCountersWhenTerminated) {
  Program program({"--a", pc_, "--b", terminal_, "--baud", "1000000", "--seed", "3"});
  EXPECT_EQ(program.Line(), "ready " + pc_ + " " + terminal_);
  Transfer(1000, 500);
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Exit(), 0);
  const auto counters = ParseCounters(program.RestOfStderr());
  EXPECT_EQ(counters.at("ab.bytes_in"), 1000U);
  EXPECT_EQ(counters.at("ab.bytes_out"), 1000U);
  EXPECT_EQ(counters.at("ba.bytes_out"), 500U);
  EXPECT_EQ(counters.at("ba.drops"), 0U);
  EXPECT_EQ(counters.size(), 18U);  // nine per direction
  EXPECT_FALSE(fs::exists(fs::symlink_status(pc_)));
}

TEST_F(ProgramTest, Sigusr1ReportsWhileRunningAndTheFileGetsTheFinalCounters) {
  const std::string file = (dir_ / "counters.txt").string();
  Program program({"--a", pc_, "--b", terminal_, "--unlimited", "--flip", "ab:1", "--counters", file});
  ASSERT_TRUE(program.Line());
  Transfer(0, 64);
  program.Signal(SIGINT);
  EXPECT_EQ(program.Exit(), 0);
  std::ifstream in(file);
  std::string text;
  for (std::string line; std::getline(in, line);) text += line + "\n";
  EXPECT_EQ(ParseCounters(text).at("ba.bytes_out"), 64U);
  EXPECT_FALSE(fs::exists(file + ".tmp"));
}

TEST_F(ProgramTest, Sigusr1ReportsOnStderrAndKeepsRunning) {
  Program program({"--a", pc_, "--b", terminal_, "--unlimited"});
  ASSERT_TRUE(program.Line());
  Transfer(10, 0);
  program.Signal(SIGUSR1);
  const auto first = program.Line(true);
  ASSERT_TRUE(first);
  EXPECT_EQ(ParseCounters(*first).at("ab.bytes_out"), 10U);
  ASSERT_TRUE(program.Line(true));  // the ba line
  Transfer(10, 0);  // still relaying
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Exit(), 0);
  EXPECT_EQ(ParseCounters(program.RestOfStderr()).at("ab.bytes_out"), 20U);
}

TEST_F(ProgramTest, ControlCommandsOnStdinAndEndOfInputQuits) {
  Program program({"--a", pc_, "--b", terminal_, "--unlimited", "--control"});
  ASSERT_TRUE(program.Line());
  Transfer(5, 7);
  program.Send("counters\n");
  const auto line = program.Line(true);
  ASSERT_TRUE(line);
  EXPECT_EQ(ParseCounters(*line).at("ab.bytes_out"), 5U);
  ASSERT_TRUE(program.Line(true));
  program.Send("release\nfrobnicate\n");
  const auto complaint = program.Line(true);
  ASSERT_TRUE(complaint);
  EXPECT_NE(complaint->find("unknown command 'frobnicate'"), std::string::npos) << *complaint;
  program.CloseInput();
  EXPECT_EQ(program.Exit(), 0);
  EXPECT_EQ(ParseCounters(program.RestOfStderr()).at("ba.bytes_out"), 7U);
}

TEST_F(ProgramTest, RestartAfterAKillTakesOverTheStaleLinks) {
  {
    Program first({"--a", pc_, "--b", terminal_});
    ASSERT_TRUE(first.Line());
    first.Signal(SIGKILL);
    EXPECT_EQ(first.Exit(), 128 + SIGKILL);
  }
  ASSERT_TRUE(fs::is_symlink(pc_));  // left behind by the killed one
  Program second({"--a", pc_, "--b", terminal_, "--unlimited"});
  EXPECT_EQ(second.Line(), "ready " + pc_ + " " + terminal_);
  Transfer(100, 100);
}

TEST_F(ProgramTest, RefusesABadCommandLineWithAReason) {
  Program program({"--flip", "2"});
  EXPECT_EQ(program.Exit(), 2);
  EXPECT_NE(program.RestOfStderr().find("bad value '2' for --flip"), std::string::npos);

  Program unusable({"--a", (dir_ / "missing" / "pc").string()});
  EXPECT_EQ(unusable.Exit(), 1);
  EXPECT_FALSE(unusable.RestOfStderr().empty());
}

}  // namespace
}  // namespace vork::linesim
