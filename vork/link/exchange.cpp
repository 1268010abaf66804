#include "exchange.h"

#include <cstring>

namespace vork::link {

CallContext::CallContext(ExchangeTiming timing) : timing_(timing) {}

CallContext::~CallContext() {
  // The receiver must be gone before the events it sets.
  link_.ClosePort();
}

void CallContext::BeginRequest(Command code) {
  auto message = link_.transmit_message();
  std::memset(message.data(), 0, message.size());
  expected_code_ = static_cast<std::uint16_t>(code);
  ++sequence_counter_;
  WriteHeader(message, {kTypeRequest, expected_code_,
                        static_cast<std::uint16_t>(sequence_counter_ & 0xFFFF), 0});
}

bool CallContext::WaitResponse() {
  const auto ticket = response_event_.InterruptTicket();
  if (!link_.receiving() && !link_.half_open()) return false;
  if (response_event_.WaitFor(timing_.response_timeout, ticket) !=
      ManualResetEvent::WaitResult::kSignalled) {
    return false;
  }
  response_event_.Reset();
  return link_.WithReceivedMessage([&](std::span<const std::byte> message) {
    if (message.size() < kHeaderBytes) return false;
    const MessageHeader header = ReadHeader(message);
    if (header.code != expected_code_) return false;
    if (header.sequence != static_cast<std::uint16_t>(sequence_counter_ & 0xFFFF)) return false;
    if (header.payload_length > kMaxPayloadBytes) return false;
    // The payload length field must describe the body that carried it.
    if (message.size() != kHeaderBytes + header.payload_length) return false;
    std::memset(response_payload_.data(), 0, response_payload_.size());
    std::memcpy(response_payload_.data(), message.data() + kHeaderBytes, header.payload_length);
    response_payload_length_ = header.payload_length;
    return true;
  });
}

void CallContext::SignalMessage() {
  const std::byte type = link_.WithReceivedMessage([](std::span<const std::byte> message) {
    return message.empty() ? std::byte{0} : message[0];
  });
  if (type == kTypeRequest) request_event_.Set();
  if (type == kTypeResponse) response_event_.Set();
}

void CallContext::LinkStopped() { response_event_.Interrupt(); }

Outcome Transact(CallContext& ctx, Command code, PayloadPieces payload,
                 FunctionRef<bool(std::span<const std::byte>)> accepts,
                 FunctionRef<bool()> before_retry) {
  const int retry_count = ctx.timing().retry_count;
  if (retry_count < 0) return Outcome::kStopped;
  std::size_t payload_length = 0;
  for (auto piece : payload) payload_length += piece.size();
  if (payload_length > kMaxPayloadBytes) return Outcome::kStopped;

  for (int attempt = 0; attempt <= retry_count; ++attempt) {
    if (attempt > 0 && !before_retry()) return Outcome::kStopped;
    ctx.BeginRequest(code);
    auto message = ctx.link().transmit_message();
    std::size_t at = kHeaderBytes;
    for (auto piece : payload) {
      if (piece.empty()) continue;
      std::memcpy(message.data() + at, piece.data(), piece.size());
      at += piece.size();
    }
    put_u16le(message.subspan(5), static_cast<std::uint16_t>(payload_length));
    ctx.link().set_transmit_message_length(at);
    // A lost request shows up as a missing response.
    (void)ctx.link().SendFrame();
    if (ctx.WaitResponse()) {
      return accepts(ctx.response_payload()) ? Outcome::kAccepted : Outcome::kWrongLength;
    }
  }
  return Outcome::kNoResponse;
}

Outcome Transact(CallContext& ctx, Command code, PayloadPieces payload,
                 FunctionRef<bool(std::span<const std::byte>)> accepts) {
  return Transact(ctx, code, payload, accepts, [] { return true; });
}

}  // namespace vork::link
