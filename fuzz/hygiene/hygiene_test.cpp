// Resource hygiene of libvork.so as callers use it, against the terminal
// simulator on a pseudo-terminal pair:
//   Hygiene.*   no descriptor and no thread is left behind by open/close
//               cycles or by copies that fail in every way the line can
//               make them fail;
//   EndToEnd.*  one copy each way, compression off and on, which
//               hygiene.sh also runs under valgrind's memcheck.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pseudo_terminal.h"
#include "simulator.h"
#include "vork.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kCom = 43;

struct Counts {
  std::size_t descriptors = 0;
  std::size_t threads = 0;
  friend bool operator==(const Counts&, const Counts&) = default;
};

std::size_t Entries(const char* folder) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder))
    ++n;
  return n;
}

Counts Now() {
  return {Entries("/proc/self/fd"), Entries("/proc/self/task")};
}

std::ostream& operator<<(std::ostream& out, const Counts& c) {
  return out << c.descriptors << " descriptors, " << c.threads << " threads";
}

// A thread that has ended leaves /proc/self/task a moment after it wrote
// its last value: wait for that, at most `limit`.
Counts SettledCounts(const Counts& expected, std::chrono::milliseconds limit = 2s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  Counts now = Now();
  while (!(now == expected) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    now = Now();
  }
  return now;
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "vork-hygiene-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  [[nodiscard]] const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The simulator serving a folder on the far end of COM<kCom>.
class Terminal {
 public:
  Terminal() : simulator_({root_.path(), vork::termsim::AnswerCompression::kMirror}) {
    ::setenv(("VORK_COM" + std::to_string(kCom)).c_str(), pty_.device().c_str(), 1);
    simulator_.Start(pty_.TakeFarEnd());
  }
  ~Terminal() { simulator_.Stop(); }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  [[nodiscard]] const fs::path& root() const { return root_.path(); }
  vork::termsim::Simulator& sim() { return simulator_; }

 private:
  TempFolder root_;
  vork::tools::PseudoTerminal pty_;
  vork::termsim::Simulator simulator_;
};

std::string Random(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::string out(count, '\0');
  for (char& c : out)
    c = static_cast<char>(random() & 0xFF);
  return out;
}

void Put(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Get(const fs::path& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  if (error)
    return {};
  std::string bytes(size, '\0');
  std::ifstream(path, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(size));
  return bytes;
}

TEST(EndToEnd, CopiesBothWaysThroughTheLibrary) {
  for (const int compress : {0, 1}) {
    SCOPED_TRACE(compress != 0 ? "compressed" : "plain");
    Terminal terminal;
    TempFolder pc;
    // Not a whole number of blocks, so the last block is a short one.
    const std::string data = Random(3 * 2048 + 777, 11);
    Put(pc.path() / "out.bin", data);
    ASSERT_EQ(QMT_VorkInit(kCom, 115200, compress), 1);
    EXPECT_EQ(QMT_CopyFile((pc.path() / "out.bin").c_str(), "QMT:\\there.bin", 0), 1);
    EXPECT_EQ(Get(terminal.root() / "there.bin"), data);
    EXPECT_EQ(QMT_CopyFile("QMT:\\there.bin", (pc.path() / "back.bin").c_str(), 0), 1);
    EXPECT_EQ(Get(pc.path() / "back.bin"), data);
    EXPECT_EQ(QMT_VorkUninit(), 1);
    EXPECT_EQ(terminal.sim().OpenHandles(), 0u);
  }
}

TEST(Hygiene, OpenCloseCyclesLeaveNothingBehind) {
  const Counts before = Now();
  {
    Terminal terminal;
    for (int i = 0; i < 40; ++i) {
      ASSERT_EQ(QMT_VorkInit(kCom, 115200, i % 2), 1);
      std::uint32_t version[3] = {};
      ASSERT_EQ(QMT_GetVersion(version), 1);
      if (i % 4 == 0) {
        ASSERT_EQ(QMT_SetBaudrate(57600), 1);
      }
      ASSERT_EQ(QMT_VorkUninit(), 1);
    }
    // Opening twice without a close in between closes the first link.
    ASSERT_EQ(QMT_VorkInit(kCom, 115200, 0), 1);
    ASSERT_EQ(QMT_VorkInit(kCom, 115200, 0), 1);
    ASSERT_EQ(QMT_VorkUninit(), 1);
  }
  // A device that is not there.
  ::setenv(("VORK_COM" + std::to_string(kCom)).c_str(), "/nonexistent/tty", 1);
  EXPECT_EQ(QMT_VorkInit(kCom, 115200, 0), 0);
  EXPECT_EQ(QMT_VorkUninit(), 1);
  EXPECT_EQ(SettledCounts(before), before);
}

struct FailedCopy {
  const char* name;
  const char* fault;  // simulator fault text, or empty
  bool upload;        // terminal to PC, else PC to terminal
  bool source_missing;
  // Whether every handle the terminal opened reached the PC: a create whose
  // answer is refused opens a file the PC never hears of.
  bool handles_known = true;
};

TEST(Hygiene, FailedCopiesLeaveNothingBehind) {
  const std::vector<FailedCopy> cases = {
      {"PC source missing", "", false, true},
      {"terminal source missing", "", true, true},
      {"write chunk answered with a wrong length", "wronglen:code=13#3", false, false},
      {"read chunk claims more than asked", "claim=2000:code=12#2", true, false},
      {"size answer whose body lies about its length", "bodylen=3:code=20", true, false},
      {"create answered with a wrong length", "wronglen:code=10", false, false, false},
  };
  const std::string data = Random(6 * 2048 + 5, 12);
  const Counts before = Now();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      Terminal terminal;
      TempFolder pc;
      if (!c.source_missing) {
        Put(pc.path() / "a.bin", data);
        Put(terminal.root() / "a.bin", data);
      }
      if (*c.fault != '\0')
        terminal.sim().AddFault(*vork::termsim::ParseFault(c.fault));
      ASSERT_EQ(QMT_VorkInit(kCom, 115200, 1), 1);
      const std::string pc_path = (pc.path() / (c.upload ? "b.bin" : "a.bin")).string();
      const int copied = c.upload ? QMT_CopyFile("QMT:\\a.bin", pc_path.c_str(), 0)
                                  : QMT_CopyFile(pc_path.c_str(), "QMT:\\b.bin", 0);
      EXPECT_EQ(copied, 0);
      EXPECT_EQ(QMT_VorkUninit(), 1);
      if (c.handles_known) {
        EXPECT_EQ(terminal.sim().OpenHandles(), 0u) << "every file the copy opened is closed";
      }
    }
    EXPECT_EQ(SettledCounts(before), before);
  }
}

