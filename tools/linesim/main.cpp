// vork-linesim: the line simulator as a program. See README.md beside it.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "relay.h"
#include "unique_fd.h"

namespace {

using vork::linesim::Relay;

void Complain(const std::string& text) { std::fprintf(stderr, "vork-linesim: %s\n", text.c_str()); }

// Writes the counters to stderr, or replaces the counters file in one step so
// a script never reads half of it.
void ReportCounters(const Relay& relay, const std::string& file) {
  const std::string text = vork::linesim::FormatCounters(relay.counters());
  if (file.empty()) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    return;
  }
  const std::string temporary = file + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      Complain("cannot write " + temporary);
      return;
    }
  }
  if (std::rename(temporary.c_str(), file.c_str()) != 0) {
    Complain("cannot replace " + file + ": " + std::strerror(errno));
  }
}

enum class Next { kGoOn, kQuit };

class Control {
 public:
  Control(Relay& relay, const std::string& counters_file)
      : relay_(relay), counters_file_(counters_file) {}

  Next OnSignal(int fd) {
    signalfd_siginfo info{};
    if (::read(fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return Next::kGoOn;
    switch (static_cast<int>(info.ssi_signo)) {
      case SIGUSR1:
        ReportCounters(relay_, counters_file_);
        return Next::kGoOn;
      case SIGUSR2:
        Release();
        return Next::kGoOn;
      default:
        return Next::kQuit;
    }
  }

  // Commands are lines on stdin; end of input ends the simulator, so it
  // never outlives a parent that started it with a pipe.
  Next OnInput() {
    char buffer[512];
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0) return errno == EINTR || errno == EAGAIN ? Next::kGoOn : Next::kQuit;
    if (got == 0) {
      if (!pending_.empty() && Command(pending_) == Next::kQuit) return Next::kQuit;
      return Next::kQuit;
    }
    pending_.append(buffer, static_cast<std::size_t>(got));
    for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
      const std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (Command(line) == Next::kQuit) return Next::kQuit;
    }
    if (pending_.size() > 4096) pending_.clear();  // not a command anyone sends
    return Next::kGoOn;
  }

 private:
  Next Command(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    if (line.empty()) return Next::kGoOn;
    if (line == "quit") return Next::kQuit;
    if (line == "counters") {
      ReportCounters(relay_, counters_file_);
    } else if (line == "release") {
      Release();
    } else {
      Complain("unknown command '" + std::string(line) + "' (counters, release, quit)");
    }
    return Next::kGoOn;
  }

  void Release() {
    if (!relay_.ReleaseExclusive()) Complain("a device refused to end its exclusive hold");
  }

  Relay& relay_;
  const std::string& counters_file_;
  std::string pending_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const auto parsed = vork::linesim::ParseCommandLine(args);
  if (!parsed.options) {
    Complain(parsed.error + " (see --help)");
    return 2;
  }
  const auto& options = *parsed.options;
  if (options.help) {
    std::fwrite(vork::linesim::UsageText().data(), 1, vork::linesim::UsageText().size(), stdout);
    return 0;
  }

  // Signals arrive through a signalfd; they are blocked before the relay
  // thread starts so that it inherits the mask and never takes one itself.
  sigset_t handled;
  sigemptyset(&handled);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) {
    sigaddset(&handled, signal_number);
  }
  ::pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  const vork::link::UniqueFd signals(::signalfd(-1, &handled, SFD_CLOEXEC));
  if (!signals) {
    Complain(std::string("signalfd: ") + std::strerror(errno));
    return 1;
  }

  std::optional<Relay> relay;
  try {
    relay.emplace(options.relay);
  } catch (const std::exception& error) {
    Complain(error.what());
    return 1;
  }
  std::printf("ready %s %s\n", relay->path_a().c_str(), relay->path_b().c_str());
  std::fflush(stdout);

  Control control(*relay, options.counters_file);
  bool failed = false;
  for (bool running = true; running;) {
    pollfd fds[3] = {{signals.get(), POLLIN, 0},
                     {relay->finished_fd(), POLLIN, 0},
                     {options.control ? STDIN_FILENO : -1, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      Complain(std::string("poll: ") + std::strerror(errno));
      failed = true;
      break;
    }
    if (fds[1].revents != 0) {
      Complain("relay stopped: " + relay->failure().value_or("unknown reason"));
      failed = true;
      break;
    }
    if (fds[0].revents != 0 && control.OnSignal(signals.get()) == Next::kQuit) running = false;
    if (fds[2].revents != 0 && control.OnInput() == Next::kQuit) running = false;
  }
  relay->Stop();
  ReportCounters(*relay, options.counters_file);
  return failed ? 1 : 0;
}
