#include "report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace vork::soak {

namespace {

[[gnu::format(printf, 1, 2)]] std::string Format(const char* pattern, ...) {
  char text[512];
  va_list values;
  va_start(values, pattern);
  std::vsnprintf(text, sizeof text, pattern, values);
  va_end(values);
  return text;
}

std::string RateText(double rate) { return rate == 0 ? "0" : Format("%.0e", rate); }

bool OverBound(const CopyRecord& r) { return r.duration > r.bound; }
bool OverAttempts(const CopyRecord& r) { return r.attempts > r.max_attempts; }

void AddLine(linesim::Counters& sum, const linesim::Counters& add) {
  auto plus = [](linesim::DirectionCounters& s, const linesim::DirectionCounters& a) {
    s.bytes_in += a.bytes_in;
    s.bytes_out += a.bytes_out;
    s.flips += a.flips;
    s.drops += a.drops;
    s.noise_bytes += a.noise_bytes;
    s.noise_bursts += a.noise_bursts;
    s.overruns += a.overruns;
  };
  plus(sum.a_to_b, add.a_to_b);
  plus(sum.b_to_a, add.b_to_a);
}

}  // namespace

void Report::Add(const CopyRecord& record) {
  Tally& t = rows_[{record.cell.kind, record.cell.rate, record.cell.compress, record.job.direction}];
  ++t.copies;
  switch (record.outcome) {
    case Outcome::kIdentical:
      ++t.identical;
      t.bytes_identical += record.size;
      break;
    case Outcome::kFailed:
      ++t.failed;
      break;
    case Outcome::kSilent:
      ++t.silent;
      break;
  }
  if (record.outcome != Outcome::kFailed) t.chunks_accepted += (record.size + 1023) / 1024;
  if (!record.collateral.empty()) ++t.collateral;
  t.attempts += record.attempts;
  if (OverBound(record)) ++t.over_bound;
  if (OverAttempts(record)) ++t.over_attempts;
  const double use = record.bound.count() > 0
                         ? static_cast<double>(record.duration.count()) /
                               static_cast<double>(record.bound.count())
                         : 0.0;
  t.worst_bound_use = std::max(t.worst_bound_use, use);
  t.time += record.duration;
  AddLine(t.line, record.line);
  if (record.outcome == Outcome::kSilent || !record.collateral.empty() || OverBound(record) ||
      OverAttempts(record)) {
    notable_.push_back(record);
  }
}

void Report::Print(std::ostream& out) const {
  out << Format("%-6s %-6s %-5s %-13s %6s %6s %6s %6s %5s %8s %7s %8s %15s %7s %8s\n", "kind",
                "rate", "comp", "direction", "copies", "ident", "failed", "silent", "coll",
                "MiB-ok", "chunks", "attempts", "flip/drop/noise", "time-s", "max-t/b");
  Tally total;
  for (const auto& [key, t] : rows_) {
    const auto flips = t.line.a_to_b.flips + t.line.b_to_a.flips;
    const auto drops = t.line.a_to_b.drops + t.line.b_to_a.drops;
    const auto bursts = t.line.a_to_b.noise_bursts + t.line.b_to_a.noise_bursts;
    out << Format("%-6s %-6s %-5s %-13s %6llu %6llu %6llu %6llu %5llu %8.2f %7llu %8llu %15s %7lld %8.3f\n",
                  key.kind.c_str(), RateText(key.rate).c_str(), key.compress ? "on" : "off",
                  Name(key.direction), static_cast<unsigned long long>(t.copies),
                  static_cast<unsigned long long>(t.identical),
                  static_cast<unsigned long long>(t.failed),
                  static_cast<unsigned long long>(t.silent),
                  static_cast<unsigned long long>(t.collateral),
                  static_cast<double>(t.bytes_identical) / 1048576.0,
                  static_cast<unsigned long long>(t.chunks_accepted),
                  static_cast<unsigned long long>(t.attempts),
                  Format("%llu/%llu/%llu", static_cast<unsigned long long>(flips),
                         static_cast<unsigned long long>(drops),
                         static_cast<unsigned long long>(bursts))
                      .c_str(),
                  static_cast<long long>(t.time.count() / 1000), t.worst_bound_use);
    total.copies += t.copies;
    total.identical += t.identical;
    total.failed += t.failed;
    total.silent += t.silent;
    total.over_bound += t.over_bound;
    total.over_attempts += t.over_attempts;
    total.time += t.time;
  }
  out << Format("total: %llu copies, %llu identical, %llu failed, %llu silent; %llu over their "
                "time bound, %llu over their attempts; %lld s of copying\n",
                static_cast<unsigned long long>(total.copies),
                static_cast<unsigned long long>(total.identical),
                static_cast<unsigned long long>(total.failed),
                static_cast<unsigned long long>(total.silent),
                static_cast<unsigned long long>(total.over_bound),
                static_cast<unsigned long long>(total.over_attempts),
                static_cast<long long>(total.time.count() / 1000));
  for (const CopyRecord& r : notable_) {
    out << Format("notable: %s batch %llu, %s %s %s, %s %s (%zu bytes): %s", r.lane.c_str(),
                  static_cast<unsigned long long>(r.batch), r.cell.kind.c_str(),
                  RateText(r.cell.rate).c_str(), r.cell.compress ? "compressed" : "plain",
                  Name(r.job.direction), r.file.c_str(), r.size, Name(r.outcome));
    if (r.difference) {
      out << Format("; received %zu bytes, first difference at %zu, %zu bytes differ",
                    r.difference->size_received, r.difference->first_offset,
                    r.difference->bytes_differing);
    }
    for (const auto& name : r.collateral) out << "; terminal file changed: " << name;
    if (OverBound(r)) {
      out << Format("; took %lld ms, bound %lld ms", static_cast<long long>(r.duration.count()),
                    static_cast<long long>(r.bound.count()));
    }
    if (OverAttempts(r)) {
      out << Format("; %llu attempts, at most %llu allowed",
                    static_cast<unsigned long long>(r.attempts),
                    static_cast<unsigned long long>(r.max_attempts));
    }
    out << Format("; line: %llu flips, %llu drops, %llu noise bursts\n",
                  static_cast<unsigned long long>(r.line.a_to_b.flips + r.line.b_to_a.flips),
                  static_cast<unsigned long long>(r.line.a_to_b.drops + r.line.b_to_a.drops),
                  static_cast<unsigned long long>(r.line.a_to_b.noise_bursts +
                                                  r.line.b_to_a.noise_bursts));
  }
}

