// The terminal on the far end of a serial line: reads framed requests,
// answers them through a TerminalService, and can misbehave on purpose.
//
// The simulator owns the line descriptor and one thread that serves it.
// Other threads talk to it through the public calls, which are all
// thread-safe: add faults, read the log of requests, send a one-key request.
//
// Faults pick their requests by number (the n-th request received, from 1)
// or by command code (every one, or its k-th occurrence), and change what
// happens to the answer:
//   drop         the request is carried out, the answer is never sent
//   ignore       the request is neither carried out nor answered
//   wronglen[=L] the answer's payload has length L (default: one byte more)
//   bodylen=D    the header is right but the body carries D bytes more (or
//                fewer, D < 0) than it says
//   stale[=MS]   an answer with the previous sequence number goes first,
//                the right one MS ms after it (default: at once)
//   late=MS      the answer leaves MS milliseconds late
//   split=MS     the answer frame is written in two parts, MS ms apart
//   noise=N      N bytes of noise (never 0x02) go before the answer frame
//   claim=M      a read-chunk answer says it carries M data bytes (and does)
// Text form: KIND[=VALUE](@N | :code=C[#K] | @*), e.g. "drop@3",
// "late=6000:code=0#1", "ignore:code=0" (every version request).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "signals.h"
#include "unique_fd.h"

namespace vork::termsim {

enum class AnswerCompression { kMirror, kNever, kAlways };

struct Fault {
  enum class Kind {
    kDrop, kIgnore, kWrongLength, kBodyLength, kStale, kLate, kSplit, kNoise, kClaim
  };
  Kind kind = Kind::kDrop;
  int value = -1;                     // see the kinds above; -1: the default
  std::uint32_t request_number = 0;   // n-th request; 0: select by code
  int code = -1;                      // with request_number 0; -1: every request
  std::uint32_t occurrence = 0;       // k-th request with the code; 0: every one

  [[nodiscard]] bool Matches(std::uint32_t number, std::uint16_t request_code,
                             std::uint32_t occurrence_of_code) const;
};

// Parses the text form; nothing when it is malformed.
[[nodiscard]] std::optional<Fault> ParseFault(std::string_view text);

struct LoggedRequest {
  std::uint16_t code = 0;
  std::uint16_t sequence = 0;
  bool compressed = false;
  std::vector<std::byte> payload;
};

class Simulator {
 public:
  struct Options {
    std::filesystem::path root;
    AnswerCompression compression = AnswerCompression::kMirror;
    // Called on the serving thread when the line fails for good (the device
    // hung up or went away); the simulator stops serving then.
    std::function<void()> on_line_lost = {};
  };

  explicit Simulator(Options options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Starts serving the line on the simulator's thread.
  void Start(link::UniqueFd line);
  // Ends the thread; the line is closed.
  void Stop();

  void AddFault(const Fault& fault);
  void ClearFaults();

  [[nodiscard]] std::vector<LoggedRequest> Requests() const;
  // Forgets the requests logged so far; faults count requests from here on.
  void ClearLog();
  // Waits until at least `count` requests have been logged.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  // Raw bytes read from the line so far, framed or not.
  [[nodiscard]] std::uint64_t bytes_received() const;
  [[nodiscard]] std::vector<std::string> Rings() const;
  // Files and searches the terminal holds open.
  [[nodiscard]] std::size_t OpenHandles() const;

  // Writes text raw on the line and waits up to timeout for the reply "ok";
  // no frames are read meanwhile.
  bool SendOneKeyRequest(std::string_view text, std::chrono::milliseconds timeout);
  // Writes bytes raw on the line (a broken terminal, say).
  void SendRaw(std::span<const std::byte> bytes);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vork::termsim
