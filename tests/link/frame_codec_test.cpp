#include "frame_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <deque>
#include <random>
#include <vector>

#include "fixtures.h"

namespace vork::link {
namespace {

using testing::Bytes;
using testing::RandomBytes;

std::vector<std::byte> Frame(std::span<const std::byte> body) {
  std::array<std::byte, kFrameAreaBytes> frame{};
  const std::size_t n = BuildFrame(body, frame);
  return {frame.begin(), frame.begin() + static_cast<long>(n)};
}

struct GoldenFrame {
  const char* name;
  std::vector<std::byte> body;
  std::vector<std::byte> wire;
};

std::vector<GoldenFrame> GoldenFrames() {
  auto response = Bytes({0x11, 0x00, 0x00, 0x01, 0x00, 0x0C, 0x00});
  response.resize(19);
  auto response_wire = Bytes({0x02, 0x13, 0x00});
  response_wire.insert(response_wire.end(), response.begin(), response.end());
  response_wire.push_back(std::byte{0xF0});
  return {
      {"version request", Bytes({0x10, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}),
       Bytes({0x02, 0x07, 0x00, 0x10, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xE9})},
      {"empty body", {}, Bytes({0x02, 0x00, 0x00, 0xFF})},
      {"escaped length and body",
       Bytes({0x10, 0x01, 0x00, 0x7E, 0x00, 0x06, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}),
       Bytes({0x02, 0x7E, 0x2D, 0x00, 0x10, 0x01, 0x00, 0x7E, 0x5E, 0x00, 0x06, 0x00, 0x01, 0x7E,
              0x22, 0x03, 0x04, 0x05, 0x06, 0x9C})},
      {"escaped check byte", Bytes({0xF4}), Bytes({0x02, 0x01, 0x00, 0xF4, 0x7E, 0x2A})},
      {"all five escaped values", Bytes({0x02, 0x0A, 0x0D, 0x1B, 0x7E}),
       Bytes({0x02, 0x05, 0x00, 0x7E, 0x22, 0x7E, 0x2A, 0x7E, 0x2D, 0x7E, 0x3B, 0x7E, 0x5E, 0x9A})},
      {"version response", response, response_wire},
  };
}

TEST(BuildFrame, GoldenFrames) {
  for (const auto& golden : GoldenFrames()) {
    EXPECT_EQ(Frame(golden.body), golden.wire) << golden.name;
  }
}

TEST(BuildFrame, RefusesBodiesThatDoNotFit) {
  std::array<std::byte, kFrameAreaBytes> frame{};
  const std::vector<std::byte> too_long(kMaxMessageBytes + 1);
  EXPECT_EQ(BuildFrame(too_long, frame), 0u);
  // 2048 escaped bytes need 4103 bytes on the wire, more than the area.
  const std::vector<std::byte> all_escaped(kMaxMessageBytes, std::byte{0x7E});
  EXPECT_EQ(BuildFrame(all_escaped, frame), 0u);
  const std::vector<std::byte> plain(kMaxMessageBytes, std::byte{0x41});
  EXPECT_EQ(BuildFrame(plain, frame), 1 + 2 + kMaxMessageBytes + 1);
}

TEST(EscapeByte, EscapesExactlyTheFiveValues) {
  for (int value = 0; value < 256; ++value) {
    std::byte out[2]{};
    const bool special = value == 0x02 || value == 0x0A || value == 0x0D || value == 0x1B ||
                         value == 0x7E;
    const int wrote = EscapeByte(out, static_cast<std::byte>(value));
    EXPECT_EQ(wrote, special ? 1 : 0) << value;
    if (special) {
      EXPECT_EQ(out[0], std::byte{0x7E});
      EXPECT_EQ(std::to_integer<int>(out[1]), value ^ 0x20);
    } else {
      EXPECT_EQ(std::to_integer<int>(out[0]), value);
    }
  }
}

// Hands out prepared reads one at a time, as a port would.
class ScriptedSource final : public ByteSource {
 public:
  explicit ScriptedSource(std::vector<std::vector<std::byte>> reads)
      : reads_(reads.begin(), reads.end()) {}
  std::size_t ReadMore(std::span<std::byte> into) override {
    ++calls_;
    if (reads_.empty()) return 0;
    auto next = std::move(reads_.front());
    reads_.pop_front();
    const std::size_t n = std::min(next.size(), into.size());
    std::copy_n(next.begin(), n, into.begin());
    return n;
  }
  [[nodiscard]] std::size_t calls() const { return calls_; }
  [[nodiscard]] std::size_t left() const { return reads_.size(); }

