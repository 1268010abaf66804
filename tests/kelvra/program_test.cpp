// The kelvra program itself: started without a display, it runs on the
// offscreen platform, echoes its status, and ends cleanly on SIGTERM, also in
// the middle of a job.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "harness.h"

extern char** environ;

namespace kelvra::testing {
namespace {

using vork::termsim::ParseFault;
using vork::testing::SimulatedTerminal;

// The program as a child process, its stdout and stderr in one pipe. Spawned
// rather than forked: a fork of this threaded process is more than race
// checkers allow.
class Child {
 public:
  Child(const std::filesystem::path& program, std::initializer_list<const char*> unset) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      bool keep = true;
      for (const char* name : unset) {
        keep = keep && entry.rfind(std::string(name) + "=", 0) != 0;
      }
      if (keep)
        env.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& entry : env)
      envp.push_back(entry.data());
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
      return;
    out_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::string path = program.string();
    char* argv[] = {path.data(), nullptr};
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
    if (pid_ > 0)
      pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_, pidfd_}) {
      if (fd >= 0)
        ::close(fd);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  [[nodiscard]] bool running() const { return pid_ > 0 && pidfd_ >= 0 && !exited_; }
  void Signal(int signal) const { ::kill(pid_, signal); }
  // Appends what the program has written so far to output.
  void Drain(std::string& output) const {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out_, buffer, sizeof buffer)) > 0)
      output.append(buffer, static_cast<std::size_t>(n));
  }
  // Waits for the program to end; true when it did within timeout, with
  // status 0 and not by a signal.
  bool EndsCleanly(std::chrono::milliseconds timeout) {
    pollfd ended{pidfd_, POLLIN, 0};
    if (::poll(&ended, 1, static_cast<int>(timeout.count())) != 1)
      return false;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_)
      return false;
    exited_ = true;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int pidfd_ = -1;
  bool exited_ = false;
};

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    // A copy next to its own setup.ini: the program folder is the temp folder.
    std::filesystem::copy_file(KELVRA_BINARY, dir_.path() / "kelvra");
    child_ = std::make_unique<Child>(dir_.path() / "kelvra", std::initializer_list<const char*>{
                                                                 "DISPLAY", "WAYLAND_DISPLAY",
                                                                 "QT_QPA_PLATFORM", "KELVRA_ECHO"});
    ASSERT_TRUE(child_->running());
    ASSERT_TRUE(Saw("kelvra: listening on COM1 at 115200 baud", 10s)) << output_;
  }
  bool Saw(const std::string& text, std::chrono::milliseconds timeout) {
    return PumpUntil(
        [&] {
          child_->Drain(output_);
          return output_.find(text) != std::string::npos;
        },
        timeout);
  }
  // SIGTERM; true when the program ended by itself, with status 0, within
  // timeout.
  bool EndsOnSigterm(std::chrono::milliseconds timeout) {
    child_->Signal(SIGTERM);
    return child_->EndsCleanly(timeout);
  }

  SimulatedTerminal terminal_{1};
  TempDir dir_;
  std::unique_ptr<Child> child_;
  std::string output_;
};

TEST_F(Program, RunsAJobOffscreenWithItsStatusOnTheConsole) {
  WriteText(terminal_.root() / "a.txt", "hello");
  ASSERT_TRUE(Request(terminal_.sim(), "@a.txt#"));
  ASSERT_TRUE(Saw("kelvra: [Idlesse]", 20s)) << output_;
  EXPECT_NE(output_.find("kelvra: + Received valid char. Starting.....\n"
                         "kelvra: [Starting...]\n"
                         "kelvra: + Running...\n"
                         "kelvra: [Connected]\n"
                         "kelvra: + Uploading -> a.txt\n"
                         "kelvra: ~ Uploading -> a.txt ...OK!\n"
                         "kelvra: + Finish.\n"
                         "kelvra: + Please Quit Rpc Status on ZR612.\n"
                         "kelvra: (status list cleared)\n"),
            std::string::npos)
      << output_;
  EXPECT_EQ(ReadText(dir_.path() / "Upload" / "a.txt"), "hello");
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "setup.ini"));
  EXPECT_TRUE(EndsOnSigterm(5s));
}

TEST_F(Program, ClosedDuringAJobEndsAtOnceAndCleanly) {
  const auto big = vork::testing::RandomBytes(64 * 1024, 5);
  vork::testing::WriteFile(terminal_.root() / "big.bin", big);
  terminal_.sim().AddFault(*ParseFault("late=4000:code=12#3"));
  ASSERT_TRUE(Request(terminal_.sim(), "@big.bin#"));
  ASSERT_TRUE(Saw("kelvra: + Uploading -> big.bin", 10s)) << output_;
  // Inside Vork: the third read chunk, whose answer the terminal holds back.
  ASSERT_TRUE(PumpUntil(
      [&] {
        const auto requests = terminal_.sim().Requests();
        return std::count_if(requests.begin(), requests.end(),
                             [](const auto& r) { return r.code == 12; }) >= 3;
      },
      10s));
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_TRUE(EndsOnSigterm(5s));
  // The window's close takes 600 ms; the job, held for 4 s and then its
  // 1.5 s pause, is not waited for.
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 4000ms);
  child_->Drain(output_);
  EXPECT_EQ(output_.find("...OK!"), std::string::npos) << output_;
}

}  // namespace
}  // namespace kelvra::testing
