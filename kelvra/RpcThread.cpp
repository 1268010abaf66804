#include "RpcThread.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "CodePage.h"
#include "uRpc.h"
#include "vork.h"

namespace kelvra {

namespace {

using namespace std::chrono_literals;

// Lets the terminal leave the line before the window listens on it again.
constexpr auto kAfterJobPause = 1500ms;

// The end-of-job notice. Sent, not posted: the job ends only once the window
// has handled it.
const JobBridge::Action WM_RPC_DONE = [](JobWindow& w) { w.WMRpcDone(); };

// Counts the job threads. Never destroyed: a job thread may still be running
// while the process ends.
struct LiveJobs {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
};

LiveJobs& Live() {
  static auto* jobs = new LiveJobs;
  return *jobs;
}

class LiveToken {
 public:
  LiveToken() {
    std::lock_guard lock(Live().mutex);
    ++Live().count;
  }
  LiveToken(const LiveToken&) = delete;
  LiveToken& operator=(const LiveToken&) = delete;
  ~LiveToken() {
    std::lock_guard lock(Live().mutex);
    --Live().count;
    Live().changed.notify_all();
  }
};

}  // namespace

std::vector<std::string> SplitNames(std::string_view list) {
  std::vector<std::string> names;
  while (true) {
    const std::size_t semicolon = list.find(';');
    names.emplace_back(list.substr(0, semicolon));
    if (semicolon == std::string_view::npos)
      return names;
    list.remove_prefix(semicolon + 1);
  }
}

std::optional<std::string> PcRelativeName(std::string_view name) {
  if (name.find('\0') != std::string_view::npos)
    return std::nullopt;
  if (!name.empty() && (name.front() == '/' || name.front() == '\\'))
    return std::nullopt;
  std::string relative(name);
  std::size_t start = 0;
  for (std::size_t i = 0; i <= relative.size(); ++i) {
    if (i < relative.size() && relative[i] != '/' && relative[i] != '\\')
      continue;
    if (std::string_view(relative).substr(start, i - start) == "..")
      return std::nullopt;
    if (i < relative.size())
      relative[i] = '/';
    start = i + 1;
  }
  return relative;
}

bool TRpcThread::Start(JobSpec job) {
  auto worker = std::make_unique<TRpcThread>(std::move(job));
  auto token = std::make_unique<LiveToken>();
  try {
    std::thread([worker = std::move(worker), token = std::move(token)]() mutable {
      worker->Execute();
      worker.reset();
      token.reset();  // last: after this the thread touches nothing of the program
    }).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

int TRpcThread::LiveCount() {
  std::lock_guard lock(Live().mutex);
  return Live().count;
}

bool TRpcThread::WaitUntilNoneLive(std::chrono::milliseconds timeout) {
  std::unique_lock lock(Live().mutex);
  return Live().changed.wait_for(lock, timeout, [] { return Live().count == 0; });
}

void TRpcThread::Execute() {
  JobBridge& bridge = *job_.bridge;
  if (!bridge.Attached())
    return;  // the window closed before the job began

  const bool started = StartRpcLink(job_.port, job_.baud, job_.compress);
  if (!bridge.Attached()) {
    // The window closed while the link was starting and may have closed it
    // before it was opened: make sure it ends closed.
    QMT_VorkUninit();
    return;
  }
  if (!started) {
    Post([](JobWindow& w) { w.AddStatusLine(QStringLiteral("RPC Start Fail.")); });
    QMT_VorkUninit();
    Post([](JobWindow& w) { w.ListenAfterFailedStart(); });
    return;
  }
  Post([](JobWindow& w) {
    w.AddStatusLine(QStringLiteral("Running..."));
    w.SetStatusPanel(QStringLiteral("Connected"));
  });

  const std::string& request = job_.request;
  const std::string_view list =
      request.size() >= 2 ? std::string_view(request).substr(1, request.size() - 2) : "";
  const char first = request.empty() ? '\0' : request.front();
  if (first == '@' || first == '$') {
    const Direction direction = first == '@' ? Direction::kUpload : Direction::kDownload;
    for (const std::string& name : SplitNames(list)) {
      if (!bridge.Attached())
        break;
      CopyOne(direction, name);
    }
  }

  if (FinishJob())
    job_.bridge->Send(WM_RPC_DONE);
}

void TRpcThread::CopyOne(Direction direction, const std::string& name) {
  const bool upload = direction == Direction::kUpload;
  const QString line =
      (upload ? QStringLiteral("Uploading -> ") : QStringLiteral("Downloading -> ")) +
      FromCodePage(name);
  Post([line](JobWindow& w) { w.AddStatusLine(line); });

  const auto relative = PcRelativeName(name);
  if (!relative)
    return;
  auto folder = std::make_shared<QString>();
  if (!job_.bridge->Send(
          [folder, direction](JobWindow& w) { *folder = w.FolderText(direction); })) {
    return;
  }
  const std::string pc_path = ToCodePage(*folder) + *relative;
  const std::string terminal_path = "QMT:\\" + name;
  const std::string& source = upload ? terminal_path : pc_path;
  const std::string& target = upload ? pc_path : terminal_path;
  if (QMT_CopyFile(source.c_str(), target.c_str(), 0) == 1) {
    Post(
        [done = line + QStringLiteral(" ...OK!")](JobWindow& w) { w.ReplaceLastStatusLine(done); });
  }
}

bool TRpcThread::FinishJob() {
  Post([](JobWindow& w) {
    w.AddStatusLine(QStringLiteral("Finish."));
    w.AddStatusLine(QStringLiteral("Please Quit Rpc Status on ZR612."));
  });
  const bool closed = QMT_VorkUninit() == 1;
  job_.bridge->Pause(kAfterJobPause);
  return closed;
}

}  // namespace kelvra
