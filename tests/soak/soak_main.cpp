// vork-soak: copies files both ways over a simulated RS-232 line that flips
// bits, loses bytes and inserts noise, and classifies every copy.
//
// Each lane runs Vork (through its call context, as COM<n>) against the
// terminal simulator over a line simulator in this process; lanes run side
// by side to gather more line time. See Usage() for the forms and options.
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comma_list.h"
#include "corpus.h"
#include "frames.h"
#include "lane.h"
#include "report.h"
#include "resources.h"
#include "unique_fd.h"

namespace {

namespace fs = std::filesystem;
using namespace vork::soak;
using Clock = std::chrono::steady_clock;

void Usage(std::ostream& out) {
  out << R"(usage: vork-soak [--short | --long] [options]
       vork-soak --frames [frame options]

Copies files both ways between Vork and the terminal simulator over a line
simulator with seeded bit flips, lost bytes and noise bursts, compression
off and on, and classifies every copy: identical, failed (reported), or
silent (reported as done, bytes wrong). Checks that every copy returns
within the bound its attempts allow, that no copy touches other terminal
files, and that no descriptor or thread is left behind.

Forms:
  --short    the CI form (about a minute): 1000000 baud, 1000 ms response
             time-out, six small files each copied both ways, flip, drop,
             noise and a mix at 3e-4 per byte plus a clean line, compression
             off and on, two lanes.
  --long     the form to run by hand: 115200 baud, the shipped 5000 ms
             response time-out, sixteen files of 0 bytes to 300 KiB (random
             and text), flip, drop, noise and a mix at 1e-6, 1e-5 and 1e-4 per
             byte plus a clean line, compression off and on, four lanes, for
             60 minutes. Example:
               build/tests/soak/vork-soak --long --records soak.csv
  Options after the form change it.

Options:
  --minutes M               run until M minutes have passed (a batch that has
                            begun finishes)
  --rounds N                run every fault setting N times instead
  --lanes N                 lanes side by side
  --baud N                  line speed, 8N1
  --response-timeout-ms N   Vork's wait for each response
  --rates LIST              e.g. 1e-6,1e-5,1e-4 (per byte, each kind)
  --kinds LIST              of flip,drop,noise,mix; a clean line always runs
  --compress LIST           off,on
  --files small|standard    the file mix
  --batch N                 copies per batch (one line, one fault seed)
  --seed N                  seed of the files and the line faults
  --records FILE            one CSV line per copy
  --work DIR                work folder (default: a new one under $TMPDIR,
                            removed at the end)
  --com N                   lane i uses COM(N+i) (default 40)

Exit status: 0 when nothing that must not happen happened, 1 otherwise, 2 for
a bad command line, 3 when a call stopped making progress (a hang).

Frame measurement (--frames, see vork-soak --frames --help): frames of the
sizes the copies use, through the same fault generator and frame receiver,
counted by outcome; fast enough for millions of frames.
)";
}

struct Options {
  std::vector<std::string> kinds = {"flip", "drop", "noise", "mix"};
  std::vector<double> rates = {1e-6, 1e-5, 1e-4};
  std::vector<bool> compress = {false, true};
  std::string files = "standard";
  int lanes = 4;
  int baud = 115200;
  Milliseconds response_timeout{5000};
  std::optional<double> minutes = 60;
  std::uint64_t rounds = 0;
  std::size_t batch = 4;
  std::uint64_t seed = 1;
  std::string records;
  std::string work;
  int com = 40;
};

void ShortForm(Options& o) {
  o.kinds = {"flip", "drop", "noise", "mix"};
  o.rates = {3e-4};
  o.compress = {false, true};
  o.files = "small";
  o.lanes = 2;
  o.baud = 1000000;
  o.response_timeout = Milliseconds(1000);
  o.minutes.reset();
  o.rounds = 1;
  o.batch = 12;  // every small file once each way
}

