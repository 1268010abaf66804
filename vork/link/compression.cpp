#include "compression.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace vork::link {

namespace {

Bytef* In(std::span<const std::byte> bytes) {
  // zlib's input pointer is not const-qualified; it never writes through it.
  return const_cast<Bytef*>(reinterpret_cast<const Bytef*>(bytes.data()));
}

}  // namespace

struct Compressor::Stream {
  z_stream z{};
  bool ready = false;
  std::array<std::byte, kCompressionWindowBytes> window{};
  ~Stream() {
    if (ready) deflateEnd(&z);
  }
};

Compressor::Compressor(int level) : stream_(std::make_unique<Stream>()), level_(level) {}
Compressor::~Compressor() = default;

std::size_t Compressor::CompressBody(std::span<const std::byte> input, std::span<std::byte> out) {
  if (input.empty()) return 0;
  Stream& s = *stream_;
  if (s.ready) {
    if (deflateReset(&s.z) != Z_OK) return 0;
  } else {
    s.z = z_stream{};
    if (deflateInit2(&s.z, level_, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
    s.ready = true;
  }
  s.z.next_in = In(input);
  s.z.avail_in = static_cast<uInt>(input.size());
  s.z.next_out = reinterpret_cast<Bytef*>(s.window.data());
  s.z.avail_out = static_cast<uInt>(s.window.size());
  if (deflate(&s.z, Z_FINISH) != Z_STREAM_END) return 0;
  const std::size_t length = s.window.size() - s.z.avail_out;
  if (length > out.size()) return 0;
  std::memcpy(out.data(), s.window.data(), length);
  return length;
}

struct Decompressor::Stream {
  z_stream z{};
  bool ready = false;
  ~Stream() {
    if (ready) inflateEnd(&z);
  }
};

Decompressor::Decompressor() : stream_(std::make_unique<Stream>()) {}
Decompressor::~Decompressor() = default;

std::size_t Decompressor::DecompressBody(std::span<const std::byte> input, std::span<std::byte> out) {
  if (input.empty() || out.empty()) return 0;
  Stream& s = *stream_;
  if (s.ready) {
    if (inflateReset(&s.z) != Z_OK) return 0;
  } else {
    s.z = z_stream{};
    if (inflateInit2(&s.z, 15) != Z_OK) return 0;
    s.ready = true;
  }
  const std::size_t room = std::min(out.size(), kCompressionWindowBytes);
  s.z.next_in = In(input);
  s.z.avail_in = static_cast<uInt>(input.size());
  s.z.next_out = reinterpret_cast<Bytef*>(out.data());
  s.z.avail_out = static_cast<uInt>(room);
  // Z_STREAM_END also means the Adler-32 trailer matched.
  if (inflate(&s.z, Z_FINISH) != Z_STREAM_END) return 0;
  return room - s.z.avail_out;
}

}  // namespace vork::link
