// One transfer of the line benchmark: a file sent over a fresh in-process
// line simulator (vork::linesim::Relay), either by Vork against the
// terminal simulator or by sz and rz, timed, counted on the wire and checked
// byte for byte.
//
// Device A of the line is the PC's end, device B the terminal's. Vork runs
// in this process (COM number kBenchCom, pointed at A through VORK_COM<n>),
// and so does the terminal simulator on B (on a thread of its own), so its
// log of requests counts the exchanges; sz and rz run as child processes.
//
// Threads: one caller. Blocking: Run() for the length of the transfer (a
// failing Vork copy ends after its own time-outs; sz and rz get three
// times the line time plus 30 s).
//
// ZMODEM's ending on this line: sz ends with "OO", then drains and flushes
// its terminal. A pseudo-terminal's drain does not wait for the line, so
// the flush can take the "OO" back before the line simulator has read it,
// and rz then waits out its own time-outs (3 x 10 s) for it. The transfer
// is timed to the moment rz closes the complete file, which comes before
// that; and once sz has ended with success and rz still waits 2 s later,
// the benchmark ends rz itself (rz_cut_short) instead of waiting 30 s.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vork::bench {

enum class Tool { kVork, kZmodem };
enum class Direction { kToTerminal, kToPc };
enum class Content { kRandom, kText };

struct Case {
  Tool tool = Tool::kVork;
  Direction direction = Direction::kToTerminal;
  Content content = Content::kRandom;
  bool compress = false;  // Vork only
  int baud = 115200;
  std::uint64_t bytes = 0;
};

struct Outcome {
  Case what;
  bool ok = false;
  std::string problem;          // why not ok
  double seconds = 0;           // Vork: the copy call; ZMODEM: from starting sz until rz has ended
  std::uint64_t wire_out = 0;   // bytes put on the line PC -> terminal (escapes included)
  std::uint64_t wire_back = 0;  // terminal -> PC
  std::uint64_t overruns = 0;   // bytes a receiver did not take in time (both directions)
  double load_average = 0;      // 1-minute load average when the transfer ended
  bool rz_cut_short = false;    // ZMODEM: rz still waited for the sender's last word; see Run()
  std::uint64_t exchanges = 0;  // Vork: requests the terminal received
  std::uint64_t repeats = 0;    // Vork: re-position requests (a chunk sent again after a loss)
};

// Single exchanges on the line: one 1024-byte chunk written (PC ->
// terminal) or read (terminal -> PC) per call, each call timed and the line
// time of its own frames taken off: what is left is that exchange's gap
// (the line's delivery, the terminal simulator and Vork).
struct Turnaround {
  Direction direction = Direction::kToTerminal;
  bool compress = false;
  int baud = 115200;
  bool ok = false;
  std::string problem;
  std::vector<double> gap_ms;  // one per chunk, in order
  std::uint64_t repeats = 0;   // chunks sent again after a loss (their gap holds a time-out)
  double load_average = 0;
};

// The 1-minute load average, or a negative value when unknown.
[[nodiscard]] double LoadAverage();

// Where sz and rz are, or empty strings when either is missing.
[[nodiscard]] std::pair<std::string, std::string> FindZmodemPrograms();

class CaseRunner {
 public:
  // Works below `work` (which must exist): generated files, both sides'
  // folders, the children's logs.
  explicit CaseRunner(std::filesystem::path work);

  // Never throws for a failed transfer: the outcome says what went wrong.
  Outcome Run(const Case& what);
  // `chunks` single exchanges of random data; never throws either.
  Turnaround RunTurnaround(Direction direction, bool compress, int baud, int chunks);

 private:
  // Where a Vork copy reads and writes, and the file to compare with the source.
  struct Route {
    std::string from;
    std::string to;
    std::filesystem::path arrived;
  };

  const std::filesystem::path& Source(Content content, std::uint64_t bytes);
  Outcome RunVork(const Case& what);
  Route VorkRoute(Direction direction, const std::filesystem::path& source) const;
  Outcome RunZmodem(const Case& what);
  void MeasureTurnaround(Turnaround& out, int chunks);
  // Why a ZMODEM run failed by its two programs' ends, or empty.
  std::string ZmodemProblem(bool file_closed, std::optional<int> sent,
                            std::optional<int> received) const;
  std::filesystem::path Log(const std::string& name) const;

  std::filesystem::path work_;
  std::filesystem::path pc_;        // the PC's folder
  std::filesystem::path terminal_;  // the folder the terminal serves
  std::map<std::pair<Content, std::uint64_t>, std::filesystem::path> sources_;
  int run_number_ = 0;
};

}  // namespace vork::bench
