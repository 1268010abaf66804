// Frames: start byte 0x02, u16 little-endian body length (at most 2048), the
// body, and a check byte = NOT(length low) XOR length high XOR every body
// byte. After the start byte, 0x02, 0x0A, 0x0D, 0x1B and 0x7E travel as 0x7E
// followed by the value with bit 0x20 inverted, so a bare 0x02 always starts
// a frame. A body whose first byte is 0x78 is a zlib stream of the message.
//
// Sending is a pure function (BuildFrame); receiving is FrameReceiver, which
// pulls bytes from a ByteSource and treats every one of them as hostile:
// lengths are checked before anything is stored, nothing is written past its
// area, and a bad frame leaves no message behind.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "compression.h"
#include "wire.h"

namespace vork::link {

inline constexpr std::byte kStartByte{0x02};
inline constexpr std::byte kEscapePrefix{0x7E};
inline constexpr std::size_t kFrameAreaBytes = 4096;
inline constexpr std::size_t kRawReceiveBytes = 4096;
inline constexpr std::size_t kReadLimitBytes = 4095;  // bytes taken by one read

// Writes value at destination, escaped when it must be. Returns 1 when it
// wrote two bytes, 0 when it wrote one; the caller advances by 1 + result.
int EscapeByte(std::byte* destination, std::byte value);

// Frames body into frame and returns the frame length, or 0 when the body is
// longer than kMaxMessageBytes or the escaped frame does not fit.
[[nodiscard]] std::size_t BuildFrame(std::span<const std::byte> body, std::span<std::byte> frame);

// Where a receiver gets its bytes from. ReadMore waits a bounded time for
// bytes to arrive inside a frame and returns how many it put into `into`
// (at most into.size()); 0 means the frame has stalled or the source stopped.
class ByteSource {
 public:
  virtual std::size_t ReadMore(std::span<std::byte> into) = 0;

 protected:
  ~ByteSource() = default;
};

class FrameReceiver {
 public:
  explicit FrameReceiver(ByteSource& source) : source_(source) {}

  // The raw area, for the first read of a frame after the owner's own wait;
  // Accept() says how many bytes that read placed there.
  [[nodiscard]] std::span<std::byte> RawArea() { return {raw_.data(), kReadLimitBytes}; }
  void Accept(std::size_t count) {
    index_ = 0;
    count_ = count;
  }
  [[nodiscard]] bool HasBufferedBytes() const { return index_ < count_; }
  void Discard() { index_ = count_ = 0; }

  // Reads one frame, starting at the first unread byte: skips bytes before a
  // start byte, reads more from the source while the frame goes on, checks
  // and, for a body starting 0x78, decompresses it. True when message()
  // holds a good non-empty message; bytes after the frame stay buffered.
  [[nodiscard]] bool ReceiveFrame();
  [[nodiscard]] std::span<const std::byte> message() const { return {message_.data(), length_}; }
  // Whether the last good frame carried a compressed body.
  [[nodiscard]] bool was_compressed() const { return compressed_; }

 private:
  // One unescaped byte of the frame; false when a bare start byte comes or
  // no more bytes arrive.
  [[nodiscard]] bool NextFrameByte(std::byte& out);
  [[nodiscard]] bool TakeRaw(std::byte& out);

  ByteSource& source_;
  std::array<std::byte, kRawReceiveBytes> raw_{};
  std::size_t index_ = 0;
  std::size_t count_ = 0;
  std::array<std::byte, kMaxMessageBytes> message_{};
  std::size_t length_ = 0;
  bool compressed_ = false;
  std::array<std::byte, kMaxMessageBytes> inflated_{};
  Decompressor decompressor_;
};

}  // namespace vork::link