 private:
  std::deque<std::vector<std::byte>> reads_;
  std::size_t calls_ = 0;
};

// Receives every frame in the reads; the first read comes in through the
// owner's own wait, the rest through the source.
std::vector<std::vector<std::byte>> ReceiveAll(std::vector<std::vector<std::byte>> reads) {
  std::vector<std::vector<std::byte>> messages;
  if (reads.empty()) return messages;
  auto first = reads.front();
  reads.erase(reads.begin());
  ScriptedSource source(std::move(reads));
  FrameReceiver receiver(source);
  std::copy(first.begin(), first.end(), receiver.RawArea().begin());
  receiver.Accept(first.size());
  while (receiver.HasBufferedBytes() || source.left() > 0) {
    if (!receiver.HasBufferedBytes()) {
      const std::size_t n = source.ReadMore(receiver.RawArea());
      receiver.Accept(n);
    }
    if (receiver.ReceiveFrame()) {
      messages.emplace_back(receiver.message().begin(), receiver.message().end());
    }
  }
  return messages;
}

std::vector<std::byte> Concat(std::initializer_list<std::vector<std::byte>> parts) {
  std::vector<std::byte> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(ReceiveFrame, RoundTripOfRandomMessagesCoversEveryByteValue) {
  std::mt19937 random(42);
  std::vector<std::vector<std::byte>> sent;
  std::vector<std::byte> stream;
  std::array<bool, 256> seen{};
  for (int i = 0; i < 300; ++i) {
    auto body = RandomBytes(1 + random() % kMaxMessageBytes, static_cast<unsigned>(i));
    if (body[0] == std::byte{0x78}) body[0] = std::byte{0x11};  // plain, not a zlib stream
    for (auto b : body) seen[std::to_integer<std::size_t>(b)] = true;
    const auto wire = Frame(body);
    ASSERT_FALSE(wire.empty());
    stream.insert(stream.end(), wire.begin(), wire.end());
    sent.push_back(std::move(body));
  }
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](bool b) { return b; }));
  // Cut the stream at random read boundaries of up to 4095 bytes.
  std::vector<std::vector<std::byte>> reads;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min<std::size_t>(1 + random() % kReadLimitBytes, stream.size() - at);
    reads.emplace_back(stream.begin() + static_cast<long>(at),
                       stream.begin() + static_cast<long>(at + n));
    at += n;
  }
  EXPECT_EQ(ReceiveAll(reads), sent);
}

