// vork-bench-line: Vork's throughput on a real-speed serial line, against
// the line's own rate, against what its stop-and-wait exchange of 1024-byte
// chunks can reach at best, and against ZMODEM (sz/rz) on the same line.
//
//   vork-bench-line [--quick | --smoke] [--out FILE] [--command TEXT]
//                   [--zmodem-if-present | --no-zmodem] [--keep]
//
// Every transfer runs on a fresh in-process line simulator with the
// terminal simulator (or sz/rz) on its far end; the file that arrives is
// compared byte for byte with the one sent, and any failure or difference
// makes the exit status 1. A second table times single chunk exchanges, to
// show how the gap between the line time and the measured time is spread.
// Both tables go to stdout (and to FILE), progress to stderr. --command
// names the command shown above the tables (the script passes its own);
// --keep leaves the work folder with sz's and rz's logs.
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "line_bench_files.h"
#include "line_bench_report.h"
#include "line_bench_run.h"

namespace {

using namespace vork::bench;

enum class Plan { kFull, kQuick, kSmoke };
enum class ZmodemUse { kRequired, kIfPresent, kOff };

struct Arguments {
  Plan plan = Plan::kFull;
  std::string out;
  std::string command;
  ZmodemUse zmodem = ZmodemUse::kRequired;
  bool keep = false;
};

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "vork-bench-line: " << problem << "\n"
            << "usage: vork-bench-line [--quick | --smoke] [--out FILE] [--command TEXT]\n"
            << "                       [--zmodem-if-present | --no-zmodem] [--keep]\n";
  std::exit(2);
}

Arguments Parse(int argc, char** argv) {
  Arguments args;
  std::string invoked = "vork-bench-line";
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(option + " needs a value");
      return argv[++i];
    };
    if (option == "--quick") {
      args.plan = Plan::kQuick;
    } else if (option == "--smoke") {
      args.plan = Plan::kSmoke;
    } else if (option == "--out") {
      args.out = value();
    } else if (option == "--command") {
      args.command = value();
      continue;
    } else if (option == "--zmodem-if-present") {
      args.zmodem = ZmodemUse::kIfPresent;
    } else if (option == "--no-zmodem") {
      args.zmodem = ZmodemUse::kOff;
    } else if (option == "--keep") {
      args.keep = true;
    } else {
      Usage("unknown option " + option);
    }
    invoked += " " + option;
    if (option == "--out") invoked += " " + args.out;
  }
  if (args.command.empty()) args.command = invoked;
  return args;
}

// The transfers of one line speed: Vork in both directions for each
// content and compression setting asked for, ZMODEM for each direction
// asked for.
void AddLine(std::vector<Case>& plan, int baud, std::uint64_t bytes, Content content,
             const std::vector<bool>& compress, const std::vector<Direction>& zmodem) {
  for (bool on : compress) {
    for (Direction d : {Direction::kToTerminal, Direction::kToPc}) {
      plan.push_back({Tool::kVork, d, content, on, baud, bytes});
    }
  }
  for (Direction d : zmodem) plan.push_back({Tool::kZmodem, d, content, false, baud, bytes});
}

std::vector<Case> MakePlan(Plan which) {
  const std::vector<Direction> both = {Direction::kToTerminal, Direction::kToPc};
  const std::vector<Direction> one = {Direction::kToTerminal};
  std::vector<Case> plan;
  if (which == Plan::kSmoke) {
    // A few KiB with a part block at the end, fast: it keeps the benchmark
    // working, it times nothing.
    for (Content c : {Content::kRandom, Content::kText}) {
      AddLine(plan, 1'000'000, 5000, c, {false, true}, both);
    }
    return plan;
  }
  const std::uint64_t fast_bytes = which == Plan::kFull ? 1u << 20 : 64u << 10;
  const std::uint64_t slow_bytes = which == Plan::kFull ? 64u << 10 : 8u << 10;
  for (Content c : {Content::kRandom, Content::kText}) {
    AddLine(plan, 115200, fast_bytes, c, {false, true}, both);
  }
  AddLine(plan, 9600, slow_bytes, Content::kRandom, {false}, one);
  AddLine(plan, 9600, slow_bytes, Content::kText, {true}, one);
  return plan;
}

