// The one-key trigger: bytes collected across batches until "#", the reply,
// the hand-over of the port, and a worker that cannot be created.
#include <gtest/gtest.h>

#include <QTest>

#include "harness.h"

namespace kelvra::testing {
namespace {

using vork::testing::VirtualSerialPair;

class Trigger : public ::testing::Test {
 protected:
  void SetUp() override {
    k_.workers = Kelvra::Workers::kHold;
    k_.Start();
    ASSERT_TRUE(k_.form().Listening());
  }
  void Send(const std::string& text) {
    com1_.Send(std::span(reinterpret_cast<const std::byte*>(text.data()), text.size()));
  }
  // Lets the window take in what has arrived, as one batch.
  static void Settle() { QTest::qWait(200); }
  std::string Received() {
    const auto bytes = com1_.Receive(300ms);
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
  }

  VirtualSerialPair com1_{1};
  Kelvra k_;
};

TEST_F(Trigger, ACompleteRequestIsAnsweredAndHandedOverWithThePortClosed) {
  Send("@a.txt#");
  ASSERT_TRUE(PumpUntil([&] { return !k_.held_jobs.empty(); }, 2s));
  EXPECT_EQ(Received(), "ok");
  const JobSpec& job = k_.held_jobs[0];
  EXPECT_EQ(job.request, "@a.txt#");
  EXPECT_EQ(job.port, 1);
  EXPECT_EQ(job.baud, 115200);
  EXPECT_FALSE(job.compress);
  EXPECT_TRUE(k_.form().RpcBusy());
  EXPECT_FALSE(k_.form().Listening());
  EXPECT_EQ(k_.status, (std::vector<std::string>{"+ Received valid char. Starting.....",
                                                 "panel: Starting..."}));
}

TEST_F(Trigger, ADeviceThatGoesAwayEndsTheListeningInsteadOfSpinning) {
  { auto pulled = com1_.pty().TakeFarEnd(); }  // the far end closes: the cable is pulled
  ASSERT_TRUE(k_.WaitForStatus("+ Can't Open Com1", 0, 2s));
  EXPECT_FALSE(k_.form().Listening());
  EXPECT_FALSE(k_.form().RpcBusy());
}

TEST_F(Trigger, BatchesAreCollectedUntilOneEndsWithHash) {
  Send("@a");
  Settle();
  Send("#x");  // a batch that does not end with "#" completes nothing
  Settle();
  EXPECT_TRUE(k_.held_jobs.empty());
  EXPECT_EQ(Received(), "");
  EXPECT_TRUE(k_.status.empty());

  Send("b#");
  ASSERT_TRUE(PumpUntil([&] { return !k_.held_jobs.empty(); }, 2s));
  EXPECT_EQ(k_.held_jobs[0].request, "@a#xb#");
  EXPECT_EQ(Received(), "ok");
}

TEST_F(Trigger, StrayBytesStayInFrontOfTheRequest) {
  Send("x");
  Settle();
  Send("@a#");
  ASSERT_TRUE(PumpUntil([&] { return !k_.held_jobs.empty(); }, 2s));
  EXPECT_EQ(k_.held_jobs[0].request, "x@a#");
}

TEST_F(Trigger, AWorkerThatCannotBeCreatedLeavesTheWindowListening) {
  k_.workers = Kelvra::Workers::kFail;
  Send("@a#");
  ASSERT_TRUE(PumpUntil([&] { return k_.worker_starts == 1; }, 2s));
  EXPECT_EQ(Received(), "ok");
  EXPECT_EQ(k_.status,
            (std::vector<std::string>{"+ Received valid char. Starting.....", "panel: Starting...",
                                      "+ Create RPC Thread Fail."}));
  EXPECT_FALSE(k_.form().RpcBusy());
  EXPECT_TRUE(k_.form().Listening());

  // The next request stands on its own.
  k_.workers = Kelvra::Workers::kHold;
  Send("$b#");
  ASSERT_TRUE(PumpUntil([&] { return !k_.held_jobs.empty(); }, 2s));
  EXPECT_EQ(k_.held_jobs[0].request, "$b#");
}

TEST(RequestNames, PiecesBetweenSemicolonsEmptyOnesIncluded) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"a.txt", {"a.txt"}}, {"a;b", {"a", "b"}}, {"a;;b", {"a", "", "b"}},
      {"a;", {"a", ""}},    {"", {""}},          {";", {"", ""}},
  };
  for (const auto& [list, names] : cases)
    EXPECT_EQ(SplitNames(list), names) << list;
}

TEST(RequestNames, OnlyNamesInsideTheTransferFolderReachThePc) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"a.txt", "a.txt"},
      {"sub\\c.txt", "sub/c.txt"},
      {"sub/c.txt", "sub/c.txt"},
      {"", ""},
      {"..a\\b..", "..a/b.."},
      {"..", {}},
      {"..\\x", {}},
      {"sub\\..\\..\\x", {}},
      {"sub/../x", {}},
      {"x\\..", {}},
      {"/etc/passwd", {}},
      {"\\x", {}},
      {std::string("a\0/..", 5), {}},
  };
  for (const auto& [name, relative] : cases)
    EXPECT_EQ(PcRelativeName(name), relative) << name;
}

}  // namespace
}  // namespace kelvra::testing
