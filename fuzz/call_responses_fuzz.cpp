// The response handling of every call, through the real link: a pseudo-
// terminal pair, the link's receiver thread on the near end, and a
// responder thread on the far end that answers each request from the
// fuzzer's input.
//
// Input: the call and its arguments come first; then, for every request
// the call sends, one answer: a flags byte (wrong code, wrong sequence
// number, a payload length field that lies, a compressed body, a payload
// of any length instead of the one the request expects), then the fields
// and payload bytes. When the input runs out, requests get an answer for
// another command code, which ends the attempt at once. With one attempt
// per call and every answer a good frame, no input waits for a time-out;
// a call that does has either lost an answer (that stops the run) or been
// held up by a loaded machine (the input is left unjudged, and counted).
//
// Each call is checked against what the exchange accepts: a response
// counts only when it echoes the code and sequence number and its length
// field matches its body; then the payload length decides. Records sit
// between guard bytes, and a failed call leaves them untouched.
#include <fuzzer/FuzzedDataProvider.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "copy_engine.h"
#include "exchange.h"
#include "frame_check.h"
#include "frame_codec.h"
#include "fuzz_check.h"
#include "pseudo_terminal.h"
#include "remote_calls.h"
#include "wire.h"

namespace vork::fuzz {
namespace {

using namespace std::chrono_literals;
using link::Command;
using link::get_u32le;
using link::kHeaderBytes;
using link::kMaxPayloadBytes;
using link::MessageHeader;
using link::put_u32le;

constexpr int kComNumber = 41;
constexpr std::byte kGuard{0xA5};
constexpr std::size_t kGuardBytes = 64;
constexpr std::uint32_t kChunkBytes = 1024;
constexpr std::uint32_t kHandle = 0x1234;
// Never waited out when all is well (every request is answered at once);
// long enough that a loaded machine does not make a late answer of it.
constexpr auto kResponseTimeout = 2000ms;
constexpr auto kLateAnswerLimit = 10000ms;

// An input whose call could not be judged: the machine held a thread up
// past the response time-out.
struct Inconclusive {};

std::vector<std::byte> Bytes(std::span<const std::byte> bytes) {
  return {bytes.begin(), bytes.end()};
}

struct Exchange {
  MessageHeader request;
  std::vector<std::byte> request_payload;
  MessageHeader answer;  // as sent
  std::vector<std::byte> answer_payload;
  bool answer_compressed = false;
  std::chrono::steady_clock::time_point received;  // when the request was read

