// Request/response exchange and the call context.
//
// Every remote operation is one exchange: a request message (type 0x10, the
// command code, the next sequence number, the payload) and the terminal's
// response (type 0x11, code and sequence number echoed). The CallContext is
// the process-wide state of those exchanges: the link, the two events the
// receiver sets, the sequence counter and the last accepted payload.
//
// Transact() is the attempt loop that every call goes through: up to
// 1 + retry count attempts, each a fresh request; a time-out or a response
// for another code or sequence number leads to the next attempt; a matching
// response whose payload the call does not accept ends the call at once.
//
// Threads: the request side (BeginRequest, WaitResponse, Transact) belongs to
// whoever holds call_mutex(); the receiver thread only signals. A closing
// link interrupts a wait at once: no response can come on a closed link.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <span>

#include "function_ref.h"
#include "link.h"
#include "signals.h"
#include "wire.h"

namespace vork::link {

struct ExchangeTiming {
  std::chrono::milliseconds response_timeout{5000};
  int retry_count = 3;
};

// Command codes of the remote operations.
enum class Command : std::uint16_t {
  kGetVersion = 0,
  kGlobalMemoryStatus = 1,
  kGetSystemPowerStatus = 2,
  kGetStoreInformation = 3,
  kGetSystemInfo = 4,
  kFindFirstFile = 5,
  kFindNextFile = 6,
  kFindClose = 7,
  kGetFileAttributes = 8,
  kSetFileAttributes = 9,
  kCreateFile = 10,
  kOpenFile = 11,
  kReadChunk = 12,
  kWriteChunk = 13,
  kCloseFile = 14,
  kSetFilePointer = 15,
  kSetEndOfFile = 16,
  kCreateDirectory = 17,
  kRemoveDirectory = 18,
  kDeleteFile = 19,
  kGetFileSize = 20,
  kGetFileTime = 21,
  kSetFileTime = 22,
  kSetFilePosToPre = 23,
  kRing = 24,
};

class CallContext final : public LinkOwner {
 public:
  explicit CallContext(ExchangeTiming timing = {});
  ~CallContext();
  CallContext(const CallContext&) = delete;
  CallContext& operator=(const CallContext&) = delete;

  [[nodiscard]] Link& link() { return link_; }
  [[nodiscard]] const ExchangeTiming& timing() const { return timing_; }
  // Held by every exported call for its whole run; recursive so that a call
  // may use another (an 8-bit form its wide form, a copy the file calls).
  [[nodiscard]] std::recursive_mutex& call_mutex() { return call_mutex_; }

  // Clears the transmit message, writes type, code and the next sequence
  // number. The payload length stays 0 until the caller sets it.
  void BeginRequest(Command code);
  // Waits up to the response time-out for a response; takes it over when it
  // echoes the expected code and the current sequence number, carries at
  // most 2041 payload bytes and its body is exactly 7 + that many bytes.
  [[nodiscard]] bool WaitResponse();
  // The sequence counter as it stands: the value whose low 16 bits the most
  // recent request carried.
  [[nodiscard]] std::uint32_t CurrentSequence() const { return sequence_counter_; }
  [[nodiscard]] std::span<const std::byte> response_payload() const {
    return {response_payload_.data(), response_payload_length_};
  }

  [[nodiscard]] ManualResetEvent& request_event() { return request_event_; }
  [[nodiscard]] ManualResetEvent& response_event() { return response_event_; }

  // Test seam: where the counter stands before the next request.
  void set_sequence_counter(std::uint32_t value) { sequence_counter_ = value; }

 private:
  void SignalMessage() override;
  void LinkStopped() override;

  // Declared before the link so that they outlive its receiver thread.
  ManualResetEvent request_event_;
  ManualResetEvent response_event_;
  std::recursive_mutex call_mutex_;
  ExchangeTiming timing_;
  Link link_{*this};
  std::uint16_t expected_code_ = 0;
  std::uint32_t sequence_counter_ = 0;
  std::size_t response_payload_length_ = 0;
  std::array<std::byte, kMaxMessageBytes> response_payload_{};
};

enum class Outcome {
  kAccepted,     // a matching response that the call accepts
  kWrongLength,  // a matching response that the call refuses: failed at once
  kNoResponse,   // every attempt timed out or was answered by a mismatch
  kStopped,      // the retry hook refused to go on, or nothing could be sent
};

// The request payload: pieces sent one after the other, unchanged on every
// attempt (the write chunk's header and its data, say).
using PayloadPieces = std::initializer_list<std::span<const std::byte>>;

// The attempt loop. `accepts` judges the payload of a matching response;
// `before_retry`, when given, runs before every attempt after the first and
// ends the loop with kStopped when it returns false. On kAccepted the
// payload is in ctx.response_payload().
[[nodiscard]] Outcome Transact(CallContext& ctx, Command code, PayloadPieces payload,
                               FunctionRef<bool(std::span<const std::byte>)> accepts,
                               FunctionRef<bool()> before_retry);
[[nodiscard]] Outcome Transact(CallContext& ctx, Command code, PayloadPieces payload,
                               FunctionRef<bool(std::span<const std::byte>)> accepts);

// An acceptance rule for responses of one exact payload length.
[[nodiscard]] inline auto ExactLength(std::size_t length) {
  return [length](std::span<const std::byte> payload) { return payload.size() == length; };
}

}  // namespace vork::link