// The line goes away under a copy: the simulator stops (its end of the
// pair closes), or another thread closes the link.
TEST(Hygiene, CopiesCutOffMidwayLeaveNothingBehind) {
  const std::string data = Random(64 * 2048, 13);
  const Counts before = Now();
  for (const bool simulator_stops : {true, false}) {
    SCOPED_TRACE(simulator_stops ? "terminal gone" : "link closed from another thread");
    {
      Terminal terminal;
      TempFolder pc;
      Put(pc.path() / "big.bin", data);
      terminal.sim().AddFault(*vork::termsim::ParseFault("late=20:code=13"));
      ASSERT_EQ(QMT_VorkInit(kCom, 115200, 0), 1);
      auto copy = std::async(std::launch::async, [&] {
        return QMT_CopyFile((pc.path() / "big.bin").c_str(), "QMT:\\big.bin", 0);
      });
      ASSERT_TRUE(terminal.sim().WaitForRequests(6, 5s));
      if (simulator_stops) {
        terminal.sim().Stop();
      } else {
        EXPECT_EQ(QMT_VorkUninit(), 1);
      }
      ASSERT_EQ(copy.wait_for(30s), std::future_status::ready);
      EXPECT_EQ(copy.get(), 0);
      EXPECT_EQ(QMT_VorkUninit(), 1);
    }
    EXPECT_EQ(SettledCounts(before), before);
  }
}

// A background copy that fails ends its thread once it has reported.
TEST(Hygiene, FailedBackgroundCopyEndsItsThread) {
  const Counts before = Now();
  {
    Terminal terminal;
    TempFolder pc;
    Put(terminal.root() / "a.bin", Random(8 * 2048, 14));
    terminal.sim().AddFault(*vork::termsim::ParseFault("wronglen:code=12#5"));
    ASSERT_EQ(QMT_VorkInit(kCom, 115200, 0), 1);
    std::int32_t status = 0, cancel = 0;
    const std::string target = (pc.path() / "b.bin").string();
    ASSERT_EQ(QMT_CopyFileEx("QMT:\\a.bin", target.c_str(), 0, &status, &cancel, 0), 1);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::atomic_ref<std::int32_t>(status).load() < 100 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(std::atomic_ref<std::int32_t>(status).load(), 102) << "a read failure";
    EXPECT_EQ(QMT_VorkUninit(), 1);
  }
  EXPECT_EQ(SettledCounts(before), before);
}

}  // namespace
