#include "lane.h"

#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "copy_engine.h"
#include "remote_calls.h"
#include "serial_port.h"
#include "simulator.h"

namespace vork::soak {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

linesim::Counters Minus(const linesim::Counters& after, const linesim::Counters& before) {
  auto minus = [](const linesim::DirectionCounters& a, const linesim::DirectionCounters& b) {
    linesim::DirectionCounters d = a;
    d.bytes_in -= b.bytes_in;
    d.bytes_out -= b.bytes_out;
    d.flips -= b.flips;
    d.drops -= b.drops;
    d.noise_bytes -= b.noise_bytes;
    d.noise_bursts -= b.noise_bursts;
    d.overruns -= b.overruns;
    return d;
  };
  return {minus(after.a_to_b, before.a_to_b), minus(after.b_to_a, before.b_to_a)};
}

// The simulator on device B, for one batch.
class Terminal {
 public:
  Terminal(const fs::path& root, const std::string& device, int baud)
      : simulator_({root, termsim::AnswerCompression::kMirror}) {
    link::SerialPort::OpenError error{};
    link::SerialPort port = link::SerialPort::Open(device, error);
    if (!port.valid()) throw std::runtime_error("cannot open " + device);
    if (!port.Configure(baud)) throw std::runtime_error("cannot configure " + device);
    simulator_.Start(port.Release());
  }
  ~Terminal() { simulator_.Stop(); }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

 private:
  termsim::Simulator simulator_;
};

// Publishes the batch's relay to the monitor for as long as it exists.
class Watched {
 public:
  Watched(Watch& watch, const linesim::Relay& relay) : watch_(watch) {
    std::lock_guard lock(watch_.mutex);
    watch_.relay = &relay;
  }
  ~Watched() {
    std::lock_guard lock(watch_.mutex);
    watch_.relay = nullptr;
  }
  Watched(const Watched&) = delete;
  Watched& operator=(const Watched&) = delete;

 private:
  Watch& watch_;
};

class Copying {
 public:
  Copying(Watch& watch, std::string what) : watch_(watch) {
    {
      std::lock_guard lock(watch_.mutex);
      watch_.what = std::move(what);
    }
    ++watch_.started;
    watch_.copying = true;
  }
  ~Copying() { watch_.copying = false; }
  Copying(const Copying&) = delete;
  Copying& operator=(const Copying&) = delete;

 private:
  Watch& watch_;
};

std::string RateText(double rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", rate);
  return text;
}

}  // namespace

Cell MakeCell(const std::string& kind, double rate, bool compress) {
  Cell cell{kind, rate, compress, {}};
  const bool mix = kind == "mix";
  if (kind == "flip" || mix) cell.faults.flip = rate;
  if (kind == "drop" || mix) cell.faults.drop = rate;
  if (kind == "noise" || mix) cell.faults.noise = rate;
  if (kind != "none" && kind != "flip" && kind != "drop" && kind != "noise" && !mix) {
    throw std::invalid_argument("unknown fault kind " + kind);
  }
  if (kind == "none") cell.rate = 0;
  return cell;
}

const char* Name(Outcome outcome) {
  switch (outcome) {
    case Outcome::kIdentical:
      return "identical";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kSilent:
      return "silent";
  }
  return "?";
}

Lane::Lane(std::string name, int com_number, fs::path folder, const Corpus& corpus,
           CallBounds bounds)
    : name_(std::move(name)),
      com_(com_number),
      folder_(std::move(folder)),
      corpus_(corpus),
      bounds_(bounds),
      ctx_(link::ExchangeTiming{bounds.response_timeout, 3}) {
  fs::create_directories(folder_ / "pc");
  fs::create_directories(folder_ / "terminal");
  corpus_.WriteAll(folder_ / "pc");
  corpus_.WriteAll(folder_ / "terminal");
  terminal_expected_ = Snapshot(folder_ / "terminal");
}

