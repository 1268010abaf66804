// Message compression: one complete zlib stream per message.
//
// CompressBody deflates a whole message at level 6 with a 15-bit window, so
// the stream starts 78 9C; DecompressBody inflates one body. Each works in a
// single call into a 4096-byte window: a stream whose output would be
// longer never finishes and yields no result. The zlib state is kept between
// messages and reset before each one, which gives the same bytes as a fresh
// state per message without its set-up cost. One object per thread: the
// caller's thread owns the compressor, the receiver thread the decompressor.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

namespace vork::link {

inline constexpr std::size_t kCompressionWindowBytes = 4096;
inline constexpr int kCompressionLevel = 6;

class Compressor {
 public:
  explicit Compressor(int level = kCompressionLevel);
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // Writes the zlib stream of input into out and returns its length, or 0
  // when there is no result (empty input, no memory, or more than
  // kCompressionWindowBytes or out.size() of output).
  [[nodiscard]] std::size_t CompressBody(std::span<const std::byte> input, std::span<std::byte> out);

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
  int level_;
};

class Decompressor {
 public:
  Decompressor();
  ~Decompressor();
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;

  // Inflates one complete zlib stream (Adler-32 checked) into out and
  // returns its length, or 0 when there is no result (corrupt or unfinished
  // stream, empty input or output, more than kCompressionWindowBytes or
  // out.size() bytes).
  [[nodiscard]] std::size_t DecompressBody(std::span<const std::byte> input, std::span<std::byte> out);

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
};

}  // namespace vork::link
