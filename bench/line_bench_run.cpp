#include "line_bench_run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "line_bench_child.h"
#include "line_bench_files.h"
#include "relay.h"
#include "serial_port.h"
#include "simulator.h"
#include "unique_fd.h"
#include "vork.h"

namespace vork::bench {

namespace {

using Clock = std::chrono::steady_clock;
using link::UniqueFd;
using std::chrono::milliseconds;

constexpr int kBenchCom = 47;
constexpr std::uint16_t kRepositionCode = 23;
constexpr std::uint32_t kChunkBytes = 1024;
constexpr std::uint32_t kCreateAccess = 0xC0000000;  // read and write
constexpr std::uint32_t kOpenMode = 2;
// sz and rz may take this long beyond three times the line time before
// the run counts as hung.
constexpr milliseconds kZmodemSlack{30'000};
constexpr milliseconds kSenderEndLimit{10'000};
// How long rz may take to end once sz has: its last word crosses the line in
// milliseconds at any speed the benchmark uses.
constexpr milliseconds kReceiverEndGrace{2'000};

// Vork's link from QMT_VorkInit to QMT_VorkUninit.
class VorkSession {
 public:
  VorkSession(int baud, bool compress)
      : open_(QMT_VorkInit(kBenchCom, baud, compress ? 1 : 0) == 1) {}
  ~VorkSession() { QMT_VorkUninit(); }
  VorkSession(const VorkSession&) = delete;
  VorkSession& operator=(const VorkSession&) = delete;
  [[nodiscard]] bool open() const { return open_; }

 private:
  bool open_;
};

// A fresh line with the terminal simulator serving `root` on device B and
// Vork's link open on device A, the terminal found answering. Throws
// std::runtime_error when any of that fails; taken down in reverse order.
class VorkLine {
 public:
  VorkLine(const std::filesystem::path& root, int baud, bool compress)
      : relay_(Config(baud)), terminal_({root, termsim::AnswerCompression::kMirror}) {
    link::SerialPort::OpenError open_error{};
    link::SerialPort port = link::SerialPort::Open(relay_.path_b(), open_error);
    if (!port.valid() || !port.Configure(baud)) {
      throw std::runtime_error("cannot open the terminal's end of the line");
    }
    terminal_.Start(port.Release());
    ::setenv(("VORK_COM" + std::to_string(kBenchCom)).c_str(), relay_.path_a().c_str(), 1);
    session_.emplace(baud, compress);
    std::uint32_t version[3] = {};
    if (!session_->open() || QMT_GetVersion(version) != 1) {
      throw std::runtime_error("the terminal does not answer");
    }
    terminal_.ClearLog();
  }

  [[nodiscard]] const linesim::Relay& relay() const { return relay_; }
  [[nodiscard]] const termsim::Simulator& terminal() const { return terminal_; }

 private:
  static linesim::RelayConfig Config(int baud) {
    linesim::RelayConfig config;
    config.baud = baud;
    return config;
  }

  linesim::Relay relay_;
  // Answers compressed when the request came compressed, as the terminal does.
  termsim::Simulator terminal_;
  std::optional<VorkSession> session_;  // last: closed first
};

UniqueFd OpenForChild(const std::filesystem::path& path, int flags) {
  UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, 0644));
  if (!fd) throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
  return fd;
}

void EmptyFolder(const std::filesystem::path& folder) {
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void TakeWire(Outcome& out, const linesim::Counters& before, const linesim::Counters& after) {
  out.wire_out = after.a_to_b.bytes_in - before.a_to_b.bytes_in;
  out.wire_back = after.b_to_a.bytes_in - before.b_to_a.bytes_in;
  out.overruns = (after.a_to_b.overruns - before.a_to_b.overruns) +
                 (after.b_to_a.overruns - before.b_to_a.overruns);
}

double LineSeconds(std::uint64_t bytes, int baud) {
  return static_cast<double>(bytes) * 10.0 / baud;
}

std::vector<std::byte> ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::byte> bytes(std::filesystem::file_size(path));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return bytes;
}

std::uint64_t CountRepeats(const termsim::Simulator& terminal) {
  std::uint64_t repeats = 0;
  for (const termsim::LoggedRequest& request : terminal.Requests()) {
    if (request.code == kRepositionCode) ++repeats;
  }
  return repeats;
}

bool LineIdle(const linesim::Counters& c) {
  return c.a_to_b.in_flight == 0 && c.b_to_a.in_flight == 0;
}

std::string FindInPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= folders.size()) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const std::filesystem::path candidate =
        std::filesystem::path(folders.substr(start, end - start)) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return {};
}

// Notes when a file in a folder is closed after writing: the moment rz has
// the whole file, whatever its closing handshake does afterwards.
class CloseWatch {
 public:
  CloseWatch(const std::filesystem::path& folder, std::string name)
      : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)), name_(std::move(name)) {
    if (!fd_ || ::inotify_add_watch(fd_.get(), folder.c_str(), IN_CLOSE_WRITE) < 0) {
      throw std::system_error(errno, std::generic_category(), "inotify");
    }
  }

  // Waits until the file was closed after writing (its time), `ender` has
  // ended without that, or `deadline` passed (nothing in both cases).
  std::optional<Clock::time_point> Wait(const ChildProcess& ender, Clock::time_point deadline) {
    for (;;) {
      if (Closed()) return Clock::now();
      pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {ender.ended_fd(), POLLIN, 0}};
      const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
      const int ready = ::poll(fds, 2, static_cast<int>(std::max<long long>(0, left)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return std::nullopt;
      if ((fds[0].revents & POLLIN) == 0) {
        return Closed() ? std::optional(Clock::now()) : std::nullopt;
      }
    }
  }

 private:
  // Reads the queued events; true when one is the close of our file.
  bool Closed() {
    alignas(inotify_event) char buffer[4096];
    bool found = false;
    for (;;) {
      const ssize_t got = ::read(fd_.get(), buffer, sizeof buffer);
      if (got <= 0) return found;
      for (ssize_t at = 0; at < got;) {
        inotify_event event;
        std::memcpy(&event, buffer + at, sizeof event);
        const char* name = buffer + at + static_cast<ssize_t>(sizeof event);
        if (event.len > 0 && name_ == name) found = true;
        at += static_cast<ssize_t>(sizeof event + event.len);
      }
    }
  }

  UniqueFd fd_;
  std::string name_;
};

}  // namespace

