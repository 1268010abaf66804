// One-key jobs end to end: the window, libvork and the simulated terminal on
// a virtual serial pair.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <chrono>

#include "harness.h"

namespace kelvra::testing {
namespace {

using vork::termsim::ParseFault;
using vork::testing::SimulatedTerminal;
using Clock = std::chrono::steady_clock;

using Files = std::vector<std::pair<std::string, std::string>>;  // relative path, content

std::string Content(std::size_t size, unsigned seed) {
  const auto bytes = vork::testing::RandomBytes(size, seed);
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void Lay(const std::filesystem::path& base, const Files& files) {
  for (const auto& [relative, content] : files) {
    std::filesystem::create_directories((base / relative).parent_path());
    WriteText(base / relative, content);
  }
}

const std::vector<std::string> kStarted = {"+ Received valid char. Starting.....",
                                           "panel: Starting...", "+ Running...",
                                           "panel: Connected"};
const std::vector<std::string> kFinished = {"+ Finish.", "+ Please Quit Rpc Status on ZR612.",
                                            "clear", "panel: Idlesse"};

// The status record of a whole job with these copy lines (line, copied?).
std::vector<std::string> JobStatus(const std::vector<std::pair<std::string, bool>>& copies) {
  std::vector<std::string> all = kStarted;
  for (const auto& [line, ok] : copies) {
    all.push_back("+ " + line);
    if (ok)
      all.push_back("~ " + line + " ...OK!");
  }
  all.insert(all.end(), kFinished.begin(), kFinished.end());
  return all;
}

// Whether any request that reached the terminal carried text.
bool TerminalSaw(const vork::termsim::Simulator& sim, const std::string& text) {
  for (const auto& request : sim.Requests()) {
    const std::string payload(reinterpret_cast<const char*>(request.payload.data()),
                              request.payload.size());
    if (payload.find(text) != std::string::npos)
      return true;
  }
  return false;
}

struct JobCase {
  const char* name;
  Files terminal;  // files on the terminal before the request
  Files pc;        // files under the program folder before the request
  std::string request;
  std::vector<std::pair<std::string, bool>> copies;
  Files terminal_after;
  Files pc_after;
  std::vector<std::string> never_sent;  // must not reach the terminal
  std::vector<std::string> pc_absent;   // must not exist under the program folder
};
void PrintTo(const JobCase& c, std::ostream* os) {
  *os << c.name;
}

class Job : public ::testing::TestWithParam<JobCase> {};

TEST_P(Job, RunsAsRequested) {
  const JobCase& c = GetParam();
  SimulatedTerminal terminal(1);
  Kelvra k;
  k.Start();
  Lay(terminal.root(), c.terminal);
  Lay(k.folder(), c.pc);

  ASSERT_TRUE(Request(terminal.sim(), c.request));
  ASSERT_TRUE(k.WaitForStatus("panel: Idlesse", 0, 30s));
  EXPECT_EQ(k.status, JobStatus(c.copies));
  for (const auto& [relative, content] : c.terminal_after) {
    EXPECT_EQ(ReadText(terminal.root() / relative), content) << relative;
  }
  for (const auto& [relative, content] : c.pc_after) {
    EXPECT_EQ(ReadText(k.folder() / relative), content) << relative;
  }
  for (const auto& text : c.never_sent)
    EXPECT_FALSE(TerminalSaw(terminal.sim(), text)) << text;
  for (const auto& relative : c.pc_absent) {
    EXPECT_FALSE(std::filesystem::exists(k.folder() / relative)) << relative;
  }
  // Back to listening, the list cleared.
  EXPECT_TRUE(k.form().Listening());
  EXPECT_FALSE(k.form().RpcBusy());
  EXPECT_TRUE(k.StatusLines().empty());
  EXPECT_EQ(k.Panel(), "Idlesse");
}

const std::string kA = Content(5000, 1);
const std::string kB = Content(10, 2);
const std::string kSmall = Content(300, 3);

INSTANTIATE_TEST_SUITE_P(
    Kelvra, Job,
    ::testing::Values(
        JobCase{"UploadInOneBatch",
                {{"a.txt", kA}},
                {},
                "@a.txt#",
                {{"Uploading -> a.txt", true}},
                {},
                {{"Upload/a.txt", kA}},
                {},
                {}},
        JobCase{"TwoDownloadsInOrder",
                {},
                {{"Download/a", kA}, {"Download/b", kB}},
                "$a;b#",
                {{"Downloading -> a", true}, {"Downloading -> b", true}},
                {{"a", kA}, {"b", kB}},
                {},
                {},
                {}},
        JobCase{"EmptyNamesAreTried",
                {{"a", kA}, {"b", kB}},
                {},
                "@a;;b#",
                {{"Uploading -> a", true}, {"Uploading -> ", false}, {"Uploading -> b", true}},
                {},
                {{"Upload/a", kA}, {"Upload/b", kB}},
                {},
                {}},
        JobCase{"OnlyAnEmptyName", {}, {}, "@#", {{"Uploading -> ", false}}, {}, {}, {}, {}},
        JobCase{"NoDirectionCopiesNothing",
                {{"a", kA}},
                {},
                "x@a#",
                {},
                {},
                {},
                {},
                {"Upload/a", "Download/a"}},
        JobCase{"BackslashReachesASubfolderUp",
                {{"sub/c.txt", kB}},
                {{"Upload/sub/keep", ""}},
                "@sub\\c.txt#",
                {{"Uploading -> sub\\c.txt", true}},
                {},
                {{"Upload/sub/c.txt", kB}},
                {},
                {}},
        JobCase{"BackslashReachesASubfolderDown",
                {{"sub/keep", ""}},
                {{"Download/sub/d.txt", kSmall}},
                "$sub\\d.txt#",
                {{"Downloading -> sub\\d.txt", true}},
                {{"sub/d.txt", kSmall}},
                {},
                {},
                {}},
        JobCase{"ExistingTargetIsReplaced",
                {{"a.txt", kSmall}},
                {{"Upload/a.txt", kA}},
                "@a.txt#",
                {{"Uploading -> a.txt", true}},
                {},
                {{"Upload/a.txt", kSmall}},
                {},
                {}},
        JobCase{"DownloadFromOutsideTheFolderIsRefused",
                {},
                {{"secret.txt", kB}, {"Download/ok.txt", kSmall}},
                "$..\\secret.txt;ok.txt#",
                {{"Downloading -> ..\\secret.txt", false}, {"Downloading -> ok.txt", true}},
                {{"ok.txt", kSmall}},
                {},
                {"secret"},
                {}},
        JobCase{"UploadOutsideTheFolderIsRefused",
                {{"x.txt", kB}},
                {},
                "@Upload/../../x.txt;/x.txt#",
                {{"Uploading -> Upload/../../x.txt", false}, {"Uploading -> /x.txt", false}},
                {},
                {},
                {"x.txt"},
                {"x.txt", "Upload/x.txt"}}),
    [](const ::testing::TestParamInfo<JobCase>& p) { return std::string(p.param.name); });

TEST(JobFolders, AFolderTextWithoutSeparatorIsJoinedAsItStands) {
  SimulatedTerminal terminal(1);
  Kelvra k;
  k.Start();
  Lay(terminal.root(), {{"a.txt", kA}});
  // Typed into the box by hand: applies to the job, is not saved.
  k.Control<QLineEdit>("edtUpload")->setText(QString::fromStdString((k.folder() / "Up").string()));
  ASSERT_TRUE(Request(terminal.sim(), "@a.txt#"));
  ASSERT_TRUE(k.WaitForStatus("panel: Idlesse", 0, 30s));
  EXPECT_EQ(k.status, JobStatus({{"Uploading -> a.txt", true}}));
  EXPECT_EQ(ReadText(k.folder() / "Upa.txt"), kA);
  EXPECT_NE(ReadText(k.ini_path()).find("UploadPath=" + k.folder().string() + "/Upload/"),
            std::string::npos);
}

struct CompressionCase {
  const char* name;
  const char* ini;  // section [Setting], empty: no setup.ini
  bool click;       // the check box is clicked before the job
  bool compressed;  // what the terminal must see
};
void PrintTo(const CompressionCase& c, std::ostream* os) {
  *os << c.name;
}

class JobCompression : public ::testing::TestWithParam<CompressionCase> {};

TEST_P(JobCompression, FollowsTheValueReadAtStartUp) {
  const CompressionCase& c = GetParam();
  SimulatedTerminal terminal(1);
  Kelvra k;
  if (*c.ini != '\0')
    WriteText(k.ini_path(), std::string("[Setting]\n") + c.ini + "\n");
  k.Start();
  if (c.click)
    k.Control<QCheckBox>("cb_compress")->click();
  Lay(terminal.root(), {{"a.txt", kA}});

  ASSERT_TRUE(Request(terminal.sim(), "@a.txt#"));
  ASSERT_TRUE(k.WaitForStatus("panel: Idlesse", 0, 30s));
  EXPECT_EQ(ReadText(k.folder() / "Upload" / "a.txt"), kA);
  const auto requests = terminal.sim().Requests();
  ASSERT_FALSE(requests.empty());
  for (const auto& request : requests)
    EXPECT_EQ(request.compressed, c.compressed);
}

INSTANTIATE_TEST_SUITE_P(
    Kelvra, JobCompression,
    ::testing::Values(CompressionCase{"Compress5", "Compress=5", false, true},
                      CompressionCase{"CheckBoxWaitsForTheNextStart", "", true, false}),
    [](const ::testing::TestParamInfo<CompressionCase>& p) { return std::string(p.param.name); });

TEST(JobStart, ASilentTerminalFailsTheStartAndTheWindowListensAgain) {
  SimulatedTerminal terminal(1);
  Kelvra k;
  k.Start();
  Lay(terminal.root(), {{"a.txt", kA}});
  terminal.sim().AddFault(*ParseFault("ignore:code=0"));  // the version probe goes unanswered

  ASSERT_TRUE(Request(terminal.sim(), "@a.txt#"));
  // Vork makes its four attempts of 5 s each.
  ASSERT_TRUE(PumpUntil([&] { return k.form().Listening(); }, 30s));
  EXPECT_EQ(k.status, (std::vector<std::string>{"+ Received valid char. Starting.....",
                                                "panel: Starting...", "+ RPC Start Fail."}));
  EXPECT_FALSE(k.form().RpcBusy());
  EXPECT_EQ(k.StatusLines(),
            (std::vector<std::string>{"Received valid char. Starting.....", "RPC Start Fail."}));
  EXPECT_EQ(k.Panel(), "Starting...");
  EXPECT_FALSE(std::filesystem::exists(k.folder() / "Upload" / "a.txt"));

  // The next request is parsed on its own.
  terminal.sim().ClearFaults();
  const std::size_t from = k.status.size();
  ASSERT_TRUE(Request(terminal.sim(), "@a.txt#"));
  ASSERT_TRUE(k.WaitForStatus("panel: Idlesse", from, 30s));
  const std::vector<std::string> second(k.status.begin() + static_cast<std::ptrdiff_t>(from),
                                        k.status.end());
  EXPECT_EQ(second, JobStatus({{"Uploading -> a.txt", true}}));
  EXPECT_EQ(ReadText(k.folder() / "Upload" / "a.txt"), kA);
}

int CountCode(const vork::termsim::Simulator& sim, int code) {
  int n = 0;
  for (const auto& request : sim.Requests())
    n += request.code == code ? 1 : 0;
  return n;
}

struct CloseCase {
  const char* name;
  const char* fault;  // holds the job inside a Vork call
  int code;           // the request the terminal holds
  int occurrence;
  const char* last_status;  // what the window shows when it is closed
};
void PrintTo(const CloseCase& c, std::ostream* os) {
  *os << c.name;
}

class CloseDuringJob : public ::testing::TestWithParam<CloseCase> {};

TEST_P(CloseDuringJob, EndsTheJobsVorkCallAndTheJobWithoutWaiting) {
  const CloseCase& c = GetParam();
  constexpr int kReadChunk = 12;
  SimulatedTerminal terminal(1);
  Kelvra k;
  k.Start();
  const std::string big = Content(64 * 1024, 4);
  Lay(terminal.root(), {{"big.bin", big}});
  terminal.sim().AddFault(*ParseFault(c.fault));

  ASSERT_TRUE(Request(terminal.sim(), "@big.bin#"));
  ASSERT_TRUE(PumpUntil([&] { return CountCode(terminal.sim(), c.code) >= c.occurrence; }, 10s));
  ASSERT_TRUE(PumpUntil([&] { return k.status.back() == c.last_status; }, 2s));
  const std::size_t seen = k.status.size();
  const auto closed_at = Clock::now();
  k.Close();
  // Without the link closed under it, the job would sit out the held answer
  // (4 s for a chunk, 20 s for the probe) and then its 1.5 s pause.
  ASSERT_TRUE(TRpcThread::WaitUntilNoneLive(30s));
  EXPECT_LT(Clock::now() - closed_at, 4000ms);

  EXPECT_EQ(k.status.size(), seen) << "the job reached the closed window";
  EXPECT_FALSE(k.form().Listening());
  const auto upload = k.folder() / "Upload" / "big.bin";
  if (c.code == kReadChunk) {
    EXPECT_LT(ReadText(upload).size(), big.size());
  } else {
    EXPECT_FALSE(std::filesystem::exists(upload));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kelvra, CloseDuringJob,
    ::testing::Values(CloseCase{"InACopy", "late=4000:code=12#3", 12, 3, "+ Uploading -> big.bin"},
                      CloseCase{"InTheVersionProbe", "ignore:code=0", 0, 1, "panel: Starting..."}),
    [](const ::testing::TestParamInfo<CloseCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kelvra::testing