TEST(ReceiveFrame, EdgeCasesOfTheLine) {
  const auto message = Bytes({0x11, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
  const auto wire = Frame(message);
  const auto escaped_body = Bytes({0x11, 0x02, 0x00, 0x7E, 0x00, 0x00, 0x00});
  const auto escaped = Frame(escaped_body);  // 02 07 00 11 7E 22 00 7E 5E 00 00 00 check
  auto bad_check = wire;
  bad_check.back() ^= std::byte{0x01};
  struct Case {
    const char* name;
    std::vector<std::vector<std::byte>> reads;
    std::vector<std::vector<std::byte>> expected;
  };
  const std::vector<Case> cases = {
      {"noise before the start byte", {Concat({Bytes({0x0D, 0x0A, 0x41, 0xFF}), wire})}, {message}},
      {"start byte last in one read", {Bytes({0x33, 0x02}), {wire.begin() + 1, wire.end()}},
       {message}},
      {"split between escape and partner",
       {{escaped.begin(), escaped.begin() + 5}, {escaped.begin() + 5, escaped.end()}},
       {escaped_body}},
      {"two frames in one read", {Concat({wire, escaped})}, {message, escaped_body}},
      {"a bad frame does not hide the next one in the same read", {Concat({bad_check, wire})},
       {message}},
      {"frame with an empty body carries nothing", {Concat({Frame({}), wire})}, {message}},
      {"frame that stops early", {{wire.begin(), wire.end() - 2}}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ReceiveAll(c.reads), c.expected) << c.name;
}

TEST(ReceiveFrame, EscapeBytePartnerIsDataEvenWhenItIsTheStartByte) {
  // 0x7E 0x02 inside a frame is 0x22, and the frame goes on.
  const auto body = Bytes({0x11, 0x22, 0x00});
  auto wire = Bytes({0x02, 0x03, 0x00, 0x11, 0x7E, 0x02, 0x00});
  wire.push_back(std::byte{static_cast<unsigned char>(~0x03 ^ 0x00 ^ 0x11 ^ 0x22)});
  EXPECT_EQ(ReceiveAll({wire}), std::vector<std::vector<std::byte>>{body});
}

TEST(ReceiveFrame, BareStartByteEndsTheFrameAndTheFrameItBeginsIsLost) {
  const auto message = Bytes({0x11, 0x05, 0x00, 0x09, 0x00, 0x00, 0x00});
  const auto wire = Frame(message);
  // A frame cut short by the start of another: neither is taken, but a third
  // one after them still is.
  auto cut = std::vector<std::byte>(wire.begin(), wire.begin() + 6);
  EXPECT_EQ(ReceiveAll({Concat({cut, wire})}), std::vector<std::vector<std::byte>>{});
  EXPECT_EQ(ReceiveAll({Concat({cut, wire, wire})}), std::vector<std::vector<std::byte>>{message});
}

TEST(ReceiveFrame, LengthAbove2048IsRefusedBeforeAnyBodyByte) {
  // 2049 = 0x0801: the frame is refused without asking the line for a body.
  ScriptedSource source({RandomBytes(3000, 1)});
  FrameReceiver receiver(source);
  const auto header = Bytes({0x02, 0x01, 0x08});
  std::copy(header.begin(), header.end(), receiver.RawArea().begin());
  receiver.Accept(header.size());
  EXPECT_FALSE(receiver.ReceiveFrame());
  EXPECT_EQ(source.calls(), 0u);
  // 2048 itself is a valid length.
  std::vector<std::byte> body(kMaxMessageBytes, std::byte{0x41});
  body[0] = std::byte{0x11};
  EXPECT_EQ(ReceiveAll({Frame(body)}), std::vector<std::vector<std::byte>>{body});
}

std::vector<std::byte> Deflate(std::span<const std::byte> input) {
  uLongf length = compressBound(input.size());
  std::vector<std::byte> out(length);
  compress2(reinterpret_cast<Bytef*>(out.data()), &length,
            reinterpret_cast<const Bytef*>(input.data()), input.size(), 6);
  out.resize(length);
  return out;
}

TEST(ReceiveFrame, CompressedBodies) {
  auto message = Bytes({0x11, 0x00, 0x00, 0x01, 0x00, 0x0C, 0x00});
  message.resize(19);
  auto bad_adler = Deflate(message);
  bad_adler.back() ^= std::byte{0xFF};
  std::vector<std::byte> big(2049, std::byte{0x11});
  struct Case {
    const char* name;
    std::vector<std::byte> body;
    std::vector<std::vector<std::byte>> expected;
  };
  const std::vector<Case> cases = {
      {"zlib stream of a response", Deflate(message), {message}},
      {"wrong Adler-32 with a right check byte", bad_adler, {}},
      {"0x78 but not a zlib stream", Bytes({0x78, 0x11, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}), {}},
      {"inflates past 2048 bytes", Deflate(big), {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ReceiveAll({Frame(c.body)}), c.expected) << c.name;
}

}  // namespace
}  // namespace vork::link