double LoadAverage() {
  std::ifstream in("/proc/loadavg");
  double one_minute = -1;
  in >> one_minute;
  return in ? one_minute : -1;
}

std::pair<std::string, std::string> FindZmodemPrograms() {
  std::string sz = FindInPath("sz");
  std::string rz = FindInPath("rz");
  if (sz.empty() || rz.empty()) return {};
  return {sz, rz};
}

CaseRunner::CaseRunner(std::filesystem::path work)
    : work_(std::move(work)), pc_(work_ / "pc"), terminal_(work_ / "terminal") {
  std::filesystem::create_directories(work_ / "files");
  std::filesystem::create_directories(work_ / "logs");
}

const std::filesystem::path& CaseRunner::Source(Content content, std::uint64_t bytes) {
  const auto key = std::make_pair(content, bytes);
  if (const auto found = sources_.find(key); found != sources_.end()) return found->second;
  const std::string size = std::to_string(bytes);
  std::filesystem::path path;
  if (content == Content::kRandom) {
    path = work_ / "files" / ("random-" + size + ".bin");
    WriteRandomFile(path, bytes, 20261211);
  } else {
    path = work_ / "files" / ("scans-" + size + ".csv");
    WriteScanRecordFile(path, bytes, 20261211);
  }
  return sources_.emplace(key, path).first->second;
}

std::filesystem::path CaseRunner::Log(const std::string& name) const {
  return work_ / "logs" / (std::to_string(run_number_) + "-" + name + ".log");
}