  // What the exchange takes over: the code and sequence number echoed, a
  // length field that describes the body, at most 2041 payload bytes.
  [[nodiscard]] bool Taken() const {
    return answer.code == request.code && answer.sequence == request.sequence &&
           answer.payload_length == answer_payload.size() &&
           answer_payload.size() <= kMaxPayloadBytes;
  }
  [[nodiscard]] bool TakenWithLength(std::size_t length) const {
    return Taken() && answer_payload.size() == length;
  }
  [[nodiscard]] std::uint32_t Word(std::size_t at) const {
    return get_u32le(std::span(answer_payload).subspan(at));
  }
};

// The payload length each request code is answered with when it is right.
std::size_t ExpectedLength(std::uint16_t code) {
  switch (static_cast<Command>(code)) {
    case Command::kGetVersion:
    case Command::kGlobalMemoryStatus:
      return 12;
    case Command::kGetSystemPowerStatus:
      return 24;
    case Command::kGetStoreInformation:
      return 8;
    case Command::kGetSystemInfo:
      return 80;
    case Command::kFindFirstFile:
    case Command::kFindNextFile:
      return 124;
    case Command::kGetFileTime:
      return 16;
    case Command::kWriteChunk:
      return 8;
    default:
      return 4;
  }
}

std::vector<std::byte> TakeBytes(FuzzedDataProvider& data, std::size_t count) {
  auto bytes = data.ConsumeBytes<std::byte>(count);
  bytes.resize(count);  // zeros once the input runs out
  return bytes;
}

// A payload of the shape the request expects, with fuzzed content; a read
// chunk says how many bytes it carries, sometimes more than were asked.
std::vector<std::byte> ShapedPayload(const Exchange& x, FuzzedDataProvider& data) {
  if (x.request.code != static_cast<std::uint16_t>(Command::kReadChunk) ||
      x.request_payload.size() < 8) {
    return TakeBytes(data, ExpectedLength(x.request.code));
  }
  const std::uint32_t asked = get_u32le(std::span(x.request_payload).subspan(4));
  const std::uint32_t m = data.ConsumeIntegralInRange<std::uint32_t>(
      0, std::min<std::uint32_t>(asked + 2, kMaxPayloadBytes - 8));
  std::vector<std::byte> payload(8 + m);
  put_u32le(payload, m);
  const auto content = TakeBytes(data, m);
  std::copy(content.begin(), content.end(), payload.begin() + 4);
  put_u32le(std::span(payload).subspan(4 + m),
            data.ConsumeBool() ? 1 : data.ConsumeIntegral<std::uint32_t>());
  return payload;
}

// Plays the terminal on the far end of the pair.
class Responder final : private link::ByteSource {
 public:
  explicit Responder(int far_end) : far_end_(far_end), thread_([this] { Run(); }) {}
  ~Responder() {
    stop_ = true;
    thread_.join();
  }
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Answers from data until Finish(); data must outlive that.
  void Begin(FuzzedDataProvider& data) {
    std::lock_guard lock(mutex_);
    data_ = &data;
    log_.clear();
  }
  std::vector<Exchange> Finish() {
    std::lock_guard lock(mutex_);
    data_ = nullptr;
    return std::move(log_);
  }

 private:
  void Run() {
    while (!stop_) {
      if (!frames_.HasBufferedBytes()) {
        const std::size_t got = Read(frames_.RawArea(), 100);  // wakes to see stop_
        if (got == 0)
          continue;
        frames_.Accept(got);
      }
      if (frames_.ReceiveFrame())
        Handle(frames_.message());
    }
  }

  // Inside a request frame: waits long, since Vork writes each frame at
  // once and a gap is only the machine being busy; a request dropped here
  // would look like an answer lost by the link.
  std::size_t ReadMore(std::span<std::byte> into) override { return Read(into, 5000); }

  std::size_t Read(std::span<std::byte> into, int wait_ms) const {
    pollfd in{far_end_, POLLIN, 0};
    if (::poll(&in, 1, wait_ms) <= 0)
      return 0;
    const ssize_t n = ::read(far_end_, into.data(), into.size());
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }

  void Handle(std::span<const std::byte> message) {
    // What Vork sends is well formed.
    FUZZ_CHECK(message.size() >= kHeaderBytes);
    Exchange x;
    x.received = std::chrono::steady_clock::now();
    x.request = link::ReadHeader(message);
    FUZZ_CHECK(x.request.type == link::kTypeRequest);
    FUZZ_CHECK(x.request.payload_length == message.size() - kHeaderBytes);
    x.request_payload = Bytes(message.subspan(kHeaderBytes));
    bool compress = false;
    {
      std::lock_guard lock(mutex_);
      if (data_ == nullptr || data_->remaining_bytes() == 0) {
        x.answer = {link::kTypeResponse, static_cast<std::uint16_t>(x.request.code ^ 0x8000),
                    x.request.sequence, 0};
      } else {
        FuzzedDataProvider& data = *data_;
        const auto flags = data.ConsumeIntegral<std::uint8_t>();
        x.answer_payload =
            (flags & 0x10) != 0
                ? TakeBytes(data, data.ConsumeIntegralInRange<std::size_t>(0, kMaxPayloadBytes))
                : ShapedPayload(x, data);
        x.answer.type = link::kTypeResponse;
        x.answer.code =
            (flags & 0x01) != 0 ? data.ConsumeIntegral<std::uint16_t>() : x.request.code;
        x.answer.sequence =
            (flags & 0x02) != 0 ? data.ConsumeIntegral<std::uint16_t>() : x.request.sequence;
        x.answer.payload_length = (flags & 0x04) != 0
                                      ? data.ConsumeIntegral<std::uint16_t>()
                                      : static_cast<std::uint16_t>(x.answer_payload.size());
        compress = (flags & 0x08) != 0;
      }
      x.answer_compressed = compress;
      log_.push_back(x);  // logged first: the call may return as soon as the answer lands
    }
    Send(x, compress);
  }