struct TurnaroundPlan {
  int baud = 0;
  int chunks = 0;
};

TurnaroundPlan MakeTurnaroundPlan(Plan which) {
  if (which == Plan::kSmoke) return {1'000'000, 4};
  return {115200, which == Plan::kFull ? 128 : 32};
}

std::vector<Turnaround> RunTurnarounds(CaseRunner& runner, Plan which, bool& all_ok) {
  const TurnaroundPlan plan = MakeTurnaroundPlan(which);
  std::vector<Turnaround> runs;
  for (bool compress : {false, true}) {
    for (Direction d : {Direction::kToTerminal, Direction::kToPc}) {
      std::cerr << "single exchanges: " << plan.chunks << " chunks "
                << (d == Direction::kToTerminal ? "written" : "read") << ", compression "
                << (compress ? "on" : "off") << " at " << plan.baud << " baud ... " << std::flush;
      runs.push_back(runner.RunTurnaround(d, compress, plan.baud, plan.chunks));
      const Turnaround& t = runs.back();
      all_ok = all_ok && t.ok;
      if (t.ok) {
        std::fprintf(stderr, "done (load %.2f)\n", t.load_average);
      } else {
        std::cerr << "FAILED: " << t.problem << "\n";
      }
    }
  }
  return runs;
}

std::string Describe(const Case& c) {
  std::string text = c.tool == Tool::kZmodem
                         ? "ZMODEM"
                         : (c.compress ? "Vork, compression on" : "Vork, compression off");
  text += ", " + std::to_string(c.bytes) + " bytes " +
          (c.content == Content::kRandom ? "random" : "text");
  text += c.direction == Direction::kToTerminal ? ", PC -> terminal" : ", terminal -> PC";
  return text + " at " + std::to_string(c.baud) + " baud";
}

// Deflate of each 1024-byte piece on its own, as Vork compresses its write
// chunks: compressed bytes per 100 bytes of file.
double ChunkCompressionPercent(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<unsigned char> chunk(1024), packed(compressBound(1024));
  std::uint64_t raw = 0, compressed = 0;
  while (
      in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size())) ||
      in.gcount() > 0) {
    uLongf size = static_cast<uLongf>(packed.size());
    const auto got = static_cast<uLong>(in.gcount());
    if (compress2(packed.data(), &size, chunk.data(), got, 6) != Z_OK) return -1;
    raw += got;
    compressed += size;
  }
  return raw > 0 ? 100.0 * static_cast<double>(compressed) / static_cast<double>(raw) : -1;
}

std::string Notes(const std::vector<Outcome>& outcomes, double load_before, double text_percent) {
  double load_low = load_before, load_high = load_before;
  int cut_short = 0, zmodem_runs = 0;
  for (const Outcome& o : outcomes) {
    zmodem_runs += o.what.tool == Tool::kZmodem ? 1 : 0;
    cut_short += o.rz_cut_short ? 1 : 0;
    load_low = std::min(load_low, o.load_average);
    load_high = std::max(load_high, o.load_average);
  }
  char text[1600];
  std::snprintf(
      text, sizeof text,
      "- Line rate: baud / 10 payload bytes per second (8N1), 11520 B/s at 115200 baud. "
      "\"Of line rate\" is payload bytes per second against it; above 100 %% only with "
      "compression.\n"
      "- Wire bytes: what went on the simulated line in each direction (frames with their escapes, "
      "or ZMODEM's headers and subpackets), from the line simulator's counters.\n"
      "- Wire limit: those bytes at the line rate with no pause anywhere. Vork's exchange is "
      "stop-and-wait, so both directions add up; ZMODEM streams with its acknowledgements running "
      "the other way at the same time, so only its busier direction counts.\n"
      "- Exchanges: the requests the terminal simulator received (one per 1024-byte chunk, plus "
      "create and close, or open, size and close). Gap per exchange: (seconds - wire limit) / "
      "exchanges, the turnaround of the line, the terminal simulator and Vork together.\n"
      "- Files: random bytes (seeded), and text: stock-taking scan records, semicolon-separated, "
      "CRLF line ends; deflate of each 1024-byte piece alone leaves %.1f %% of the text.\n"
      "- ZMODEM is timed from the start of sz until rz has closed the complete file (its closing "
      "handshake follows; in %d of %d runs rz still waited for sz's last \"OO\", which a "
      "pseudo-terminal's flush can take back before the line has it, and the benchmark ended rz).\n"
      "- 1-minute load average: %.2f before the run, %.2f to %.2f after each transfer (2 cores).\n",
      text_percent, cut_short, zmodem_runs, load_before, load_low, load_high);
  return text;
}

