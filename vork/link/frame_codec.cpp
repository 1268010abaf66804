#include "frame_codec.h"

#include <algorithm>
#include <cstring>

namespace vork::link {

namespace {

constexpr std::byte kCompressedMark{0x78};

bool MustEscape(std::byte value) {
  switch (std::to_integer<unsigned>(value)) {
    case 0x02:
    case 0x0A:
    case 0x0D:
    case 0x1B:
    case 0x7E:
      return true;
    default:
      return false;
  }
}

constexpr std::byte kEscapeFlip{0x20};

}  // namespace

int EscapeByte(std::byte* destination, std::byte value) {
  if (MustEscape(value)) {
    destination[0] = kEscapePrefix;
    destination[1] = value ^ kEscapeFlip;
    return 1;
  }
  destination[0] = value;
  return 0;
}

std::size_t BuildFrame(std::span<const std::byte> body, std::span<std::byte> frame) {
  if (body.size() > kMaxMessageBytes || frame.empty()) return 0;
  std::size_t at = 0;
  auto put = [&](std::byte value) {
    const std::size_t need = MustEscape(value) ? 2 : 1;
    if (frame.size() - at < need) return false;
    at += 1 + static_cast<std::size_t>(EscapeByte(frame.data() + at, value));
    return true;
  };
  frame[at++] = kStartByte;
  const auto lo = static_cast<std::byte>(body.size() & 0xFF);
  const auto hi = static_cast<std::byte>(body.size() >> 8);
  std::byte check = ~lo ^ hi;
  if (!put(lo) || !put(hi)) return 0;
  for (std::byte value : body) {
    check ^= value;
    if (!put(value)) return 0;
  }
  return put(check) ? at : 0;
}

bool FrameReceiver::TakeRaw(std::byte& out) {
  if (index_ >= count_) {
    index_ = count_ = 0;
    const std::size_t got = source_.ReadMore({raw_.data(), kReadLimitBytes});
    if (got == 0) return false;
    count_ = std::min(got, kReadLimitBytes);
  }
  out = raw_[index_++];
  return true;
}

bool FrameReceiver::NextFrameByte(std::byte& out) {
  std::byte value{};
  if (!TakeRaw(value) || value == kStartByte) return false;
  if (value == kEscapePrefix) {
    // Whatever follows the escape byte is data, even a 0x02.
    if (!TakeRaw(value)) return false;
    value ^= kEscapeFlip;
  }
  out = value;
  return true;
}

bool FrameReceiver::ReceiveFrame() {
  length_ = 0;
  compressed_ = false;
  // Hunt for the start byte among the bytes at hand only.
  for (;;) {
    if (index_ >= count_) {
      Discard();
      return false;
    }
    if (raw_[index_++] == kStartByte) break;
  }
  std::byte lo{}, hi{};
  if (!NextFrameByte(lo) || !NextFrameByte(hi)) return false;
  const std::size_t body_length =
      std::to_integer<std::size_t>(lo) | (std::to_integer<std::size_t>(hi) << 8);
  if (body_length > kMaxMessageBytes) return false;  // refused before any body byte is read
  std::byte check = ~lo ^ hi;
  for (std::size_t i = 0; i < body_length; ++i) {
    std::byte value{};
    if (!NextFrameByte(value)) return false;
    check ^= value;
    message_[i] = value;
  }
  std::byte sent_check{};
  if (!NextFrameByte(sent_check) || sent_check != check) return false;
  // An empty body carries no message.
  if (body_length == 0) return false;
  if (message_[0] == kCompressedMark) {
    const std::size_t inflated =
        decompressor_.DecompressBody({message_.data(), body_length}, inflated_);
    if (inflated == 0) return false;
    std::memcpy(message_.data(), inflated_.data(), inflated);
    length_ = inflated;
    compressed_ = true;
    return true;
  }
  length_ = body_length;
  return true;
}

}  // namespace vork::link
