// The kelvra program itself: started without a display, it runs on the
// offscreen platform, echoes its status, and ends cleanly on SIGTERM, also in
// the middle of a job.
#include <gtest/gtest.h>
#include <signal.h>

#include <QProcess>
#include <chrono>

#include "harness.h"

namespace kelvra::testing {
namespace {

using vork::termsim::ParseFault;
using vork::testing::SimulatedTerminal;

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    // A copy next to its own setup.ini: the program folder is the temp folder.
    std::filesystem::copy_file(KELVRA_BINARY, dir_.path() / "kelvra");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "KELVRA_ECHO"}) {
      env.remove(name);
    }
    process_.setProcessEnvironment(env);
    process_.setProgram(QString::fromStdString((dir_.path() / "kelvra").string()));
    process_.start();
    ASSERT_TRUE(process_.waitForStarted(5000));
    ASSERT_TRUE(Saw("kelvra: listening on COM1 at 115200 baud", 10s)) << output_;
  }
  void TearDown() override {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }
  bool Saw(const std::string& text, std::chrono::milliseconds timeout) {
    return PumpUntil(
        [&] {
          output_ += process_.readAllStandardOutput().toStdString();
          return output_.find(text) != std::string::npos;
        },
        timeout);
  }
  // SIGTERM; true when the program ended by itself, normally, with status 0,
  // within timeout.
  bool EndsOnSigterm(std::chrono::milliseconds timeout) {
    ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
    return process_.waitForFinished(static_cast<int>(timeout.count())) &&
           process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
  }

  SimulatedTerminal terminal_{1};
  TempDir dir_;
  QProcess process_;
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
  ASSERT_TRUE(terminal_.sim().WaitForRequests(1, 1s));
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_TRUE(EndsOnSigterm(3s));
  // The window's close takes 600 ms; the job is not waited for.
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 2500ms);
  output_ += process_.readAllStandardOutput().toStdString();
  EXPECT_EQ(output_.find("...OK!"), std::string::npos) << output_;
}

}  // namespace
}  // namespace kelvra::testing
