// The files the benchmarks move: made on the spot from a seed (the same
// bytes on every machine), written and compared in small pieces so that a
// benchmark's own memory does not grow with the file.
#pragma once

#include <cstdint>
#include <filesystem>

namespace vork::bench {

// `bytes` bytes from a seeded 64-bit Mersenne Twister: incompressible.
// Throws std::runtime_error when the file cannot be written.
void WriteRandomFile(const std::filesystem::path& path, std::uint64_t bytes, std::uint64_t seed);

// `bytes` bytes of stock-taking records as a handheld scanner writes them:
// one semicolon-separated line per scan (time, store, shelf, EAN-13,
// description, quantity, price, operator), CRLF line ends, a header line
// first; the last line is cut at `bytes`. Throws like WriteRandomFile.
void WriteScanRecordFile(const std::filesystem::path& path, std::uint64_t bytes,
                         std::uint64_t seed);

// True when both files exist and hold the same bytes.
[[nodiscard]] bool SameContents(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace vork::bench