Outcome CaseRunner::Run(const Case& what) {
  ++run_number_;
  Outcome out;
  try {
    out = what.tool == Tool::kVork ? RunVork(what) : RunZmodem(what);
  } catch (const std::exception& e) {
    out = Outcome{};
    out.what = what;
    out.problem = e.what();
  }
  out.load_average = LoadAverage();
  return out;
}

Outcome CaseRunner::RunVork(const Case& what) {
  Outcome out;
  out.what = what;
  const std::filesystem::path& source = Source(what.content, what.bytes);
  EmptyFolder(pc_);
  EmptyFolder(terminal_);

  const VorkLine line(terminal_, what.baud, what.compress);
  const linesim::Relay& relay = line.relay();
  const Route route = VorkRoute(what.direction, source);
  const linesim::Counters before = relay.counters();
  const auto start = Clock::now();
  const bool copied = QMT_CopyFile(route.from.c_str(), route.to.c_str(), 0) == 1;
  out.seconds = Seconds(Clock::now() - start);
  TakeWire(out, before, relay.counters());
  out.exchanges = line.terminal().Requests().size();
  out.repeats = CountRepeats(line.terminal());

  if (!copied) {
    out.problem = "QMT_CopyFile returned 0";
  } else if (!SameContents(source, route.arrived)) {
    out.problem = "the copy differs from the source";
  } else {
    out.ok = true;
  }
  return out;
}

CaseRunner::Route CaseRunner::VorkRoute(Direction direction,
                                        const std::filesystem::path& source) const {
  const std::string name = source.filename().string();
  const std::string remote = "QMT:\\" + name;
  if (direction == Direction::kToTerminal) return {source.string(), remote, terminal_ / name};
  // A file the terminal already holds.
  std::filesystem::copy_file(source, terminal_ / name);
  return {remote, (pc_ / name).string(), pc_ / name};
}

Outcome CaseRunner::RunZmodem(const Case& what) {
  Outcome out;
  out.what = what;
  const auto [sz, rz] = FindZmodemPrograms();
  if (sz.empty()) {
    out.problem = "sz or rz not found (Debian package lrzsz)";
    return out;
  }
  const std::filesystem::path& source = Source(what.content, what.bytes);
  const std::string name = source.filename().string();
  EmptyFolder(pc_);
  EmptyFolder(terminal_);

  linesim::RelayConfig config;
  config.baud = what.baud;
  linesim::Relay relay(config);
  // sz and rz make their terminals raw themselves; blocking descriptors, as
  // on a shell's terminal.
  const UniqueFd pc_end = OpenForChild(relay.path_a(), O_RDWR | O_NOCTTY);
  const UniqueFd terminal_end = OpenForChild(relay.path_b(), O_RDWR | O_NOCTTY);
  const bool to_terminal = what.direction == Direction::kToTerminal;
  const int sender_end = to_terminal ? pc_end.get() : terminal_end.get();
  const int receiver_end = to_terminal ? terminal_end.get() : pc_end.get();
  const std::filesystem::path sender_folder = to_terminal ? source.parent_path() : terminal_;
  const std::filesystem::path receiver_folder = to_terminal ? terminal_ : pc_;
  if (!to_terminal) std::filesystem::copy_file(source, terminal_ / name);
  const UniqueFd sz_log = OpenForChild(Log("sz"), O_WRONLY | O_CREAT | O_TRUNC);
  const UniqueFd rz_log = OpenForChild(Log("rz"), O_WRONLY | O_CREAT | O_TRUNC);

  const auto line_time =
      milliseconds(what.bytes * 10 * 1000 / static_cast<std::uint64_t>(what.baud));
  const auto deadline = Clock::now() + 3 * line_time + kZmodemSlack;
  CloseWatch watch(receiver_folder, name);
  const linesim::Counters before = relay.counters();
  const auto start = Clock::now();
  // The sender first: the receiver's opening invitation then finds it
  // listening, and nothing waits for a repeat.
  ChildProcess sender({{sz, "-b", name}, sender_folder, sender_end, sender_end, sz_log.get()});
  ChildProcess receiver(
      {{rz, "-b", "-y"}, receiver_folder, receiver_end, receiver_end, rz_log.get()});
  const auto closed = watch.Wait(receiver, deadline);
  if (closed) out.seconds = Seconds(*closed - start);
  const auto sent = sender.Wait(closed ? kSenderEndLimit : milliseconds(0));
  auto received = receiver.Wait(closed ? kReceiverEndGrace : milliseconds(0));
  if (closed && sent == 0 && !received) {
    receiver.Terminate();
    out.rz_cut_short = true;
    received = 0;
  }
  (void)relay.WaitUntil(LineIdle, milliseconds(1000));
  TakeWire(out, before, relay.counters());

  out.problem = ZmodemProblem(closed.has_value(), sent, received);
  if (out.problem.empty() && !SameContents(source, receiver_folder / name)) {
    out.problem = "the received file differs from the source";
  }
  out.ok = out.problem.empty();
  return out;
}