std::vector<CopyRecord> Lane::RunBatch(const Cell& cell, std::uint64_t batch, std::uint64_t seed,
                                       std::span<const CopyJob> jobs) {
  linesim::RelayConfig config;
  config.baud = bounds_.baud;
  config.seed = seed;
  config.a_to_b.faults = cell.faults;
  config.b_to_a.faults = cell.faults;
  config.a_link = line_link().string();
  linesim::Relay relay(config);
  Watched watched(watch_, relay);
  Terminal terminal(folder_ / "terminal", relay.path_b(), bounds_.baud);

  if (api::VorkInit(ctx_, com_, bounds_.baud, cell.compress ? 1 : 0) != 1) {
    throw std::runtime_error(name_ + ": Vork cannot open COM" + std::to_string(com_));
  }
  // The link goes before the line it is open on, also when a copy throws.
  struct Closing {
    link::CallContext& ctx;
    ~Closing() { api::VorkUninit(ctx); }
  } closing{ctx_};
  std::vector<CopyRecord> records;
  for (const CopyJob& job : jobs) records.push_back(Copy(cell, batch, job, relay));
  return records;
}

CopyRecord Lane::Copy(const Cell& cell, std::uint64_t batch, const CopyJob& job,
                      const linesim::Relay& relay) {
  const CorpusFile& file = corpus_.files().at(job.file);
  CopyRecord record;
  record.lane = name_;
  record.batch = batch;
  record.cell = cell;
  record.job = job;
  record.file = file.name;
  record.content = file.content;
  record.size = file.bytes.size();
  record.max_attempts = bounds_.MaxAttempts(job.direction, file.bytes.size());

  const bool to_terminal = job.direction == Direction::kToTerminal;
  const std::string terminal_name = to_terminal ? "up-" + file.name : file.name;
  const fs::path received_at = to_terminal ? folder_ / "terminal" / terminal_name
                                           : folder_ / "pc" / ("down-" + file.name);
  const std::string remote = "QMT:\\" + terminal_name;
  const std::string local = to_terminal ? (folder_ / "pc" / file.name).string() : received_at.string();
  std::error_code ignored;
  fs::remove(received_at, ignored);

  const auto counters_before = relay.counters();
  const std::uint32_t sequence_before = ctx_.CurrentSequence();
  std::int32_t result = 0;
  const auto started = Clock::now();
  {
    Copying copying(watch_, name_ + " " + Name(job.direction) + " " + file.name + " (" + cell.kind +
                                " " + RateText(cell.rate) + (cell.compress ? ", compressed)" : ")"));
    result = to_terminal ? api::CopyFile(ctx_, local.c_str(), remote.c_str())
                         : api::CopyFile(ctx_, remote.c_str(), local.c_str());
  }
  record.duration = std::chrono::duration_cast<Milliseconds>(Clock::now() - started);
  record.attempts = ctx_.CurrentSequence() - sequence_before;
  record.bound = bounds_.ForAttempts(record.attempts);
  record.line = Minus(relay.counters(), counters_before);

  if (result == 0) {
    record.outcome = Outcome::kFailed;
  } else {
    const auto received = ReadWhole(received_at);
    record.difference = Compare(file.bytes, received ? *received : std::vector<std::byte>{});
    record.outcome = record.difference ? Outcome::kSilent : Outcome::kIdentical;
  }
  fs::remove(received_at, ignored);

  // Anything else on the terminal that changed was hit by a request that
  // arrived damaged and was taken for another (a name or a handle).
  const auto now = Snapshot(folder_ / "terminal");
  record.collateral = Changes(terminal_expected_, now, terminal_name);
  if (!record.collateral.empty()) RestoreTerminal(record.collateral);
  return record;
}

void Lane::RestoreTerminal(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    std::error_code ignored;
    fs::remove_all(folder_ / "terminal" / name, ignored);
    for (const CorpusFile& file : corpus_.files()) {
      if (file.name == name) WriteWhole(folder_ / "terminal" / name, file.bytes);
    }
  }
}

}  // namespace vork::soak
