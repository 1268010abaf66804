#include "line_bench_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

extern char** environ;

namespace vork::bench {

namespace {

using Clock = std::chrono::steady_clock;

int PollMillis(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

// posix_spawn's two records, released on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  void Standard(int fd, int target) {
    if (fd >= 0) {
      posix_spawn_file_actions_adddup2(&actions_, fd, target);
    } else {
      posix_spawn_file_actions_addopen(&actions_, target, "/dev/null", O_RDWR, 0);
    }
  }
  void Folder(const std::filesystem::path& folder) {
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions_, folder.c_str());
  }
  // Nothing but the three standard descriptors reaches the child (the
  // line's devices would otherwise stay open in sz or rz), and the signals
  // that end it do so by default, whatever this process ignores.
  void Isolate() {
    posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes_, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) sigaddset(&defaults, s);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

}  // namespace

ChildProcess::ChildProcess(const Options& options) {
  if (options.argv.empty()) throw std::system_error(EINVAL, std::generic_category(), "no program");
  std::vector<std::string> args = options.argv;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  SpawnSetup setup;
  setup.Standard(options.stdin_fd, STDIN_FILENO);
  setup.Standard(options.stdout_fd, STDOUT_FILENO);
  setup.Standard(options.stderr_fd, STDERR_FILENO);
  setup.Folder(options.folder);
  setup.Isolate();
  const int failed =
      posix_spawnp(&pid_, argv[0], setup.actions(), setup.attributes(), argv.data(), environ);
  if (failed != 0) {
    pid_ = -1;
    throw std::system_error(failed, std::generic_category(), "cannot start " + args[0]);
  }
  pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  if (!pidfd_) {
    const int error = errno;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    throw std::system_error(error, std::generic_category(), "pidfd_open");
  }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::move(other.pidfd_)),
      status_(std::exchange(other.status_, std::nullopt)) {}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) Terminate();
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
  if (status_ || pid_ <= 0) return status_;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    pollfd ended = {pidfd_.get(), POLLIN, 0};
    const int ready = ::poll(&ended, 1, PollMillis(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    break;
  }
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = status;
  return status_;
}

int ChildProcess::Terminate(std::chrono::milliseconds grace) {
  if (status_ || pid_ <= 0) return status_.value_or(0);
  ::kill(pid_, SIGTERM);
  if (const auto status = Wait(grace)) return *status;
  ::kill(pid_, SIGKILL);
  return Wait(std::chrono::hours(1)).value_or(0);
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace vork::bench
