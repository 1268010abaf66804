// What must hold for every message that a frame receiver accepts.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

#include "compression.h"
#include "frame_codec.h"
#include "fuzz_check.h"
#include "wire.h"

namespace vork::fuzz {

// The longest frame on the wire: start byte, then the two length bytes, a
// 2048-byte body and the check, each escaped.
inline constexpr std::size_t kMaxEscapedFrameBytes = 1 + 2 * (2 + link::kMaxMessageBytes + 1);

// Serves one byte string, in reads as large as the receiver takes.
class OneShotSource final : public link::ByteSource {
 public:
  explicit OneShotSource(std::span<const std::byte> bytes) : bytes_(bytes) {}
  std::size_t ReadMore(std::span<std::byte> into) override {
    const std::size_t n = std::min(into.size(), bytes_.size());
    std::copy_n(bytes_.data(), n, into.data());
    bytes_ = bytes_.subspan(n);
    return n;
  }

 private:
  std::span<const std::byte> bytes_;
};

// Receives exactly one frame from a fresh receiver; true when it was good.
inline bool ReceiveOne(link::FrameReceiver& receiver, OneShotSource& source) {
  const std::size_t got = source.ReadMore(receiver.RawArea());
  receiver.Accept(got);
  return receiver.ReceiveFrame();
}

// A message is never empty or longer than the message area; a plain one
// never looks compressed; and framed again (compressed again when it came
// compressed) it reads back as the same message.
inline void CheckAcceptedMessage(std::span<const std::byte> message, bool compressed) {
  FUZZ_CHECK(!message.empty());
  FUZZ_CHECK(message.size() <= link::kMaxMessageBytes);
  if (!compressed)
    FUZZ_CHECK(message[0] != std::byte{0x78});

  std::array<std::byte, link::kMaxMessageBytes> body_area{};
  std::span<const std::byte> body = message;
  if (compressed) {
    static link::Compressor compressor;
    const std::size_t n = compressor.CompressBody(message, body_area);
    if (n == 0)
      return;  // its compressed form would not fit a frame
    body = std::span(body_area).first(n);
  }
  std::array<std::byte, kMaxEscapedFrameBytes> frame{};
  const std::size_t frame_length = link::BuildFrame(body, frame);
  FUZZ_CHECK(frame_length >= 4 + body.size());
  FUZZ_CHECK(frame_length <= 7 + 2 * body.size());
  const auto framed = std::span(frame).first(frame_length);
  // Only the start byte travels bare.
  FUZZ_CHECK(std::count(framed.begin(), framed.end(), link::kStartByte) == 1);

  OneShotSource source(framed);
  link::FrameReceiver again(source);
  FUZZ_CHECK(ReceiveOne(again, source));
  FUZZ_CHECK(again.was_compressed() == compressed);
  FUZZ_CHECK(std::ranges::equal(again.message(), message));
  FUZZ_CHECK(!again.HasBufferedBytes());
}

}  // namespace vork::fuzz
