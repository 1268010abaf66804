// vork-bench-memory: Vork's resident size while it copies a lot of data.
//
//   vork-bench-memory [--mib N] [--max-growth-kib K] [--compression off|on|both]
//
// For each compression setting, four phases of N MiB each (default 64):
// N files of 1 MiB from the PC to the terminal, the same N back, then one
// file of N MiB each way. The terminal simulator runs in a process of its
// own on a virtual serial pair with no baud limit, so only Vork's memory
// (and this program's small, fixed buffers) is measured. VmRSS is sampled
// after every 1 MiB file and every 100 ms during the large ones; every copy
// is checked byte for byte.
//
// Each setting's baseline is the resident size after its first file (the
// receiver thread, zlib's working memory and the allocator's arenas warmed
// up). The run fails when any later sample of that setting lies more than
// K KiB (default 1024) above it: a leak of 16 bytes per 1024-byte chunk
// would already pass that over 64 MiB. Under a sanitizer the figures are
// shown but not judged: its allocator keeps freed memory on purpose.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "line_bench_files.h"
#include "termsim_process.h"
#include "vork.h"

namespace {

using Clock = std::chrono::steady_clock;
using vork::bench::SameContents;
using vork::bench::WriteRandomFile;

constexpr int kCom = 46;
constexpr std::uint64_t kMiB = 1u << 20;
constexpr std::chrono::milliseconds kSamplePeriod{100};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif

struct Arguments {
  int mib = 64;
  long max_growth_kib = 1024;
  std::vector<bool> compression = {false, true};
};

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr
      << "vork-bench-memory: " << problem << "\n"
      << "usage: vork-bench-memory [--mib N] [--max-growth-kib K] [--compression off|on|both]\n";
  std::exit(2);
}

Arguments Parse(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) Usage(option + " needs a value");
    const std::string value = argv[++i];
    if (option == "--mib") {
      args.mib = std::atoi(value.c_str());
      if (args.mib <= 0 || args.mib > 1024) Usage("--mib takes 1 to 1024");
    } else if (option == "--max-growth-kib") {
      args.max_growth_kib = std::atol(value.c_str());
      if (args.max_growth_kib <= 0) Usage("--max-growth-kib must be positive");
    } else if (option == "--compression") {
      if (value == "off") {
        args.compression = {false};
      } else if (value == "on") {
        args.compression = {true};
      } else if (value == "both") {
        args.compression = {false, true};
      } else {
        Usage("--compression takes off, on or both");
      }
    } else {
      Usage("unknown option " + option);
    }
  }
  return args;
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// Samples VmRSS every kSamplePeriod on a thread of its own, from
// construction until Stop() or destruction.
class Sampler {
 public:
  Sampler() : thread_([this] { Run(); }) {}
  ~Sampler() { Stop(); }
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  std::vector<long> Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    return samples_;
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    while (!changed_.wait_for(lock, kSamplePeriod, [&] { return stopping_; })) {
      samples_.push_back(StatusKiB("VmRSS"));
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<long> samples_;
  std::thread thread_;  // last: starts once the rest exists
};

struct Phase {
  std::size_t setting = 0;  // index into the run's settings
  std::string name;
  int copies = 0;
  int mib = 0;  // moved in all
  double seconds = 0;
  std::vector<long> samples;  // KiB
};

struct Setting {
  bool compress = false;
  std::optional<long> baseline_kib;
};

Phase MakePhase(std::string name, int copies, int mib) {
  Phase phase;  // its setting is filled in when the run keeps it
  phase.name = std::move(name);
  phase.copies = copies;
  phase.mib = mib;
  return phase;
}

class MemoryRun {
 public:
  MemoryRun(const std::filesystem::path& work, long max_growth_kib)
      : work_(work), max_growth_kib_(max_growth_kib) {}

  // Starts the samples of a compression setting: its first file sets its
  // baseline.
  void BeginSetting(bool compress) { settings_.push_back({compress, std::nullopt}); }
  // Copies and checks; false (with a message) when a copy fails or differs.
  bool SmallFiles(int count);
  bool LargeFile(int mib);
  // Prints the table and the verdict; true when the bound holds.
  bool Report() const;

 private:
  bool Copy(const std::string& from, const std::string& to, const std::filesystem::path& original,
            const std::filesystem::path& arrived);
  void Sample(Phase& phase);

  std::filesystem::path work_;
  long max_growth_kib_;
  std::vector<Setting> settings_;
  std::vector<Phase> phases_;
};

bool MemoryRun::Copy(const std::string& from, const std::string& to,
                     const std::filesystem::path& original, const std::filesystem::path& arrived) {
  if (QMT_CopyFile(from.c_str(), to.c_str(), 0) != 1) {
    std::cerr << "vork-bench-memory: copy " << from << " -> " << to << " failed\n";
    return false;
  }
  if (!SameContents(original, arrived)) {
    std::cerr << "vork-bench-memory: " << arrived << " differs from " << original << "\n";
    return false;
  }
  return true;
}

void MemoryRun::Sample(Phase& phase) {
  const long rss = StatusKiB("VmRSS");
  Setting& setting = settings_.back();
  if (!setting.baseline_kib) {
    setting.baseline_kib = rss;
  } else {
    phase.samples.push_back(rss);
  }
}

bool MemoryRun::SmallFiles(int count) {
  const bool compress = settings_.back().compress;
  const char* setting = compress ? "on" : "off";
  Phase up = MakePhase(std::string("compression ") + setting + ", " + std::to_string(count) +
                           " files of 1 MiB, PC -> terminal",
                       count, count);
  Phase down = MakePhase(std::string("compression ") + setting + ", the same files, terminal -> PC",
                         count, count);
  const auto pc = work_ / "pc";
  const auto terminal = work_ / "terminal";
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    WriteRandomFile(pc / name, kMiB, static_cast<std::uint64_t>(i) + (compress ? 1000 : 0));
    if (!Copy((pc / name).string(), "QMT:\\" + name, pc / name, terminal / name)) return false;
    std::filesystem::remove(pc / name);
    Sample(up);
  }
  up.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    if (!Copy("QMT:\\" + name, (pc / name).string(), terminal / name, pc / name)) return false;
    std::filesystem::remove(pc / name);
    std::filesystem::remove(terminal / name);
    Sample(down);
  }
  down.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  up.setting = down.setting = settings_.size() - 1;
  phases_.push_back(std::move(up));
  phases_.push_back(std::move(down));
  return true;
}

