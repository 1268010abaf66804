#include "line_bench_report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <string_view>

namespace vork::bench {

namespace {

constexpr std::string_view kHeader =
    "| Baud | File | Direction | Tool | Seconds | Payload B/s | Of line rate | "
    "Wire bytes out / back | Wire limit s | Of wire limit | Exchanges | Gap per exchange | vs "
    "ZMODEM | "
    "Load |\n"
    "| ---: | --- | --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- | ---: "
    "|\n";

[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...) {
  char text[128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Size(std::uint64_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) {
    return Format("%llu MiB", static_cast<unsigned long long>(bytes >> 20));
  }
  if (bytes >= 1024 && bytes % 1024 == 0) {
    return Format("%llu KiB", static_cast<unsigned long long>(bytes >> 10));
  }
  return Format("%llu B", static_cast<unsigned long long>(bytes));
}

std::string FileLabel(const Case& c) {
  return Size(c.bytes) + (c.content == Content::kRandom ? " random" : " text");
}

std::string DirectionLabel(Direction d) {
  return d == Direction::kToTerminal ? "PC -> terminal" : "terminal -> PC";
}

std::string ToolLabel(const Case& c) {
  if (c.tool == Tool::kZmodem) return "ZMODEM (sz/rz)";
  return c.compress ? "Vork, compression on" : "Vork, compression off";
}

double PayloadRate(const Outcome& o) {
  return o.seconds > 0 ? static_cast<double>(o.what.bytes) / o.seconds : 0;
}

// The ZMODEM run of the same file on the same line, the same direction
// preferred.
std::optional<Outcome> ZmodemPeer(const Outcome& vork, const std::vector<Outcome>& all) {
  std::optional<Outcome> other_direction;
  for (const Outcome& o : all) {
    if (!o.ok || o.what.tool != Tool::kZmodem || o.what.baud != vork.what.baud ||
        o.what.bytes != vork.what.bytes || o.what.content != vork.what.content) {
      continue;
    }
    if (o.what.direction == vork.what.direction) return o;
    other_direction = o;
  }
  return other_direction;
}

std::string VersusZmodem(const Outcome& vork, const std::vector<Outcome>& all) {
  const auto peer = ZmodemPeer(vork, all);
  if (!peer) return "-";
  const double ratio = PayloadRate(*peer) / PayloadRate(vork);
  std::string text = ratio > 1 ? Format("ZMODEM ahead by %.1f %%", (ratio - 1) * 100)
                               : Format("Vork ahead by %.1f %%", (1 / ratio - 1) * 100);
  if (peer->what.direction != vork.what.direction) text += " (its other direction)";
  return text;
}

std::string Row(const Outcome& o, const std::vector<Outcome>& all) {
  const Case& c = o.what;
  std::string row = "| " + std::to_string(c.baud) + " | " + FileLabel(c) + " | " +
                    DirectionLabel(c.direction) + " | " + ToolLabel(c) + " | ";
  if (!o.ok) {
    return row + "FAILED: " + o.problem + " | | | | | | | | | " +
           Format("%.2f", o.load_average) + " |\n";
  }
  const double limit = WireLimitSeconds(o);
  row += Format("%.3f", o.seconds) + " | " + Format("%.0f", PayloadRate(o)) + " | " +
         Format("%.1f %%", 100 * PayloadRate(o) / LineRate(c.baud)) + " | " +
         Format("%llu / %llu", static_cast<unsigned long long>(o.wire_out),
                static_cast<unsigned long long>(o.wire_back)) +
         " | " + Format("%.3f", limit) + " | " + Format("%.1f %%", 100 * limit / o.seconds) + " | ";
  if (c.tool == Tool::kVork) {
    const auto exchanges = static_cast<unsigned long long>(o.exchanges);
    if (o.repeats == 0) {
      const double gap = (o.seconds - limit) / static_cast<double>(o.exchanges);
      row += Format("%llu", exchanges) + " | " + Format("%.2f ms", gap * 1000) + " | ";
    } else {
      // A lost frame costs a response time-out: no turnaround figure then.
      row += Format("%llu, %llu chunks sent again", exchanges,
                    static_cast<unsigned long long>(o.repeats)) +
             " | time-outs | ";
    }
    row += VersusZmodem(o, all) + " | ";
  } else {
    row += "- | - | - | ";
  }
  return row + Format("%.2f", o.load_average) + " |\n";
}

// Nearest-rank percentile of sorted values.
double Percentile(const std::vector<double>& sorted, double fraction) {
  const auto rank =
      static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

std::string TurnaroundRow(const Turnaround& t) {
  std::string row = "| " + std::to_string(t.baud) + " | " +
                    (t.direction == Direction::kToTerminal ? "write chunk, PC -> terminal"
                                                           : "read chunk, terminal -> PC") +
                    " | " + (t.compress ? "on" : "off") + " | ";
  if (!t.ok || t.gap_ms.empty()) {
    return row + "FAILED: " + t.problem + " | | | | | " + Format("%.2f", t.load_average) + " |\n";
  }
  std::vector<double> sorted = t.gap_ms;
  std::sort(sorted.begin(), sorted.end());
  row += std::to_string(sorted.size());
  if (t.repeats > 0) {
    row += Format(" (%llu sent again)", static_cast<unsigned long long>(t.repeats));
  }
  row += " | " + Format("%.2f", Percentile(sorted, 0.5)) + " | " +
         Format("%.2f", Percentile(sorted, 0.9)) + " | " +
         Format("%.2f", Percentile(sorted, 0.99)) + " | " + Format("%.2f", sorted.back()) + " | " +
         Format("%.2f", t.load_average) + " |\n";
  return row;
}

}  // namespace

std::string TurnaroundTable(const std::vector<Turnaround>& runs) {
  std::string table =
      "| Baud | Exchange | Compression | Exchanges | Gap median ms | p90 ms | p99 ms | Largest ms "
      "| Load |\n"
      "| ---: | --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |\n";
  for (const Turnaround& t : runs) table += TurnaroundRow(t);
  return table;
}

double LineRate(int baud) {
  return baud / 10.0;
}

double WireLimitSeconds(const Outcome& outcome) {
  const std::uint64_t bytes = outcome.what.tool == Tool::kVork
                                  ? outcome.wire_out + outcome.wire_back
                                  : std::max(outcome.wire_out, outcome.wire_back);
  return static_cast<double>(bytes) * 10.0 / outcome.what.baud;
}

std::string MarkdownTable(const std::vector<Outcome>& outcomes) {
  std::string table(kHeader);
  for (const Outcome& o : outcomes) table += Row(o, outcomes);
  return table;
}

}  // namespace vork::bench
