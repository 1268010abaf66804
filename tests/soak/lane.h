// One soak lane: Vork on device A of a simulated line, the terminal
// simulator on device B, and copies between them, each one classified.
//
// Model. A lane owns a work folder with a PC side ("pc/") and the folder
// the simulator serves ("terminal/"), both holding the corpus, and a call
// context of its own (so lanes run side by side). Vork reaches the line as
// COM<n> through VORK_COM<n>, which names a link in the work folder; every
// batch makes a fresh Relay with the batch's faults and seed, published at
// that link, and a fresh simulator on its device B.
//
// Each copy is judged three ways: it reported success and the target is
// byte-identical (kIdentical); it reported failure (kFailed); it reported
// success and the target differs (kSilent). Its duration is checked
// against the bound that its attempts allow (CallBounds), and the
// terminal's folder against the state it had before, apart from the one
// target a copy to the terminal writes.
//
// Threads: a lane is used by one thread at a time; its Watch is read by a
// monitor thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bounds.h"
#include "corpus.h"
#include "exchange.h"
#include "fault_injector.h"
#include "relay.h"

namespace vork::soak {

// A fault setting of the line (the same both ways) and Vork's compression.
struct Cell {
  std::string kind;  // "none", "flip", "drop", "noise" or "mix"
  double rate = 0;   // per byte, of each kind in the cell
  bool compress = false;
  linesim::FaultRates faults;
};

[[nodiscard]] Cell MakeCell(const std::string& kind, double rate, bool compress);

enum class Outcome { kIdentical, kFailed, kSilent };

[[nodiscard]] const char* Name(Outcome outcome);

struct CopyJob {
  std::size_t file = 0;  // index into the corpus
  Direction direction = Direction::kToTerminal;
};

struct CopyRecord {
  std::string lane;
  std::uint64_t batch = 0;
  Cell cell;
  CopyJob job;
  std::string file;
  Content content = Content::kRandom;
  std::size_t size = 0;
  Outcome outcome = Outcome::kFailed;
  std::optional<Difference> difference;  // for kSilent
  Milliseconds duration{0};
  std::uint64_t attempts = 0;      // requests begun (sequence numbers used)
  std::uint64_t max_attempts = 0;  // what the copy may make at most
  Milliseconds bound{0};           // CallBounds::ForAttempts(attempts)
  std::vector<std::string> collateral;  // terminal files changed besides the target
  linesim::Counters line;          // faults and bytes during this copy
};

// What a monitor thread reads to find a call that has stopped progressing:
// while a copy runs, Vork's requests must keep reaching the line.
struct Watch {
  std::mutex mutex;
  const linesim::Relay* relay = nullptr;  // guarded
  std::string what;                        // guarded: the copy in progress
  std::atomic<bool> copying{false};
  std::atomic<std::uint64_t> started{0};  // copies begun so far
};

class Lane {
 public:
  // Makes the work folder's sides and writes the corpus into both.
  Lane(std::string name, int com_number, std::filesystem::path folder, const Corpus& corpus,
       CallBounds bounds);

  // Where VORK_COM<n> must point before any batch runs.
  [[nodiscard]] std::filesystem::path line_link() const { return folder_ / "line-pc"; }
  [[nodiscard]] int com_number() const { return com_; }
  [[nodiscard]] Watch& watch() { return watch_; }

  // Runs the jobs over a fresh line with the cell's faults and seed.
  // Throws std::runtime_error when the harness itself fails (a device or
  // folder that cannot be made); copy failures are records, not errors.
  std::vector<CopyRecord> RunBatch(const Cell& cell, std::uint64_t batch, std::uint64_t seed,
                                   std::span<const CopyJob> jobs);

 private:
  CopyRecord Copy(const Cell& cell, std::uint64_t batch, const CopyJob& job,
                  const linesim::Relay& relay);
  void RestoreTerminal(const std::vector<std::string>& names);

  std::string name_;
  int com_;
  std::filesystem::path folder_;
  const Corpus& corpus_;
  CallBounds bounds_;
  link::CallContext ctx_;
  FolderSnapshot terminal_expected_;
  Watch watch_;
};

}  // namespace vork::soak
