// The library as callers see it: libvork.so through vork.h, one process-wide
// link. Each test runs in a process of its own, so each starts at load.
#include "vork.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "fixtures.h"

namespace {

using namespace std::chrono_literals;
using vork::testing::RandomBytes;
using vork::testing::SimulatedTerminal;
using vork::testing::TempDir;

TEST(Exports, FirstRequestAfterLoadCarriesSequenceOne) {
  SimulatedTerminal terminal;
  ASSERT_EQ(QMT_VorkInit(terminal.number(), 115200, 0), 1);
  std::uint32_t version[3] = {};
  ASSERT_EQ(QMT_GetVersion(version), 1);
  ASSERT_EQ(QMT_VorkUninit(), 1);
  ASSERT_EQ(QMT_VorkInit(terminal.number(), 115200, 1), 1);
  ASSERT_EQ(QMT_GetVersion(version), 1);
  const auto log = terminal.sim().Requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].sequence, 1);
  EXPECT_EQ(log[1].sequence, 2);
  EXPECT_FALSE(log[0].compressed);
  EXPECT_TRUE(log[1].compressed);
  EXPECT_EQ(version[0], 1u);
}

TEST(Exports, SetBaudrateBeforeAnyInitTriesComZero) {
  ::unsetenv("VORK_COM0");
  EXPECT_EQ(QMT_SetBaudrate(9600), 0);
  SimulatedTerminal com0(0);
  EXPECT_EQ(QMT_SetBaudrate(9600), 1);
  std::uint32_t version[3] = {};
  EXPECT_EQ(QMT_GetVersion(version), 1);
  EXPECT_EQ(QMT_VorkUninit(), 1);
}

TEST(Exports, CallsFromSeveralThreadsDoNotMixTheirRequests) {
  SimulatedTerminal terminal;
  TempDir pc;
  ASSERT_EQ(QMT_VorkInit(terminal.number(), 115200, 1), 1);
  const auto data = RandomBytes(64 * 1024, 3);
  vork::testing::WriteFile(pc.path() / "a.bin", data);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const std::string target = "QMT:\\t" + std::to_string(t) + "_" + std::to_string(i);
        if (QMT_CopyFile((pc.path() / "a.bin").c_str(), target.c_str(), 0) != 1) ++failures;
        std::uint32_t record[3] = {};
        if (QMT_GetVersion(record) != 1 || record[0] != 1) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  for (int t = 0; t < 3; ++t) {
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(vork::testing::ReadFile(terminal.root() /
                                        ("t" + std::to_string(t) + "_" + std::to_string(i))),
                data);
    }
  }
  EXPECT_EQ(terminal.sim().OpenHandles(), 0u);
}

TEST(Exports, UninitFromAnotherThreadEndsACallInProgressPromptly) {
  SimulatedTerminal terminal;
  TempDir pc;
  ASSERT_EQ(QMT_VorkInit(terminal.number(), 115200, 0), 1);
  vork::testing::WriteFile(pc.path() / "big.bin", RandomBytes(512 * 1024, 4));
  // Every chunk answer comes late, so the copy is inside a wait when the
  // link closes under it.
  terminal.sim().AddFault(*vork::termsim::ParseFault("late=50:code=13"));
  auto copy = std::async(std::launch::async, [&] {
    return QMT_CopyFile((pc.path() / "big.bin").c_str(), "QMT:\\big.bin", 0);
  });
  ASSERT_TRUE(terminal.sim().WaitForRequests(5, 5s));
  const auto closing = std::chrono::steady_clock::now();
  EXPECT_EQ(QMT_VorkUninit(), 1);
  ASSERT_EQ(copy.wait_for(5s), std::future_status::ready) << "within one response time-out";
  EXPECT_EQ(copy.get(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 5s);
}

TEST(Exports, BackgroundCopyReportsThroughTheCallersVariables) {
  SimulatedTerminal terminal;
  TempDir pc;
  ASSERT_EQ(QMT_VorkInit(terminal.number(), 115200, 0), 1);
  const auto data = RandomBytes(20 * 2048 + 5, 5);
  vork::testing::WriteFile(terminal.root() / "src.bin", data);
  std::int32_t status = 0, cancel = 0;
  const auto target = (pc.path() / "dst.bin").string();
  ASSERT_EQ(QMT_CopyFileEx("QMT:\\src.bin", target.c_str(), 0, &status, &cancel, 0), 1);
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::atomic_ref<std::int32_t>(status).load() < 100 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(std::atomic_ref<std::int32_t>(status).load(), 100);
  EXPECT_EQ(vork::testing::ReadFile(target), data);
  // Right after the final value, the next background copy may start.
  std::int32_t again = 0;
  EXPECT_EQ(QMT_CopyFileExW(u"QMT:\\src.bin", u"QMT:\\copy.bin", 0, &again, &cancel, 0), 1);
  while (std::atomic_ref<std::int32_t>(again).load() < 100 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(std::atomic_ref<std::int32_t>(again).load(), 100);
}

}  // namespace
