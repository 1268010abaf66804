#include "compression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "fixtures.h"

namespace vork::link {
namespace {

using testing::Bytes;
using testing::RandomBytes;

std::vector<std::byte> StockDeflate(std::span<const std::byte> input) {
  uLongf length = compressBound(input.size());
  std::vector<std::byte> out(length);
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &length,
                      reinterpret_cast<const Bytef*>(input.data()), input.size(), 6),
            Z_OK);
  out.resize(length);
  return out;
}

std::vector<std::byte> StockInflate(std::span<const std::byte> input, std::size_t room) {
  uLongf length = room;
  std::vector<std::byte> out(room);
  if (uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                 reinterpret_cast<const Bytef*>(input.data()), input.size()) != Z_OK) {
    return {};
  }
  out.resize(length);
  return out;
}

TEST(Compression, RequestBodyIsAStandardZlibStream) {
  Compressor compressor;
  const auto message = Bytes({0x10, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
  std::array<std::byte, kCompressionWindowBytes> out{};
  const std::size_t n = compressor.CompressBody(message, out);
  ASSERT_GT(n, 2u);
  EXPECT_EQ(out[0], std::byte{0x78});
  EXPECT_EQ(out[1], std::byte{0x9C});
  EXPECT_EQ(StockInflate(std::span(out).first(n), 64), message);
}

TEST(Compression, IncompressibleMessageOf1039BytesBecomes1050) {
  Compressor compressor;
  const auto message = RandomBytes(1039, 7);
  std::array<std::byte, kCompressionWindowBytes> out{};
  EXPECT_EQ(compressor.CompressBody(message, out), 1050u);
}

TEST(Compression, ReusedStateGivesTheBytesOfAFreshStream) {
  Compressor compressor;
  for (unsigned seed = 0; seed < 20; ++seed) {
    auto message = RandomBytes(50 + seed * 97, seed);
    // Some repetition so deflate has matches to find.
    for (std::size_t i = message.size() / 2; i < message.size(); ++i) message[i] = message[i / 3];
    std::array<std::byte, kCompressionWindowBytes> out{};
    const std::size_t n = compressor.CompressBody(message, out);
    EXPECT_EQ(std::vector<std::byte>(out.begin(), out.begin() + static_cast<long>(n)),
              StockDeflate(message))
        << "message " << seed;
  }
}

TEST(Compression, NoResultForEmptyInputOrOutputPastTheWindow) {
  Compressor compressor;
  std::array<std::byte, kCompressionWindowBytes> out{};
  EXPECT_EQ(compressor.CompressBody({}, out), 0u);
  // Random data larger than the window cannot finish in one call.
  EXPECT_EQ(compressor.CompressBody(RandomBytes(5000, 1), out), 0u);
  // The state recovers for the next message.
  EXPECT_GT(compressor.CompressBody(Bytes({0x10, 1, 2}), out), 0u);
}

struct InflateCase {
  const char* name;
  std::vector<std::byte> body;
  std::size_t expected;  // 0: no result
};

TEST(Decompression, AcceptsOnlyCompleteStreamsThatFit) {
  const auto response = Bytes({0x11, 0, 0, 1, 0, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  auto corrupt_adler = StockDeflate(response);
  corrupt_adler.back() ^= std::byte{1};
  auto truncated = StockDeflate(response);
  truncated.pop_back();
  const std::vector<std::byte> zeros_3000(3000), zeros_5000(5000);
  const std::vector<InflateCase> cases = {
      {"19-byte response", StockDeflate(response), 19},
      {"wrong Adler-32", corrupt_adler, 0},
      {"truncated stream", truncated, 0},
      {"0x78 but not zlib", Bytes({0x78, 0x01, 0x02, 0x03, 0x04}), 0},
      {"inflates to 2048 bytes", StockDeflate(std::vector<std::byte>(2048)), 2048},
      {"inflates past the area", StockDeflate(zeros_3000), 0},
      {"inflates past the window", StockDeflate(zeros_5000), 0},
      {"stream of nothing", StockDeflate({}), 0},
      {"empty body", {}, 0},
  };
  Decompressor decompressor;
  for (const auto& c : cases) {
    std::array<std::byte, 2048> out{};
    const std::size_t n = decompressor.DecompressBody(c.body, out);
    EXPECT_EQ(n, c.expected) << c.name;
  }
  std::array<std::byte, 2048> out{};
  ASSERT_EQ(decompressor.DecompressBody(StockDeflate(response), out), response.size());
  EXPECT_TRUE(std::equal(response.begin(), response.end(), out.begin()));
}

}  // namespace
}  // namespace vork::link