class WorkFolder {
 public:
  explicit WorkFolder(bool keep) : keep_(keep) {
    char pattern[] = "/tmp/vork-bench-line-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a work folder");
    path_ = pattern;
  }
  ~WorkFolder() {
    std::error_code ignored;
    if (!keep_) std::filesystem::remove_all(path_, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  bool keep_;
  std::filesystem::path path_;
};

void ShowOutcome(const Outcome& o) {
  if (!o.ok) {
    std::cerr << "FAILED: " << o.problem << "\n";
    return;
  }
  std::fprintf(stderr, "%.3f s (load %.2f)", o.seconds, o.load_average);
  if (o.repeats > 0) {
    std::fprintf(stderr, "; %llu chunks sent again", static_cast<unsigned long long>(o.repeats));
  }
  if (o.overruns > 0) {
    std::fprintf(stderr, "; %llu bytes overrun", static_cast<unsigned long long>(o.overruns));
  }
  if (o.rz_cut_short) std::fprintf(stderr, "; rz still waited for sz's \"OO\" and was ended");
  std::fputc('\n', stderr);
}

int Run(const Arguments& args) {
  std::vector<Case> plan = MakePlan(args.plan);
  const bool have_zmodem = !FindZmodemPrograms().first.empty();
  if (!have_zmodem && args.zmodem == ZmodemUse::kRequired) {
    std::cerr << "vork-bench-line: sz and rz are needed (Debian package lrzsz); "
                 "--zmodem-if-present or --no-zmodem leave ZMODEM out\n";
    return 1;
  }
  if (args.zmodem == ZmodemUse::kOff || !have_zmodem) {
    std::erase_if(plan, [](const Case& c) { return c.tool == Tool::kZmodem; });
    std::cerr << "ZMODEM left out\n";
  }

  WorkFolder work(args.keep);
  if (args.keep) std::cerr << "work folder " << work.path() << "\n";
  CaseRunner runner(work.path());
  const double load_before = LoadAverage();
  std::vector<Outcome> outcomes;
  bool all_ok = true;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    std::cerr << "[" << i + 1 << "/" << plan.size() << "] " << Describe(plan[i]) << " ... "
              << std::flush;
    outcomes.push_back(runner.Run(plan[i]));
    const Outcome& o = outcomes.back();
    all_ok = all_ok && o.ok;
    ShowOutcome(o);
  }

  const std::vector<Turnaround> turnarounds = RunTurnarounds(runner, args.plan, all_ok);

  std::uint64_t text_bytes = 0;
  for (const Case& c : plan) {
    if (c.content == Content::kText) text_bytes = std::max(text_bytes, c.bytes);
  }
  const auto text_file = work.path() / "files" / ("scans-" + std::to_string(text_bytes) + ".csv");
  std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M %Z", std::localtime(&now));
  const std::string report = "Command: `" + args.command + "` (" + date + ")\n\n" +
                             MarkdownTable(outcomes) + "\n" +
                             Notes(outcomes, load_before, ChunkCompressionPercent(text_file)) +
                             "\nSingle exchanges: each 1024-byte chunk of random data written or "
                             "read by a call of its own; gap = the call's time less the line time "
                             "of its two frames.\n\n" +
                             TurnaroundTable(turnarounds);
  std::cout << "\n" << report;
  if (!args.out.empty()) {
    std::ofstream file(args.out, std::ios::trunc);
    file << report;
    if (!file) {
      std::cerr << "vork-bench-line: cannot write " << args.out << "\n";
      return 1;
    }
  }
  if (!all_ok) std::cerr << "vork-bench-line: some transfers failed\n";
  return all_ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments args = Parse(argc, argv);
  try {
    return Run(args);
  } catch (const std::exception& e) {
    std::cerr << "vork-bench-line: " << e.what() << "\n";
    return 1;
  }
}