bool MemoryRun::LargeFile(int mib) {
  const bool compress = settings_.back().compress;
  const char* setting = compress ? "on" : "off";
  const std::string name = "large.bin";
  const auto pc = work_ / "pc";
  const auto terminal = work_ / "terminal";
  WriteRandomFile(pc / name, static_cast<std::uint64_t>(mib) * kMiB, compress ? 77 : 78);
  for (bool to_terminal : {true, false}) {
    Phase phase = MakePhase(std::string("compression ") + setting + ", one file of " +
                                std::to_string(mib) + " MiB, " +
                                (to_terminal ? "PC -> terminal" : "terminal -> PC"),
                            1, mib);
    // The way back must create its PC target new: the original steps aside.
    if (!to_terminal) std::filesystem::rename(pc / name, work_ / name);
    const auto original = to_terminal ? pc / name : terminal / name;
    const auto start = Clock::now();
    bool copied = false;
    {
      Sampler sampler;
      copied = to_terminal ? Copy((pc / name).string(), "QMT:\\" + name, original, terminal / name)
                           : Copy("QMT:\\" + name, (pc / name).string(), original, pc / name);
      phase.samples = sampler.Stop();
    }
    phase.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Sample(phase);
    if (!copied) return false;
    phase.setting = settings_.size() - 1;
    phases_.push_back(std::move(phase));
  }
  std::filesystem::remove(pc / name);
  std::filesystem::remove(work_ / name);
  std::filesystem::remove(terminal / name);
  return true;
}

bool MemoryRun::Report() const {
  std::vector<long> highest(settings_.size(), 0);
  std::printf("| Phase | Copies | Seconds | MiB/s | VmRSS first KiB | last KiB | highest KiB |\n");
  std::printf("| --- | ---: | ---: | ---: | ---: | ---: | ---: |\n");
  for (const Phase& p : phases_) {
    if (p.samples.empty()) continue;
    const long top = *std::max_element(p.samples.begin(), p.samples.end());
    highest[p.setting] = std::max(highest[p.setting], top);
    std::printf("| %s | %d | %.1f | %.2f | %ld | %ld | %ld |\n", p.name.c_str(), p.copies,
                p.seconds, p.mib / p.seconds, p.samples.front(), p.samples.back(), top);
  }
  std::printf("\n");
  bool flat = true;
  for (std::size_t i = 0; i < settings_.size(); ++i) {
    const long baseline = settings_[i].baseline_kib.value_or(0);
    const long top = std::max(highest[i], baseline);
    std::printf("Compression %s: VmRSS %ld KiB after the first file, highest later %ld KiB "
                "(%+ld KiB).\n",
                settings_[i].compress ? "on" : "off", baseline, top, top - baseline);
    flat = flat && top - baseline <= max_growth_kib_;
  }
  std::printf("Peak (VmHWM): %ld KiB. Bound: +%ld KiB over each baseline.\n", StatusKiB("VmHWM"),
              max_growth_kib_);
  if (kUnderSanitizer) {
    std::printf("Built with a sanitizer: growth not judged.\n");
    return true;
  }
  std::printf("%s\n", flat ? "Resident size flat: within the bound."
                           : "Resident size GREW beyond the bound.");
  return flat;
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments args = Parse(argc, argv);
  char pattern[] = "/tmp/vork-bench-memory-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::cerr << "vork-bench-memory: cannot make a work folder\n";
    return 1;
  }
  const std::filesystem::path work = pattern;
  bool ok = false;
  try {
    std::filesystem::create_directories(work / "pc");
    std::filesystem::create_directories(work / "terminal");
    const auto link = work / "com";
    vork::bench::TermsimProcess terminal(work / "terminal", link);
    ::setenv(("VORK_COM" + std::to_string(kCom)).c_str(), link.c_str(), 1);
    std::printf("$ vork-bench-memory --mib %d --max-growth-kib %ld\n\n", args.mib,
                args.max_growth_kib);
    std::printf("VmRSS at start: %ld KiB\n\n", StatusKiB("VmRSS"));
    MemoryRun run(work, args.max_growth_kib);
    ok = true;
    for (bool compress : args.compression) {
      run.BeginSetting(compress);
      ok = QMT_VorkInit(kCom, 115200, compress ? 1 : 0) == 1 && run.SmallFiles(args.mib) &&
           run.LargeFile(args.mib);
      QMT_VorkUninit();
      if (!ok) break;
    }
    ok = run.Report() && ok;
  } catch (const std::exception& e) {
    std::cerr << "vork-bench-memory: " << e.what() << "\n";
    ok = false;
  }
  std::error_code ignored;
  std::filesystem::remove_all(work, ignored);
  return ok ? 0 : 1;
}