  void Send(const Exchange& x, bool compress) {
    std::vector<std::byte> message(kHeaderBytes);
    link::WriteHeader(message, x.answer);
    message.insert(message.end(), x.answer_payload.begin(), x.answer_payload.end());
    std::array<std::byte, link::kMaxMessageBytes> packed{};
    std::span<const std::byte> body = message;
    if (compress) {
      const std::size_t n = compressor_.CompressBody(message, packed);
      if (n > 0)
        body = std::span(packed).first(n);
    }
    std::array<std::byte, kMaxEscapedFrameBytes> frame{};
    const std::size_t length = link::BuildFrame(body, frame);
    FUZZ_CHECK(length > 0);
    std::size_t at = 0;
    while (at < length && !stop_) {
      const ssize_t n = ::write(far_end_, frame.data() + at, length - at);
      if (n > 0) {
        at += static_cast<std::size_t>(n);
        continue;
      }
      pollfd out{far_end_, POLLOUT, 0};
      ::poll(&out, 1, 100);
    }
  }

  int far_end_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  FuzzedDataProvider* data_ = nullptr;
  std::vector<Exchange> log_;
  link::FrameReceiver frames_{*this};
  link::Compressor compressor_;
  std::thread thread_;  // last: starts once everything above exists
};

// A caller's area between guard bytes.
class Guarded {
 public:
  explicit Guarded(std::size_t size) : bytes_(size + 2 * kGuardBytes, kGuard), size_(size) {}
  [[nodiscard]] std::byte* data() { return bytes_.data() + kGuardBytes; }
  [[nodiscard]] std::span<const std::byte> area() const {
    return std::span(bytes_).subspan(kGuardBytes, size_);
  }
  [[nodiscard]] bool GuardsIntact() const {
    const auto intact = [](std::byte b) { return b == kGuard; };
    return std::all_of(bytes_.begin(), bytes_.begin() + kGuardBytes, intact) &&
           std::all_of(bytes_.end() - kGuardBytes, bytes_.end(), intact);
  }
  [[nodiscard]] bool Untouched() const {
    return std::all_of(bytes_.begin(), bytes_.end(), [](std::byte b) { return b == kGuard; });
  }

