// Decompression of arbitrary bodies, with one decompressor kept across
// inputs as the receiver thread keeps its own.
//
// Input: the first byte picks the room the caller gives (the receiver's
// 2048 bytes, the full window, more than the window, or a small room); the
// rest is the body. zlib's own one-shot inflate, with room to spare, is the
// reference for what the body holds.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "compression.h"
#include "fuzz_check.h"
#include "wire.h"

namespace vork::fuzz {
namespace {

constexpr std::byte kGuard{0xA5};
constexpr std::size_t kGuardBytes = 64;
// Enough to see whether a stream ends within the window, and by how much
// it overshoots when it does not.
constexpr std::size_t kReferenceRoom = 64 * 1024;

struct Reference {
  bool complete = false;        // the stream ended (Adler-32 checked) within kReferenceRoom
  std::vector<std::byte> data;  // what it holds
};

Reference Inflate(std::span<const std::uint8_t> body) {
  Reference result;
  z_stream z{};
  if (inflateInit2(&z, 15) != Z_OK)
    return result;
  result.data.resize(kReferenceRoom);
  z.next_in = const_cast<Bytef*>(body.data());
  z.avail_in = static_cast<uInt>(body.size());
  z.next_out = reinterpret_cast<Bytef*>(result.data.data());
  z.avail_out = static_cast<uInt>(kReferenceRoom);
  result.complete = inflate(&z, Z_FINISH) == Z_STREAM_END;
  result.data.resize(kReferenceRoom - z.avail_out);
  inflateEnd(&z);
  return result;
}

std::size_t Room(std::uint8_t choice) {
  switch (choice % 4) {
    case 0:
      return link::kMaxMessageBytes;
    case 1:
      return link::kCompressionWindowBytes;
    case 2:
      return link::kCompressionWindowBytes + 100;
    default:
      return choice / 4u;  // 0 to 63 bytes
  }
}

void CheckBody(link::Decompressor& decompressor, std::span<const std::uint8_t> body,
               std::size_t room) {
  std::vector<std::byte> out(room + kGuardBytes, kGuard);
  const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(body.data()),
                                         body.size());
  const std::size_t n = decompressor.DecompressBody(input, std::span(out).first(room));
  const std::size_t bound = std::min(room, link::kCompressionWindowBytes);
  FUZZ_CHECK(n <= bound);
  // Nothing written past the bound, whatever the stream says.
  FUZZ_CHECK(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(bound), out.end(),
                         [](std::byte b) { return b == kGuard; }));

  const Reference reference = Inflate(body);
  const bool fits = reference.complete && !reference.data.empty() && reference.data.size() <= bound;
  if (fits) {
    FUZZ_CHECK(n == reference.data.size());
    FUZZ_CHECK(std::equal(reference.data.begin(), reference.data.end(), out.begin()));
  } else {
    // Corrupt, unfinished, empty, or too long for the room: no result.
    FUZZ_CHECK(n == 0);
  }
}

// Whatever is compressed comes back byte for byte.
void CheckRoundTrip(link::Decompressor& decompressor, std::span<const std::uint8_t> plain) {
  if (plain.empty() || plain.size() > link::kMaxMessageBytes)
    return;
  static link::Compressor compressor;
  const std::span<const std::byte> message(reinterpret_cast<const std::byte*>(plain.data()),
                                           plain.size());
  std::array<std::byte, link::kMaxMessageBytes> body{};
  const std::size_t n = compressor.CompressBody(message, body);
  if (n == 0)
    return;  // does not shrink enough to fit a frame body
  FUZZ_CHECK(body[0] == std::byte{0x78} && body[1] == std::byte{0x9C});
  std::array<std::byte, link::kMaxMessageBytes> back{};
  FUZZ_CHECK(decompressor.DecompressBody(std::span(body).first(n), back) == plain.size());
  FUZZ_CHECK(std::ranges::equal(std::span(back).first(plain.size()), message));
}

}  // namespace
}  // namespace vork::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  static vork::link::Decompressor decompressor;
  const std::span<const std::uint8_t> body(data + 1, size - 1);
  vork::fuzz::CheckBody(decompressor, body, vork::fuzz::Room(data[0]));
  vork::fuzz::CheckRoundTrip(decompressor, body);
  return 0;
}