void Report::WriteRecordHeader(std::ostream& out) {
  out << "lane,batch,kind,rate,compress,direction,file,content,size,outcome,duration_ms,"
         "attempts,max_attempts,bound_ms,ab_bytes,ba_bytes,ab_flips,ba_flips,ab_drops,ba_drops,"
         "ab_noise_bursts,ba_noise_bursts,ab_overruns,ba_overruns,received_size,first_difference,"
         "bytes_differing,collateral\n";
}

void Report::WriteRecord(std::ostream& out, const CopyRecord& r) {
  const auto& ab = r.line.a_to_b;
  const auto& ba = r.line.b_to_a;
  out << r.lane << ',' << r.batch << ',' << r.cell.kind << ',' << RateText(r.cell.rate) << ','
      << (r.cell.compress ? 1 : 0) << ',' << Name(r.job.direction) << ',' << r.file << ','
      << (r.content == Content::kText ? "text" : "random") << ',' << r.size << ','
      << Name(r.outcome) << ',' << r.duration.count() << ',' << r.attempts << ','
      << r.max_attempts << ',' << r.bound.count() << ',' << ab.bytes_in << ',' << ba.bytes_in
      << ',' << ab.flips << ',' << ba.flips << ',' << ab.drops << ',' << ba.drops << ','
      << ab.noise_bursts << ',' << ba.noise_bursts << ',' << ab.overruns << ',' << ba.overruns
      << ',';
  if (r.difference) {
    out << r.difference->size_received << ',' << r.difference->first_offset << ','
        << r.difference->bytes_differing;
  } else {
    out << ",,";
  }
  out << ',';
  for (std::size_t i = 0; i < r.collateral.size(); ++i) out << (i > 0 ? ";" : "") << r.collateral[i];
  out << '\n';
}

std::vector<std::string> Report::Problems() const {
  std::vector<std::string> problems;
  for (const auto& [key, t] : rows_) {
    const std::string row = key.kind + " " + RateText(key.rate) +
                            (key.compress ? " compressed " : " plain ") + Name(key.direction);
    if (t.over_bound > 0) {
      problems.push_back(row + ": " + std::to_string(t.over_bound) + " copies over their time bound");
    }
    if (t.over_attempts > 0) {
      problems.push_back(row + ": " + std::to_string(t.over_attempts) +
                         " copies over their attempt count");
    }
    if (key.compress && t.silent > 0) {
      problems.push_back(row + ": " + std::to_string(t.silent) +
                         " damaged copies reported as done although compressed");
    }
    if (key.compress && t.collateral > 0) {
      problems.push_back(row + ": " + std::to_string(t.collateral) +
                         " copies changed other terminal files although compressed");
    }
    if (key.kind == "none" && t.identical != t.copies) {
      problems.push_back(row + ": " + std::to_string(t.copies - t.identical) +
                         " copies not identical on a clean line");
    }
  }
  return problems;
}

}  // namespace vork::soak