 private:
  std::vector<std::byte> bytes_;
  std::size_t size_;
};

std::vector<std::byte> ReadPcFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars{std::istreambuf_iterator<char>(in), {}};
  std::vector<std::byte> bytes(chars.size());
  std::transform(chars.begin(), chars.end(), bytes.begin(),
                 [](char c) { return static_cast<std::byte>(c); });
  return bytes;
}

class Harness {
 public:
  Harness() {
    ::setenv(("VORK_COM" + std::to_string(kComNumber)).c_str(), pty_.device().c_str(), 1);
    std::string folder = (std::filesystem::temp_directory_path() / "vork-fuzz-XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(folder.data()) != nullptr);
    folder_ = folder;
    pc_source_ = folder_ / "source.bin";
    pc_target_ = folder_ / "target.bin";
    source_data_.resize(5000);
    for (std::size_t i = 0; i < source_data_.size(); ++i) {
      source_data_[i] = static_cast<std::byte>((i * 131 + 7) & 0xFF);
    }
    FUZZ_CHECK(ctx_.link().OpenPort(kComNumber, 115200));
  }
  ~Harness() {
    if (late_answers_ > 0) {
      std::fprintf(stderr, "inputs left unjudged because an answer came late: %zu\n",
                   late_answers_);
    }
    ctx_.link().ClosePort();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  void Run(FuzzedDataProvider& data);

 private:
  using Log = std::vector<Exchange>;

  void RunCall(FuzzedDataProvider& data);
  void OneExchange(const Log& log) const { FUZZ_CHECK(log.size() == 1); }
  void WordCall(FuzzedDataProvider& data, std::int32_t failure,
                std::int32_t (*call)(link::CallContext&, const char16_t*, std::uint32_t));
  void Record(FuzzedDataProvider& data, Command code, std::size_t size);
  void Find(FuzzedDataProvider& data, bool first);
  void Times(FuzzedDataProvider& data);
  void Reposition(FuzzedDataProvider& data);
  void Read(FuzzedDataProvider& data);
  void Write(FuzzedDataProvider& data);
  void Upload(FuzzedDataProvider& data);
  void Download(FuzzedDataProvider& data);

  // Says which side lost the exchange, then stops the run.
  [[noreturn]] void ReportLostAnswer() {
    const Log log = responder_.Finish();
    const auto sequence = static_cast<std::uint16_t>(ctx_.CurrentSequence() & 0xFFFF);
    if (log.empty() || log.back().request.sequence != sequence) {
      FUZZ_FAIL("a request never reached the far end");
    }
    // The exchange after which the next request came a time-out later is
    // the one whose answer was lost.
    for (const Exchange& x : log) {
      std::fprintf(stderr,
                   "request %u/%u read at +%lld ms; answer %u/%u length field %u, %zu payload "
                   "bytes%s\n",
                   x.request.code, x.request.sequence,
                   static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              x.received - log.front().received)
                                              .count()),
                   x.answer.code, x.answer.sequence, x.answer.payload_length,
                   x.answer_payload.size(), x.answer_compressed ? ", compressed" : "");
    }
    // Whether the link took the answer in (and the event went astray) or
    // never got it.
    ctx_.link().WithReceivedMessage([&](std::span<const std::byte> message) {
      if (message.size() < kHeaderBytes)
        return;
      const MessageHeader last = link::ReadHeader(message);
      std::fprintf(stderr,
                   "link receiving: %d; last message received: %u/%u, %zu bytes; event set: %d\n",
                   ctx_.link().receiving() ? 1 : 0, last.code, last.sequence, message.size(),
                   ctx_.response_event().IsSet() ? 1 : 0);
    });
    FUZZ_FAIL("an answer was sent but never taken");
  }

  // Runs the call against answers from data; the exchanges it made.
  // Throws Inconclusive when an answer came late (see below).
  template <typename Call>
  Log Exchanges(FuzzedDataProvider& data, Call call) {
    responder_.Begin(data);
    const auto start = std::chrono::steady_clock::now();
    call();
    if (std::chrono::steady_clock::now() - start >= kResponseTimeout)
      AnswerCameLate();
    return responder_.Finish();
  }

  // Every request gets a good frame at once, so a wait that ran out means
  // either a thread was not scheduled in time (a loaded machine) or the
  // answer was lost on the way in. A late answer still arrives and sets the
  // response event; a lost one never does.
  void AnswerCameLate() {
    auto& event = ctx_.response_event();
    const bool arrived = event.WaitFor(kLateAnswerLimit, event.InterruptTicket()) ==
                         link::ManualResetEvent::WaitResult::kSignalled;
    if (!arrived)
      ReportLostAnswer();
    // The late answer must not be taken by the next input's call.
    event.Reset();
    (void)responder_.Finish();
    ++late_answers_;
    throw Inconclusive{};
  }