void LongForm(Options& o) { o = Options{}; }

[[noreturn]] void Bad(const std::string& problem) {
  std::cerr << "vork-soak: " << problem << "\n";
  Usage(std::cerr);
  std::exit(2);
}

double Number(const std::string& text, const std::string& option) {
  try {
    std::size_t used = 0;
    const double value = std::stod(text, &used);
    if (used != text.size()) Bad(option + ": not a number: " + text);
    return value;
  } catch (const std::exception&) {
    Bad(option + ": not a number: " + text);
  }
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Bad(option + " needs a value");
      return argv[++i];
    };
    auto whole = [&](double low, double high) {
      const double v = Number(value(), option);
      if (v < low || v > high || v != static_cast<double>(static_cast<long long>(v))) {
        Bad(option + " out of range");
      }
      return static_cast<long long>(v);
    };
    if (option == "--help" || option == "-h") {
      Usage(std::cout);
      std::exit(0);
    } else if (option == "--short") {
      ShortForm(o);
    } else if (option == "--long") {
      LongForm(o);
    } else if (option == "--minutes") {
      o.minutes = Number(value(), option);
      if (*o.minutes <= 0) Bad("--minutes must be positive");
      o.rounds = 0;
    } else if (option == "--rounds") {
      o.rounds = static_cast<std::uint64_t>(whole(1, 1e6));
      o.minutes.reset();
    } else if (option == "--lanes") {
      o.lanes = static_cast<int>(whole(1, 32));
    } else if (option == "--baud") {
      o.baud = static_cast<int>(whole(300, 10'000'000));
    } else if (option == "--response-timeout-ms") {
      o.response_timeout = Milliseconds(whole(10, 600'000));
    } else if (option == "--rates") {
      o.rates.clear();
      for (const auto& r : SplitCommaList(value())) {
        const double rate = Number(r, option);
        if (!(rate > 0 && rate <= 1)) Bad("--rates: a rate is a probability above 0");
        o.rates.push_back(rate);
      }
    } else if (option == "--kinds") {
      o.kinds = SplitCommaList(value());
      for (const auto& k : o.kinds) {
        if (k != "flip" && k != "drop" && k != "noise" && k != "mix") Bad("--kinds: unknown " + k);
      }
    } else if (option == "--compress") {
      o.compress.clear();
      for (const auto& c : SplitCommaList(value())) {
        if (c != "on" && c != "off") Bad("--compress: on or off");
        o.compress.push_back(c == "on");
      }
    } else if (option == "--files") {
      o.files = value();
      if (o.files != "small" && o.files != "standard") Bad("--files: small or standard");
    } else if (option == "--batch") {
      o.batch = static_cast<std::size_t>(whole(1, 1000));
    } else if (option == "--seed") {
      o.seed = static_cast<std::uint64_t>(whole(0, 9e15));
    } else if (option == "--records") {
      o.records = value();
    } else if (option == "--work") {
      o.work = value();
    } else if (option == "--com") {
      o.com = static_cast<int>(whole(1, 10000));
    } else {
      Bad("unknown option " + option);
    }
  }
  if (o.compress.empty()) Bad("--compress: nothing to run");
  return o;
}

std::vector<Cell> Cells(const Options& o) {
  std::vector<Cell> cells;
  for (bool compress : o.compress) cells.push_back(MakeCell("none", 0, compress));
  for (double rate : o.rates) {
    for (const auto& kind : o.kinds) {
      for (bool compress : o.compress) cells.push_back(MakeCell(kind, rate, compress));
    }
  }
  return cells;
}

// The copies of batch b: the files in turn, and both directions for each
// file over the rounds.
std::vector<CopyJob> Jobs(std::uint64_t round, std::size_t batch, std::size_t files) {
  std::vector<CopyJob> jobs;
  for (std::size_t j = 0; j < batch; ++j) {
    const std::uint64_t s = round * batch + j;
    const bool to_terminal = (s + s / files) % 2 == 0;
    jobs.push_back({static_cast<std::size_t>(s % files),
                    to_terminal ? Direction::kToTerminal : Direction::kToPc});
  }
  return jobs;
}

