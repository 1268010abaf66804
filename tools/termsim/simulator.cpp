#include "simulator.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <future>
#include <map>
#include <random>

#include "compression.h"
#include "frame_codec.h"
#include "serial_port.h"
#include "terminal_service.h"
#include "wire.h"

namespace vork::termsim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFrameGap{200};
constexpr milliseconds kWriteBudget{2000};

std::optional<int> ToInt(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

bool Fault::Matches(std::uint32_t number, std::uint16_t request_code,
                    std::uint32_t occurrence_of_code) const {
  if (request_number != 0) return number == request_number;
  if (code < 0) return true;
  if (request_code != code) return false;
  return occurrence == 0 || occurrence == occurrence_of_code;
}

std::optional<Fault> ParseFault(std::string_view text) {
  static const std::map<std::string_view, Fault::Kind> kKinds = {
      {"drop", Fault::Kind::kDrop},        {"ignore", Fault::Kind::kIgnore},
      {"wronglen", Fault::Kind::kWrongLength}, {"bodylen", Fault::Kind::kBodyLength},
      {"stale", Fault::Kind::kStale},      {"late", Fault::Kind::kLate},
      {"split", Fault::Kind::kSplit},      {"noise", Fault::Kind::kNoise},
      {"claim", Fault::Kind::kClaim}};
  const std::size_t selector = text.find_first_of("@:");
  if (selector == std::string_view::npos) return std::nullopt;
  std::string_view head = text.substr(0, selector);
  std::string_view where = text.substr(selector);
  Fault fault;
  const std::size_t equals = head.find('=');
  const auto kind = kKinds.find(head.substr(0, equals));
  if (kind == kKinds.end()) return std::nullopt;
  fault.kind = kind->second;
  if (equals != std::string_view::npos) {
    const auto value = ToInt(head.substr(equals + 1));
    if (!value) return std::nullopt;
    fault.value = *value;
  }
  if (where == "@*") return fault;
  if (where.front() == '@') {
    const auto number = ToInt(where.substr(1));
    if (!number || *number <= 0) return std::nullopt;
    fault.request_number = static_cast<std::uint32_t>(*number);
    return fault;
  }
  if (where.substr(0, 6) != ":code=") return std::nullopt;
  where.remove_prefix(6);
  const std::size_t hash = where.find('#');
  const auto code = ToInt(where.substr(0, hash));
  if (!code || *code < 0 || *code > 0xFFFF) return std::nullopt;
  fault.code = *code;
  if (hash != std::string_view::npos) {
    const auto occurrence = ToInt(where.substr(hash + 1));
    if (!occurrence || *occurrence <= 0) return std::nullopt;
    fault.occurrence = static_cast<std::uint32_t>(*occurrence);
  }
  return fault;
}

struct Simulator::Impl final : link::ByteSource {
  struct Command {
    std::vector<std::byte> bytes;
    bool await_ok = false;
    milliseconds timeout{0};
    std::promise<bool> done;
  };

  explicit Impl(Options o) : options(std::move(o)), service(options.root) {}

  Options options;
  TerminalService service;
  link::SerialPort line;
  link::Wakeup stop;
  link::Wakeup command_ready;
  std::thread thread;
  std::atomic<bool> stopping{false};

  mutable std::mutex mutex;  // everything below, and the service's ring log
  mutable std::condition_variable logged;
  std::vector<Fault> faults;
  std::vector<LoggedRequest> log;
  std::uint64_t bytes_read = 0;
  std::uint32_t request_count = 0;
  std::map<std::uint16_t, std::uint32_t> code_counts;
  std::deque<Command> commands;

  // The serving thread's own.
  link::FrameReceiver frames{*this};
  link::Compressor compressor;
  std::mt19937 noise{20261211};

  std::size_t ReadMore(std::span<std::byte> into) override {
    if (line.WaitReadable(kFrameGap, stop) != link::SerialPort::WaitResult::kReady) return 0;
    return Read(into);
  }

  std::size_t Read(std::span<std::byte> into) {
    const ssize_t got = line.ReadSome(into);
    if (got <= 0) return 0;
    Count(static_cast<std::size_t>(got));
    return static_cast<std::size_t>(got);
  }

  void Count(std::size_t bytes) {
    std::lock_guard lock(mutex);
    bytes_read += bytes;
  }

  // A device that hung up stays readable for ever: stop instead of spinning.
  void LineLost() {
    if (options.on_line_lost) options.on_line_lost();
  }

  // Waits up to `pause`; false when the simulator is stopping.
  bool Pause(milliseconds pause) {
    pollfd fds = {stop.fd(), POLLIN, 0};
    return ::poll(&fds, 1, static_cast<int>(pause.count())) == 0;
  }

  bool Write(std::span<const std::byte> bytes) {
    return line.WriteAll(bytes, Clock::now() + kWriteBudget, stop);
  }

  void Serve() {
    while (!stopping) {
      if (!frames.HasBufferedBytes()) {
        pollfd fds[3] = {{line.fd(), POLLIN, 0}, {stop.fd(), POLLIN, 0},
                         {command_ready.fd(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
          if (errno == EINTR) continue;
          return;
        }
        if (fds[1].revents != 0) return;
        if (fds[2].revents != 0) {
          RunCommands();
          continue;
        }
        if (fds[0].revents & POLLIN) {
          const ssize_t got = line.ReadSome(frames.RawArea());
          if (got < 0) return LineLost();
          Count(static_cast<std::size_t>(got));
          if (got == 0) continue;
          frames.Accept(static_cast<std::size_t>(got));
        } else if (fds[0].revents != 0) {
          return LineLost();
        }
      }
      if (frames.ReceiveFrame()) Handle(frames.message(), frames.was_compressed());
    }
  }

  void RunCommands() {
    command_ready.Clear();
    for (;;) {
      Command command;
      {
        std::lock_guard lock(mutex);
        if (commands.empty()) return;
        command = std::move(commands.front());
        commands.pop_front();
      }
      const bool written = Write(command.bytes);
      command.done.set_value(written && (!command.await_ok || AwaitOk(command.timeout)));
    }
  }

  bool AwaitOk(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string seen;
    std::array<std::byte, 256> buffer;
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      if (line.WaitReadable(left, stop) != link::SerialPort::WaitResult::kReady) break;
      const std::size_t got = Read(buffer);
      seen.append(reinterpret_cast<const char*>(buffer.data()), got);
      if (seen.find("ok") != std::string::npos) {
        frames.Discard();
        return true;
      }
    }
    frames.Discard();
    return false;
  }

  void Handle(std::span<const std::byte> message, bool compressed) {
    if (message.size() < link::kHeaderBytes || message[0] != link::kTypeRequest) return;
    const link::MessageHeader header = link::ReadHeader(message);
    const auto payload = message.subspan(link::kHeaderBytes);
    std::vector<Fault> active;
    std::vector<std::byte> answer;
    {
      std::lock_guard lock(mutex);
      const std::uint32_t number = ++request_count;
      const std::uint32_t occurrence = ++code_counts[header.code];
      log.push_back({header.code, header.sequence, compressed, {payload.begin(), payload.end()}});
      for (const Fault& fault : faults) {
        if (fault.Matches(number, header.code, occurrence)) active.push_back(fault);
      }
      logged.notify_all();
      if (Has(active, Fault::Kind::kIgnore)) return;
      answer = service.Answer(header.code, header.sequence, payload);
    }
    if (const Fault* claim = Find(active, Fault::Kind::kClaim); claim && claim->value >= 0) {
      const auto m = static_cast<std::uint32_t>(claim->value);
      answer.resize(8 + m);
      link::put_u32le(answer, m);
    }
    if (const Fault* wrong = Find(active, Fault::Kind::kWrongLength)) {
      answer.resize(wrong->value >= 0 ? static_cast<std::size_t>(wrong->value) : answer.size() + 1);
    }
    const bool compress = options.compression == AnswerCompression::kAlways ||
                          (options.compression == AnswerCompression::kMirror && compressed);
    if (const Fault* late = Find(active, Fault::Kind::kLate)) {
      if (!Pause(milliseconds(std::max(late->value, 0)))) return;
    }
    if (const Fault* stale = Find(active, Fault::Kind::kStale)) {
      SendAnswer(header.code, static_cast<std::uint16_t>(header.sequence - 1), answer, 0, compress,
                 active);
      // Without a gap, whether the right answer lands before the caller has
      // looked at the stale one is up to the scheduler.
      if (stale->value > 0 && !Pause(milliseconds(stale->value))) return;
    }
    if (Has(active, Fault::Kind::kDrop)) return;
    const Fault* body = Find(active, Fault::Kind::kBodyLength);
    SendAnswer(header.code, header.sequence, answer, body != nullptr ? body->value : 0, compress,
               active);
  }

  void SendAnswer(std::uint16_t code, std::uint16_t sequence, std::span<const std::byte> answer,
                  int body_delta, bool compress, const std::vector<Fault>& active) {
    std::array<std::byte, link::kMaxMessageBytes + 64> message{};
    const std::size_t length = std::min(answer.size(), link::kMaxMessageBytes - link::kHeaderBytes);
    link::WriteHeader(message, {link::kTypeResponse, code, sequence,
                                static_cast<std::uint16_t>(answer.size())});
    std::copy_n(answer.begin(), length, message.begin() + link::kHeaderBytes);
    const auto total = static_cast<std::size_t>(std::clamp<long>(
        static_cast<long>(link::kHeaderBytes + length) + body_delta, 1,
        static_cast<long>(link::kMaxMessageBytes)));
    std::array<std::byte, link::kMaxMessageBytes> body{};
    std::size_t body_length = total;
    if (compress) {
      body_length = compressor.CompressBody(std::span(message).first(total), body);
      if (body_length == 0) return;
    } else {
      std::copy_n(message.begin(), total, body.begin());
    }
    std::array<std::byte, link::kFrameAreaBytes> frame{};
    const std::size_t frame_length = link::BuildFrame(std::span(body).first(body_length), frame);
    if (frame_length == 0) return;
    if (const Fault* noisy = Find(active, Fault::Kind::kNoise)) {
      std::vector<std::byte> junk(static_cast<std::size_t>(std::max(noisy->value, 1)));
      for (auto& b : junk) {
        do {
          b = static_cast<std::byte>(noise() & 0xFF);
        } while (b == link::kStartByte);
      }
      if (!Write(junk)) return;
    }
    const auto bytes = std::span(frame).first(frame_length);
    if (const Fault* split = Find(active, Fault::Kind::kSplit)) {
      const std::size_t half = frame_length / 2;
      if (!Write(bytes.first(half))) return;
      if (!Pause(milliseconds(std::max(split->value, 0)))) return;
      (void)Write(bytes.subspan(half));
      return;
    }
    (void)Write(bytes);
  }

  static const Fault* Find(const std::vector<Fault>& active, Fault::Kind kind) {
    const auto found = std::find_if(active.begin(), active.end(),
                                    [kind](const Fault& f) { return f.kind == kind; });
    return found == active.end() ? nullptr : &*found;
  }
  static bool Has(const std::vector<Fault>& active, Fault::Kind kind) {
    return Find(active, kind) != nullptr;
  }
};

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { Stop(); }

void Simulator::Start(link::UniqueFd line) {
  impl_->line = link::SerialPort::Adopt(std::move(line));
  impl_->thread = std::thread([this] { impl_->Serve(); });
}

void Simulator::Stop() {
  if (!impl_->thread.joinable()) return;
  impl_->stopping = true;
  impl_->stop.Raise();
  impl_->thread.join();
  impl_->line.Close();
  // Requests that never ran fail.
  std::lock_guard lock(impl_->mutex);
  for (auto& command : impl_->commands) command.done.set_value(false);
  impl_->commands.clear();
}

void Simulator::AddFault(const Fault& fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.push_back(fault);
}

void Simulator::ClearFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
}

std::vector<LoggedRequest> Simulator::Requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

void Simulator::ClearLog() {
  std::lock_guard lock(impl_->mutex);
  impl_->log.clear();
  impl_->request_count = 0;
  impl_->code_counts.clear();
}

bool Simulator::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->logged.wait_for(lock, timeout, [&] { return impl_->log.size() >= count; });
}

std::uint64_t Simulator::bytes_received() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->bytes_read;
}

std::vector<std::string> Simulator::Rings() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->service.rings();
}

std::size_t Simulator::OpenHandles() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->service.open_handles();
}

bool Simulator::SendOneKeyRequest(std::string_view text, std::chrono::milliseconds timeout) {
  Impl::Command command;
  for (char c : text) command.bytes.push_back(static_cast<std::byte>(c));
  command.await_ok = true;
  command.timeout = timeout;
  auto done = command.done.get_future();
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->thread.joinable() || impl_->stopping) return false;
    impl_->commands.push_back(std::move(command));
  }
  impl_->command_ready.Raise();
  return done.get();
}

void Simulator::SendRaw(std::span<const std::byte> bytes) {
  Impl::Command command;
  command.bytes.assign(bytes.begin(), bytes.end());
  auto done = command.done.get_future();
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->thread.joinable() || impl_->stopping) return;
    impl_->commands.push_back(std::move(command));
  }
  impl_->command_ready.Raise();
  done.wait();
}

}  // namespace vork::termsim
