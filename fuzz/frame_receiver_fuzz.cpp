// The frame receiver against arbitrary byte streams cut into arbitrary reads.
//
// Input, first byte even: the raw mode. The rest is split into the stream
// and a read plan: the last P bytes (P = the first byte, clamped) are the
// plan, one read per byte (0: a read that brings nothing, as a stalled line
// does; n: the next n stream bytes). Bytes left when the plan runs out come
// in reads as large as the receiver takes.
//
// First byte odd: the frames mode. The input describes good frames with
// noise (bytes other than 0x02) between them and read sizes; every frame
// must come out, whole and in order, whatever the read boundaries.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "compression.h"
#include "frame_check.h"
#include "frame_codec.h"
#include "fuzz_check.h"
#include "wire.h"

namespace vork::fuzz {
namespace {

using link::ByteSource;
using link::FrameReceiver;
using link::kMaxMessageBytes;

// Hands out the stream in reads whose sizes the plan decides.
class PlannedSource final : public ByteSource {
 public:
  PlannedSource(std::span<const std::uint8_t> stream, std::vector<std::size_t> plan)
      : stream_(stream), plan_(std::move(plan)) {}

  std::size_t ReadMore(std::span<std::byte> into) override {
    std::size_t want = into.size();
    if (next_read_ < plan_.size())
      want = std::min(want, plan_[next_read_++]);
    want = std::min(want, stream_.size() - at_);
    std::copy_n(reinterpret_cast<const std::byte*>(stream_.data() + at_), want, into.data());
    at_ += want;
    read_bytes_ += want;
    return want;
  }

  [[nodiscard]] bool Finished() const {
    return at_ == stream_.size() && next_read_ >= plan_.size();
  }
  [[nodiscard]] std::size_t read_bytes() const { return read_bytes_; }

 private:
  std::span<const std::uint8_t> stream_;
  std::vector<std::size_t> plan_;
  std::size_t next_read_ = 0;
  std::size_t at_ = 0;
  std::size_t read_bytes_ = 0;
};

// Drives a receiver the way the link's receiver thread does: a first read
// when nothing is buffered, then frames until the buffered bytes are used.
template <typename OnMessage>
void ReceiveAll(PlannedSource& source, FrameReceiver& receiver, OnMessage on_message) {
  while (true) {
    if (!receiver.HasBufferedBytes()) {
      if (source.Finished())
        return;
      const std::size_t got = source.ReadMore(receiver.RawArea());
      if (got == 0)
        continue;
      FUZZ_CHECK(got <= receiver.RawArea().size());
      receiver.Accept(got);
    }
    if (receiver.ReceiveFrame()) {
      on_message(receiver.message(), receiver.was_compressed());
    } else {
      FUZZ_CHECK(receiver.message().empty());  // a bad frame leaves no message behind
    }
  }
}

void RawMode(std::span<const std::uint8_t> input) {
  const std::size_t plan_bytes = std::min<std::size_t>(input[0], input.size() - 1);
  const auto stream = input.subspan(1, input.size() - 1 - plan_bytes);
  const auto plan_area = input.last(plan_bytes);
  PlannedSource source(stream, {plan_area.begin(), plan_area.end()});
  FrameReceiver receiver(source);
  std::size_t messages = 0;
  ReceiveAll(source, receiver, [&](std::span<const std::byte> message, bool compressed) {
    ++messages;
    CheckAcceptedMessage(message, compressed);
  });
  // Every message needs at least a start byte, two length bytes, one body
  // byte and the check: nothing is made up from fewer bytes.
  FUZZ_CHECK(messages * 5 <= source.read_bytes());
}

std::vector<std::byte> Noise(FuzzedDataProvider& data) {
  auto bytes = data.ConsumeBytes<std::byte>(data.ConsumeIntegralInRange<std::size_t>(0, 24));
  // Anything but a start byte: noise between frames must never hide one.
  for (std::byte& b : bytes) {
    if (b == link::kStartByte)
      b = std::byte{0x03};
  }
  return bytes;
}

void FramesMode(std::span<const std::uint8_t> input) {
  FuzzedDataProvider data(input.data() + 1, input.size() - 1);
  link::Compressor compressor;
  std::vector<std::vector<std::byte>> sent;
  std::vector<std::uint8_t> stream;
  std::array<std::byte, kMaxEscapedFrameBytes> frame{};
  auto append = [&stream](std::span<const std::byte> bytes) {
    for (std::byte b : bytes)
      stream.push_back(std::to_integer<std::uint8_t>(b));
  };
  const std::size_t frames = data.ConsumeIntegralInRange<std::size_t>(0, 6);
  for (std::size_t i = 0; i < frames; ++i) {
    append(Noise(data));
    const bool compress = data.ConsumeBool();
    const std::size_t length = data.ConsumeIntegralInRange<std::size_t>(1, kMaxMessageBytes);
    auto message = data.ConsumeBytes<std::byte>(length);
    if (message.empty())
      break;
    std::array<std::byte, kMaxMessageBytes> body_area{};
    std::span<const std::byte> body = message;
    if (compress) {
      const std::size_t n = compressor.CompressBody(message, body_area);
      if (n == 0)
        continue;
      body = std::span(body_area).first(n);
    } else if (message[0] == std::byte{0x78}) {
      // A plain body never starts like a zlib stream.
      message[0] = std::byte{0x11};
    }
    const std::size_t n = link::BuildFrame(body, frame);
    FUZZ_CHECK(n > 0);
    append(std::span(frame).first(n));
    sent.push_back(std::move(message));
  }
  append(Noise(data));
  std::vector<std::size_t> plan;
  while (data.remaining_bytes() > 0)
    plan.push_back(data.ConsumeIntegralInRange<std::size_t>(1, 255));

  PlannedSource source(stream, std::move(plan));
  FrameReceiver receiver(source);
  std::size_t received = 0;
  ReceiveAll(source, receiver, [&](std::span<const std::byte> message, bool) {
    FUZZ_CHECK(received < sent.size());
    FUZZ_CHECK(std::ranges::equal(message, sent[received]));
    ++received;
  });
  FUZZ_CHECK(received == sent.size());
}

}  // namespace
}  // namespace vork::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::span<const std::uint8_t> input(data, size);
  if ((input[0] & 1) == 0) {
    vork::fuzz::RawMode(input);
  } else {
    vork::fuzz::FramesMode(input);
  }
  return 0;
}
