// The line benchmark's table: one markdown row per transfer, with the
// figures that compare it to the line rate, to its own wire-format limit
// and to ZMODEM.
#pragma once

#include <string>
#include <vector>

#include "line_bench_run.h"

namespace vork::bench {

// Payload bytes per second the line carries at `baud` (8N1: 10 bits a byte).
[[nodiscard]] double LineRate(int baud);

// Seconds the bytes that went on the wire take at `baud` with no pause
// anywhere. Vork (stop-and-wait: one direction at a time) adds both
// directions; ZMODEM streams, its acknowledgements overlapping the data, so
// only the busier direction counts.
[[nodiscard]] double WireLimitSeconds(const Outcome& outcome);

// The markdown table of all outcomes, in the given order.
[[nodiscard]] std::string MarkdownTable(const std::vector<Outcome>& outcomes);

// The markdown table of the single-exchange gaps: median, 90th and 99th
// percentile and the largest, per run.
[[nodiscard]] std::string TurnaroundTable(const std::vector<Turnaround>& runs);

}  // namespace vork::bench
