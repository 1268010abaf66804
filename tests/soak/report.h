// Tallies of classified copies, the soak's table, and its verdict.
//
// Rows are one fault setting (kind, rate, compression) and one direction.
// The verdict fails a run for what must never happen whatever the line
// does: a call over its bound or its attempts, a damaged file reported as
// copied when compression guards the bodies, a terminal file damaged
// besides the target when compression guards the bodies, a failure on a
// clean line. Silent corruption without compression is what the wire's
// 8-bit check lets through: it is counted, not failed.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "lane.h"

namespace vork::soak {

struct Tally {
  std::uint64_t copies = 0;
  std::uint64_t identical = 0;
  std::uint64_t failed = 0;
  std::uint64_t silent = 0;
  std::uint64_t collateral = 0;        // copies that changed another terminal file
  std::uint64_t bytes_identical = 0;   // file bytes of identical copies
  std::uint64_t chunks_accepted = 0;   // data chunks of copies reported as done
  std::uint64_t attempts = 0;
  std::uint64_t over_bound = 0;        // took longer than their attempts allow
  std::uint64_t over_attempts = 0;     // made more attempts than the loops allow
  double worst_bound_use = 0;          // largest duration / bound
  Milliseconds time{0};
  linesim::Counters line;              // summed over the copies
};

struct RowKey {
  std::string kind;
  double rate = 0;
  bool compress = false;
  Direction direction = Direction::kToTerminal;
  friend auto operator<=>(const RowKey&, const RowKey&) = default;
};

class Report {
 public:
  void Add(const CopyRecord& record);

  [[nodiscard]] const std::map<RowKey, Tally>& rows() const { return rows_; }
  [[nodiscard]] const std::vector<CopyRecord>& notable() const { return notable_; }

  // The table, one row per fault setting and direction, and the notable
  // copies (silent, collateral, over a bound) with what differed.
  void Print(std::ostream& out) const;
  // One line per copy, comma-separated, with a header line.
  static void WriteRecordHeader(std::ostream& out);
  static void WriteRecord(std::ostream& out, const CopyRecord& record);

  // Reasons the run fails; empty when it passes.
  [[nodiscard]] std::vector<std::string> Problems() const;

 private:
  std::map<RowKey, Tally> rows_;
  std::vector<CopyRecord> notable_;
};

}  // namespace vork::soak