std::uint64_t Mix(std::uint64_t seed, std::uint64_t batch) {
  std::uint64_t z = seed * 0x9e3779b97f4a7c15ULL + batch + 1;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

class WorkFolder {
 public:
  explicit WorkFolder(const std::string& given) : keep_(!given.empty()) {
    if (keep_) {
      path_ = given;
      fs::create_directories(path_);
      return;
    }
    std::string pattern = (fs::temp_directory_path() / "vork-soak-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~WorkFolder() {
    std::error_code ignored;
    if (!keep_) fs::remove_all(path_, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  [[nodiscard]] const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool keep_;
};

// Watches every lane: while a copy runs, Vork's requests must keep reaching
// the line, since no attempt lasts longer than the response time-out plus
// the write of its frame. A lane that sends nothing for longer is hung; the
// run ends at once (a hung call cannot be taken back). Also ends the run
// early, after the batches in progress, on SIGINT or SIGTERM.
class Monitor {
 public:
  Monitor(std::vector<Lane*> lanes, Milliseconds stall_limit, int signal_fd,
          std::atomic<bool>& stop_taking)
      : lanes_(std::move(lanes)),
        stall_limit_(stall_limit),
        signal_fd_(signal_fd),
        stop_taking_(stop_taking),
        thread_([this] { Run(); }) {}
  ~Monitor() {
    done_ = true;
    thread_.join();
  }
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

 private:
  struct Seen {
    std::uint64_t started = 0;
    std::uint64_t bytes = 0;
    Clock::time_point since = Clock::now();
  };

  void Run() {
    std::vector<Seen> seen(lanes_.size());
    while (!done_) {
      pollfd fds = {signal_fd_, POLLIN, 0};
      if (::poll(&fds, 1, 250) > 0) {
        signalfd_siginfo info{};
        if (::read(signal_fd_, &info, sizeof info) > 0) {
          std::cerr << "vork-soak: stopping after the batches in progress\n";
          stop_taking_ = true;
        }
      }
      for (std::size_t i = 0; i < lanes_.size(); ++i) Check(*lanes_[i], seen[i]);
    }
  }

  void Check(Lane& lane, Seen& seen) {
    Watch& watch = lane.watch();
    const auto now = Clock::now();
    std::lock_guard lock(watch.mutex);
    const std::uint64_t started = watch.started.load();
    const std::uint64_t bytes = watch.relay != nullptr ? watch.relay->counters().a_to_b.bytes_in : 0;
    if (!watch.copying || started != seen.started || bytes != seen.bytes) {
      seen = {started, bytes, now};
      return;
    }
    if (now - seen.since > stall_limit_) {
      std::cerr << "vork-soak: HANG: " << watch.what << ": no request sent for "
                << std::chrono::duration_cast<Milliseconds>(now - seen.since).count()
                << " ms (limit " << stall_limit_.count() << " ms)\n";
      std::_Exit(3);
    }
  }

  std::vector<Lane*> lanes_;
  Milliseconds stall_limit_;
  int signal_fd_;
  std::atomic<bool>& stop_taking_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

int RunSoak(const Options& o) {
  const std::vector<Cell> cells = Cells(o);
  const auto sizes = o.files == "small" ? SmallSizes() : StandardSizes();
  const Corpus corpus(sizes, o.seed);
  WorkFolder work(o.work);
  CallBounds bounds;
  bounds.response_timeout = o.response_timeout;
  bounds.baud = o.baud;

  std::vector<std::unique_ptr<Lane>> lanes;
  for (int i = 0; i < o.lanes; ++i) {
    const std::string name = "lane" + std::to_string(i);
    lanes.push_back(std::make_unique<Lane>(name, o.com + i, work.path() / name, corpus, bounds));
    // Set before any thread starts: lanes read it at every open.
    ::setenv(("VORK_COM" + std::to_string(o.com + i)).c_str(),
             lanes.back()->line_link().c_str(), 1);
  }

  std::ofstream records;
  if (!o.records.empty()) {
    records.open(o.records, std::ios::trunc);
    if (!records) Bad("cannot write " + o.records);
    Report::WriteRecordHeader(records);
  }

  std::cout << "vork-soak: " << cells.size() << " fault settings, " << corpus.files().size()
            << " files, " << o.lanes << " lanes, " << o.baud << " baud, response time-out "
            << o.response_timeout.count() << " ms, seed " << o.seed << ", ";
  if (o.minutes) {
    std::cout << *o.minutes << " minutes\n";
  } else {
    std::cout << o.rounds << " round(s)\n";
  }
  std::cout << "bound per attempt " << bounds.PerAttempt().count() << " ms, per call "
            << bounds.slack.count() << " ms more" << std::endl;

  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  vork::link::UniqueFd signals(::signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK));

  const Resources before = Baseline();
  Report report;
  std::mutex report_mutex;
  std::atomic<std::uint64_t> next_batch{0};
  std::atomic<bool> stop_taking{false};
  std::vector<std::string> harness_failures;
  const auto started = Clock::now();
  const auto deadline =
      o.minutes ? started + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double, std::ratio<60>>(*o.minutes))
                : Clock::time_point::max();
  const std::uint64_t last_batch = o.rounds > 0 ? o.rounds * cells.size() : UINT64_MAX;
  {
    std::vector<Lane*> watched;
    for (auto& lane : lanes) watched.push_back(lane.get());
    const Milliseconds stall_limit = bounds.PerAttempt() + bounds.slack + Milliseconds(3000);
    Monitor monitor(watched, stall_limit, signals.get(), stop_taking);

    std::vector<std::thread> threads;
    for (auto& lane_owner : lanes) {
      Lane* lane = lane_owner.get();
      threads.emplace_back([&, lane] {
        for (;;) {
          if (stop_taking || Clock::now() >= deadline) return;
          const std::uint64_t b = next_batch++;
          if (b >= last_batch) return;
          const Cell& cell = cells[b % cells.size()];
          const auto jobs = Jobs(b / cells.size(), o.batch, corpus.files().size());
          try {
            const auto done = lane->RunBatch(cell, b, Mix(o.seed, b), jobs);
            std::lock_guard lock(report_mutex);
            for (const auto& record : done) {
              report.Add(record);
              if (records.is_open()) Report::WriteRecord(records, record);
            }
            if (records.is_open()) records.flush();
          } catch (const std::exception& e) {
            std::lock_guard lock(report_mutex);
            harness_failures.push_back(std::string("batch ") + std::to_string(b) + ": " + e.what());
            return;
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started);

  report.Print(std::cout);
  std::cout << "ran " << elapsed.count() << " s\n";
  auto problems = report.Problems();
  for (const auto& failure : harness_failures) problems.push_back("harness: " + failure);
  const Resources after = Settled(before);
  if (!(after == before)) {
    problems.push_back("left behind: " + std::to_string(before.descriptors) + " -> " +
                       std::to_string(after.descriptors) + " descriptors, " +
                       std::to_string(before.threads) + " -> " + std::to_string(after.threads) +
                       " threads");
  }
  for (const auto& problem : problems) std::cout << "PROBLEM: " << problem << "\n";
  std::cout << (problems.empty() ? "PASS" : "FAIL") << std::endl;
  return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--frames") == 0) return RunFrames(argc - 1, argv + 1);
  const Options options = Parse(argc, argv);
  try {
    return RunSoak(options);
  } catch (const std::exception& e) {
    std::cerr << "vork-soak: " << e.what() << "\n";
    return 1;
  }
}