  tools::PseudoTerminal pty_;
  Responder responder_{pty_.far_end()};
  link::CallContext ctx_{{.response_timeout = kResponseTimeout, .retry_count = 0}};
  std::filesystem::path folder_;
  std::filesystem::path pc_source_;
  std::filesystem::path pc_target_;
  std::vector<std::byte> source_data_;
  std::size_t late_answers_ = 0;
};

constexpr char16_t kPath[] = u"QMT:\\fuzz.txt";

// Calls answered by one u32 that they pass on, or their failure value.
void Harness::WordCall(FuzzedDataProvider& data, std::int32_t failure,
                       std::int32_t (*call)(link::CallContext&, const char16_t*, std::uint32_t)) {
  const auto value = data.ConsumeIntegral<std::uint32_t>();
  std::int32_t result = 0;
  const Log log = Exchanges(data, [&] { result = call(ctx_, kPath, value); });
  OneExchange(log);
  if (log[0].TakenWithLength(4)) {
    FUZZ_CHECK(result == static_cast<std::int32_t>(log[0].Word(0)));
  } else {
    FUZZ_CHECK(result == failure);
  }
}

// Calls that fill a caller's record with the whole payload.
void Harness::Record(FuzzedDataProvider& data, Command code, std::size_t size) {
  Guarded record(size);
  const auto value = data.ConsumeIntegral<std::uint32_t>();
  std::int32_t result = 0;
  const Log log = Exchanges(data, [&] {
    switch (code) {
      case Command::kGetVersion:
        result = api::GetVersion(ctx_, record.data());
        break;
      case Command::kGlobalMemoryStatus:
        result = api::GlobalMemoryStatus(ctx_, record.data());
        break;
      case Command::kGetSystemPowerStatus:
        result = api::GetSystemPowerStatus(ctx_, record.data());
        break;
      case Command::kGetStoreInformation:
        result = api::GetStoreInformation(ctx_, record.data(), value);
        break;
      default:
        result = api::GetSystemInfo(ctx_, record.data());
        break;
    }
  });
  OneExchange(log);
  FUZZ_CHECK(record.GuardsIntact());
  if (log[0].TakenWithLength(size)) {
    FUZZ_CHECK(result == 1);
    FUZZ_CHECK(std::ranges::equal(record.area(), log[0].answer_payload));
  } else {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(record.Untouched());
  }
}

void Harness::Find(FuzzedDataProvider& data, bool first) {
  Guarded record(120);
  std::int32_t result = 0;
  const Log log = Exchanges(data, [&] {
    result = first ? api::FindFirstFileW(ctx_, kPath, record.data())
                   : api::FindNextFile(ctx_, kHandle, record.data());
  });
  OneExchange(log);
  FUZZ_CHECK(record.GuardsIntact());
  if (log[0].TakenWithLength(124)) {
    const std::uint32_t word = log[0].Word(120);
    FUZZ_CHECK(result == (first && word == 0 ? -1 : static_cast<std::int32_t>(word)));
    FUZZ_CHECK(std::ranges::equal(record.area(), std::span(log[0].answer_payload).first(120)));
  } else {
    FUZZ_CHECK(result == (first ? -1 : 0));
    FUZZ_CHECK(record.Untouched());
  }
}

void Harness::Times(FuzzedDataProvider& data) {
  constexpr std::uint32_t kUnset = 0xA5A5A5A5;
  std::array<std::uint32_t, 3> times{kUnset, kUnset, kUnset};
  std::int32_t result = 0;
  const Log log = Exchanges(
      data, [&] { result = api::GetFileTime(ctx_, kHandle, &times[0], &times[1], &times[2]); });
  OneExchange(log);
  if (log[0].TakenWithLength(16)) {
    for (std::size_t i = 0; i < 3; ++i)
      FUZZ_CHECK(times[i] == log[0].Word(4 * i));
    FUZZ_CHECK(result == static_cast<std::int32_t>(log[0].Word(12)));
  } else {
    FUZZ_CHECK(result == 0);
    for (std::uint32_t t : times)
      FUZZ_CHECK(t == kUnset);
  }
}

void Harness::Reposition(FuzzedDataProvider& data) {
  constexpr std::uint32_t kUnset = 0xA5A5A5A5;
  std::uint32_t answer = kUnset;
  std::int32_t result = 0;
  const Log log =
      Exchanges(data, [&] { result = api::SetFilePosToPre(ctx_, kHandle, 7, &answer); });
  OneExchange(log);
  if (log[0].TakenWithLength(4)) {
    FUZZ_CHECK(result == 1 && answer == log[0].Word(0));
  } else {
    FUZZ_CHECK(result == 0 && answer == kUnset);
  }
}

// The data of a read-chunk answer that the exchange takes: it says it
// carries m bytes, m is no more than was asked, and the payload is 8 + m.
std::optional<std::span<const std::byte>> ChunkData(const Exchange& x) {
  if (!x.Taken() || x.answer_payload.size() < 8)
    return std::nullopt;
  const std::uint32_t asked = get_u32le(std::span(x.request_payload).subspan(4));
  const std::uint32_t m = x.Word(0);
  if (m > asked || x.answer_payload.size() != 8 + std::size_t{m})
    return std::nullopt;
  return std::span(x.answer_payload).subspan(4, m);
}

void Harness::Read(FuzzedDataProvider& data) {
  const auto count = data.ConsumeIntegralInRange<std::uint32_t>(0, 4 * kChunkBytes + 7);
  Guarded buffer(count);
  constexpr std::uint32_t kUnset = 0xA5A5A5A5;
  std::uint32_t read = kUnset;
  std::int32_t result = -1;
  const Log log =
      Exchanges(data, [&] { result = api::ReadFile(ctx_, kHandle, buffer.data(), count, &read); });
  FUZZ_CHECK(buffer.GuardsIntact());
  FUZZ_CHECK(result == 0 || result == 1);
  FUZZ_CHECK(read <= count);  // never more than asked
  if (result == 1)
    FUZZ_CHECK(read == count);
  // What the buffer reports as read is what the terminal sent, in order.
  std::vector<std::byte> sent;
  std::uint64_t asked_total = 0;
  for (const Exchange& x : log) {
    FUZZ_CHECK(x.request.code == static_cast<std::uint16_t>(Command::kReadChunk));
    const std::uint32_t asked = get_u32le(std::span(x.request_payload).subspan(4));
    FUZZ_CHECK(asked >= 1 && asked <= kChunkBytes);
    asked_total += asked;
    if (const auto chunk = ChunkData(x))
      sent.insert(sent.end(), chunk->begin(), chunk->end());
  }
  FUZZ_CHECK(asked_total <= count);
  FUZZ_CHECK(read <= sent.size());
  FUZZ_CHECK(std::equal(sent.begin(), sent.begin() + read, buffer.area().begin()));
  if (result == 1) {
    for (const Exchange& x : log)
      FUZZ_CHECK(ChunkData(x).has_value());
  }
}

void Harness::Write(FuzzedDataProvider& data) {
  const auto count = data.ConsumeIntegralInRange<std::uint32_t>(0, 4 * kChunkBytes + 7);
  std::vector<std::byte> source(count);
  for (std::size_t i = 0; i < source.size(); ++i)
    source[i] = static_cast<std::byte>(i * 7 + 3);
  std::uint32_t written = 0xA5A5A5A5;
  std::int32_t result = -1;
  const Log log = Exchanges(
      data, [&] { result = api::WriteFile(ctx_, kHandle, source.data(), count, &written); });
  FUZZ_CHECK(result == 0 || result == 1);
  FUZZ_CHECK(written <= count);
  if (result == 1)
    FUZZ_CHECK(written == count);
  // The chunks carry the caller's bytes, in order, and no byte twice.
  std::size_t at = 0;
  for (const Exchange& x : log) {
    FUZZ_CHECK(x.request.code == static_cast<std::uint16_t>(Command::kWriteChunk));
    const std::uint32_t size = get_u32le(std::span(x.request_payload).subspan(4));
    FUZZ_CHECK(size >= 1 && size <= kChunkBytes);
    FUZZ_CHECK(x.request_payload.size() == 8 + std::size_t{size});
    FUZZ_CHECK(at + size <= source.size());
    FUZZ_CHECK(std::equal(x.request_payload.begin() + 8, x.request_payload.end(),
                          source.begin() + static_cast<std::ptrdiff_t>(at)));
    at += size;
    if (result == 1)
      FUZZ_CHECK(x.TakenWithLength(8));
  }
  if (result == 1)
    FUZZ_CHECK(at == count);
}

// Terminal to PC: a copy reported done holds exactly the bytes the
// terminal sent, and an upload never changes anything on the terminal.
void Harness::Upload(FuzzedDataProvider& data) {
  std::error_code ignored;
  std::filesystem::remove(pc_target_, ignored);
  std::int32_t result = -1;
  const Log log =
      Exchanges(data, [&] { result = api::CopyFile(ctx_, "QMT:\\fuzz.bin", pc_target_.c_str()); });
  FUZZ_CHECK(result == 0 || result == 1);
  std::vector<std::byte> sent;
  std::optional<std::uint32_t> size;
  for (const Exchange& x : log) {
    switch (static_cast<Command>(x.request.code)) {
      case Command::kOpenFile:
      case Command::kCloseFile:
        break;
      case Command::kGetFileSize:
        if (x.TakenWithLength(4))
          size = x.Word(0);
        break;
      case Command::kReadChunk:
        if (const auto chunk = ChunkData(x))
          sent.insert(sent.end(), chunk->begin(), chunk->end());
        break;
      default:
        FUZZ_FAIL("an upload sent a request that changes the terminal");
    }
  }
  if (result == 1) {
    FUZZ_CHECK(size.has_value() && *size == sent.size());
    FUZZ_CHECK(ReadPcFile(pc_target_) == sent);
  }
}

// PC to terminal: a copy reported done sent every byte of the source once,
// in order, and each chunk was acknowledged.
void Harness::Download(FuzzedDataProvider& data) {
  const auto length = data.ConsumeIntegralInRange<std::size_t>(0, source_data_.size());
  std::ofstream(pc_source_, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(source_data_.data()),
             static_cast<std::streamsize>(length));
  std::int32_t result = -1;
  const Log log =
      Exchanges(data, [&] { result = api::CopyFile(ctx_, pc_source_.c_str(), "QMT:\\fuzz.bin"); });
  FUZZ_CHECK(result == 0 || result == 1);
  std::vector<std::byte> sent;
  for (const Exchange& x : log) {
    switch (static_cast<Command>(x.request.code)) {
      case Command::kCreateFile:
      case Command::kDeleteFile:
      case Command::kCloseFile:
        break;
      case Command::kWriteChunk:
        sent.insert(sent.end(), x.request_payload.begin() + 8, x.request_payload.end());
        if (result == 1)
          FUZZ_CHECK(x.TakenWithLength(8));
        break;
      default:
        FUZZ_FAIL("a download sent a request it has no use for");
    }
  }
  FUZZ_CHECK(sent.size() <= length);
  FUZZ_CHECK(std::equal(sent.begin(), sent.end(), source_data_.begin()));
  if (result == 1)
    FUZZ_CHECK(sent.size() == length);
}

std::int32_t CreateW(link::CallContext& ctx, const char16_t* path, std::uint32_t access) {
  return api::CreateFileW(ctx, path, access);
}
std::int32_t OpenW(link::CallContext& ctx, const char16_t* path, std::uint32_t mode) {
  return api::OpenFileW(ctx, path, mode);
}
std::int32_t SetAttributesW(link::CallContext& ctx, const char16_t* path, std::uint32_t value) {
  return api::SetFileAttributesW(ctx, path, value);
}
std::int32_t GetAttributesW(link::CallContext& ctx, const char16_t* path, std::uint32_t) {
  return api::GetFileAttributesW(ctx, path);
}
std::int32_t MakeDirectoryW(link::CallContext& ctx, const char16_t* path, std::uint32_t) {
  return api::CreateDirectoryW(ctx, path);
}
std::int32_t RemoveDirectoryW(link::CallContext& ctx, const char16_t* path, std::uint32_t) {
  return api::RemoveDirectoryW(ctx, path);
}
std::int32_t DeleteW(link::CallContext& ctx, const char16_t* path, std::uint32_t) {
  return api::DeleteFileW(ctx, path);
}
std::int32_t RingText(link::CallContext& ctx, const char16_t* text, std::uint32_t) {
  return api::RingW(ctx, text);
}
std::int32_t Close(link::CallContext& ctx, const char16_t*, std::uint32_t handle) {
  return api::CloseFile(ctx, handle);
}
std::int32_t FindCloseHandle(link::CallContext& ctx, const char16_t*, std::uint32_t handle) {
  return api::FindClose(ctx, handle);
}
std::int32_t SetEnd(link::CallContext& ctx, const char16_t*, std::uint32_t handle) {
  return api::SetEndOfFile(ctx, handle);
}
std::int32_t Size(link::CallContext& ctx, const char16_t*, std::uint32_t handle) {
  return api::GetFileSize(ctx, handle);
}
std::int32_t Seek(link::CallContext& ctx, const char16_t*, std::uint32_t distance) {
  return api::SetFilePointer(ctx, kHandle, static_cast<std::int32_t>(distance), 0);
}
std::int32_t SetTimes(link::CallContext& ctx, const char16_t*, std::uint32_t time) {
  return api::SetFileTime(ctx, kHandle, &time, nullptr, &time);
}

void Harness::Run(FuzzedDataProvider& data) {
  try {
    RunCall(data);
  } catch (const Inconclusive&) {
  }
}

void Harness::RunCall(FuzzedDataProvider& data) {
  ctx_.link().SetCompression(data.ConsumeBool() ? 1 : 0);
  switch (data.ConsumeIntegralInRange<int>(0, 25)) {
    case 0:
      Record(data, Command::kGetVersion, 12);
      break;
    case 1:
      Record(data, Command::kGlobalMemoryStatus, 12);
      break;
    case 2:
      Record(data, Command::kGetSystemPowerStatus, 24);
      break;
    case 3:
      Record(data, Command::kGetStoreInformation, 8);
      break;
    case 4:
      Record(data, Command::kGetSystemInfo, 80);
      break;
    case 5:
      Find(data, true);
      break;
    case 6:
      Find(data, false);
      break;
    case 7:
      WordCall(data, 0, FindCloseHandle);
      break;
    case 8:
      WordCall(data, -1, GetAttributesW);
      break;
    case 9:
      WordCall(data, 0, SetAttributesW);
      break;
    case 10:
      WordCall(data, -1, CreateW);
      break;
    case 11:
      WordCall(data, -1, OpenW);
      break;
    case 12:
      Read(data);
      break;
    case 13:
      Write(data);
      break;
    case 14:
      WordCall(data, 0, Close);
      break;
    case 15:
      WordCall(data, 0, Seek);
      break;
    case 16:
      WordCall(data, 0, SetEnd);
      break;
    case 17:
      WordCall(data, 0, MakeDirectoryW);
      break;
    case 18:
      WordCall(data, 0, RemoveDirectoryW);
      break;
    case 19:
      WordCall(data, 0, DeleteW);
      break;
    case 20:
      WordCall(data, 0, Size);
      break;
    case 21:
      Times(data);
      break;
    case 22:
      WordCall(data, 0, SetTimes);
      break;
    case 23:
      Reposition(data);
      break;
    case 24:
      WordCall(data, 0, RingText);
      break;
    default:
      if (data.ConsumeBool()) {
        Upload(data);
      } else {
        Download(data);
      }
      break;
  }
}

}  // namespace
}  // namespace vork::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static vork::fuzz::Harness harness;
  FuzzedDataProvider provider(data, size);
  harness.Run(provider);
  return 0;
}