Turnaround CaseRunner::RunTurnaround(Direction direction, bool compress, int baud, int chunks) {
  ++run_number_;
  Turnaround out;
  out.direction = direction;
  out.compress = compress;
  out.baud = baud;
  try {
    MeasureTurnaround(out, chunks);
  } catch (const std::exception& e) {
    out.problem = e.what();
  }
  out.ok = out.problem.empty();
  out.load_average = LoadAverage();
  return out;
}

void CaseRunner::MeasureTurnaround(Turnaround& out, int chunks) {
  const std::filesystem::path& source =
      Source(Content::kRandom, static_cast<std::uint64_t>(chunks) * kChunkBytes);
  const std::string name = source.filename().string();
  const std::string remote = "QMT:\\" + name;
  const std::vector<std::byte> data = ReadWhole(source);
  std::vector<std::byte> back(data.size());
  EmptyFolder(pc_);
  EmptyFolder(terminal_);
  const bool to_terminal = out.direction == Direction::kToTerminal;
  if (!to_terminal) std::filesystem::copy_file(source, terminal_ / name);

  const VorkLine line(terminal_, out.baud, out.compress);
  const std::int32_t handle = to_terminal ? QMT_CreateFile(remote.c_str(), kCreateAccess)
                                          : QMT_OpenFile(remote.c_str(), kOpenMode);
  if (handle == -1) throw std::runtime_error("cannot open " + remote + " on the terminal");
  const auto remote_handle = static_cast<std::uint32_t>(handle);
  for (std::size_t at = 0; at < data.size(); at += kChunkBytes) {
    const linesim::Counters before = line.relay().counters();
    const auto start = Clock::now();
    std::uint32_t moved = 0;
    const bool done = to_terminal
                          ? QMT_WriteFile(remote_handle, data.data() + at, kChunkBytes, &moved) == 1
                          : QMT_ReadFile(remote_handle, back.data() + at, kChunkBytes, &moved) == 1;
    const double seconds = Seconds(Clock::now() - start);
    const linesim::Counters after = line.relay().counters();
    if (!done || moved != kChunkBytes) throw std::runtime_error("a chunk exchange failed");
    const std::uint64_t wire = (after.a_to_b.bytes_in - before.a_to_b.bytes_in) +
                               (after.b_to_a.bytes_in - before.b_to_a.bytes_in);
    out.gap_ms.push_back((seconds - LineSeconds(wire, out.baud)) * 1000);
  }
  QMT_CloseFile(remote_handle);
  out.repeats = CountRepeats(line.terminal());
  const bool intact = to_terminal ? SameContents(source, terminal_ / name) : back == data;
  if (!intact) out.problem = "the chunks that arrived differ from those sent";
}

std::string CaseRunner::ZmodemProblem(bool file_closed, std::optional<int> sent,
                                      std::optional<int> received) const {
  if (!file_closed) return "rz did not complete the file (see " + Log("rz").string() + ")";
  if (!received) return "rz did not end (see " + Log("rz").string() + ")";
  if (*received != 0) return "rz ended with " + DescribeStatus(*received);
  if (!sent) return "sz did not end (see " + Log("sz").string() + ")";
  if (*sent != 0) return "sz ended with " + DescribeStatus(*sent);
  return {};
}

}  // namespace vork::bench
