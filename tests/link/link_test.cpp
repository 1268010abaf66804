#include "link.h"

#include "exchange.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "unique_fd.h"

namespace vork::link {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::RandomBytes;
using testing::VirtualSerialPair;

class RecordingOwner final : public LinkOwner {
 public:
  void SignalMessage() override {
    std::lock_guard lock(mutex_);
    ++signals_;
    changed_.notify_all();
  }
  void LinkStopped() override {
    std::lock_guard lock(mutex_);
    ++stops_;
  }
  bool WaitForSignals(int count, std::chrono::milliseconds timeout = 2s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return signals_ >= count; });
  }
  int signals() {
    std::lock_guard lock(mutex_);
    return signals_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int signals_ = 0;
  int stops_ = 0;
};

std::vector<std::byte> Framed(std::span<const std::byte> body) {
  std::array<std::byte, kFrameAreaBytes> frame{};
  const std::size_t n = BuildFrame(body, frame);
  return {frame.begin(), frame.begin() + static_cast<long>(n)};
}

std::vector<std::byte> LastMessage(Link& link) {
  return link.WithReceivedMessage(
      [](std::span<const std::byte> m) { return std::vector<std::byte>(m.begin(), m.end()); });
}

class LinkTest : public ::testing::Test {
 protected:
  VirtualSerialPair pair_{7};
  RecordingOwner owner_;
  Link link_{owner_};
};

TEST_F(LinkTest, OpenFailuresLeaveTheLinkClosed) {
  ::setenv("VORK_COM9", "/nonexistent/device", 1);
  EXPECT_FALSE(link_.OpenPort(9, 115200)) << "missing device";
  ::unsetenv("VORK_COM9");
  EXPECT_FALSE(link_.port_held());

  ::unsetenv("VORK_COM0");
  EXPECT_FALSE(link_.OpenPort(0, 115200)) << "COM0 has no default device";

  SerialPort::OpenError error{};
  SerialPort holder = SerialPort::Open(pair_.device(), error);
  ASSERT_TRUE(holder.valid());
  EXPECT_FALSE(link_.OpenPort(7, 115200)) << "device held by another open";
  EXPECT_FALSE(link_.port_held());
  holder.Close();
  EXPECT_TRUE(link_.OpenPort(7, 115200));
}

TEST_F(LinkTest, NegativePortNumberKeepsTheRememberedOne) {
  ASSERT_TRUE(link_.OpenPort(7, 115200));
  EXPECT_FALSE(link_.OpenPort(-1, 9600));
  EXPECT_FALSE(link_.port_held()) << "an open port is closed first";
  EXPECT_EQ(link_.port_number(), 7);
  EXPECT_EQ(link_.baud_rate(), 115200);
  EXPECT_TRUE(link_.ChangeBaudrate(9600));
  EXPECT_EQ(link_.port_number(), 7);
  EXPECT_TRUE(link_.receiving());
}

TEST_F(LinkTest, ChangeBaudrateBeforeAnyOpenTriesComZero) {
  ::unsetenv("VORK_COM0");
  EXPECT_FALSE(link_.ChangeBaudrate(9600));
  EXPECT_EQ(link_.baud_rate(), 9600) << "the new rate stays stored";
  VirtualSerialPair com0(0);
  EXPECT_TRUE(link_.ChangeBaudrate(57600));
  EXPECT_EQ(link_.port_number(), 0);
}

TEST_F(LinkTest, RefusedSettingsLeaveTheDeviceHeldUntilClose) {
  EXPECT_FALSE(link_.OpenPort(7, 0));
  EXPECT_TRUE(link_.port_held());
  EXPECT_FALSE(link_.receiving());
  SerialPort::OpenError error{};
  EXPECT_FALSE(SerialPort::Open(pair_.device(), error).valid());
  link_.ClosePort();
  EXPECT_TRUE(SerialPort::Open(pair_.device(), error).valid());
}

TEST_F(LinkTest, ClosingTwiceOrNeverOpenedIsHarmless) {
  link_.ClosePort();
  ASSERT_TRUE(link_.OpenPort(7, 115200));
  link_.ClosePort();
  link_.ClosePort();
  EXPECT_FALSE(link_.port_held());
  EXPECT_FALSE(link_.SendFrame());
}

TEST_F(LinkTest, SendsTheFramedMessagePlainOrCompressed) {
  ASSERT_TRUE(link_.OpenPort(7, 115200));
  const auto message = Bytes({0x10, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
  std::copy(message.begin(), message.end(), link_.transmit_message().begin());
  link_.set_transmit_message_length(message.size());
  EXPECT_EQ(link_.SetCompression(0), 1) << "compression is on until told otherwise";
  ASSERT_TRUE(link_.SendFrame());
  EXPECT_EQ(pair_.Receive(), Bytes({0x02, 0x07, 0x00, 0x10, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xE9}));

  link_.SetCompression(5);
  ASSERT_TRUE(link_.SendFrame());
  const auto wire = pair_.Receive();
  ASSERT_GT(wire.size(), 6u);
  EXPECT_EQ(wire[3], std::byte{0x78});
  EXPECT_EQ(wire[4], std::byte{0x9C});
}

// What SendFrame refuses leaves nothing on the line, not part of a frame.
TEST_F(LinkTest, RefusedFramesWriteNothing) {
  ASSERT_TRUE(link_.OpenPort(7, 115200));
  struct Case {
    const char* name;
    int compression;
    std::vector<std::byte> message;
    std::vector<std::byte> wire;  // empty: refused
  };
  const std::vector<Case> cases = {
      {"longer than 2048", 0, RandomBytes(2049, 1), {}},
      {"compressed form longer than 2048", 1, RandomBytes(2048, 2), {}},
      {"empty, compressed: no result", 1, {}, {}},
      {"empty, plain", 0, {}, Bytes({0x02, 0x00, 0x00, 0xFF})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    link_.SetCompression(c.compression);
    // The area holds 2048 bytes; a longer length is what is refused.
    const auto area = link_.transmit_message();
    std::copy_n(c.message.begin(), std::min(c.message.size(), area.size()), area.begin());
    link_.set_transmit_message_length(c.message.size());
    EXPECT_EQ(link_.SendFrame(), !c.wire.empty());
    EXPECT_EQ(pair_.Receive(300ms), c.wire);
  }
}

TEST_F(LinkTest, ReceivesFramesAndKeepsWhatFollowsThem) {
  ASSERT_TRUE(link_.OpenPort(7, 115200));
  const auto request = Bytes({0x10, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00});
  const auto response = Bytes({0x11, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00});
  auto both = Framed(request);
  const auto second = Framed(response);
  both.insert(both.end(), second.begin(), second.end());
  pair_.Send(both);
  ASSERT_TRUE(owner_.WaitForSignals(2));
  EXPECT_EQ(LastMessage(link_), response);
}

std::vector<std::byte> Deflated(std::span<const std::byte> message) {
  Compressor compressor;
  std::array<std::byte, kCompressionWindowBytes> out{};
  const std::size_t n = compressor.CompressBody(message, out);
  return {out.begin(), out.begin() + static_cast<long>(n)};
}

std::vector<std::byte> Join(std::initializer_list<std::vector<std::byte>> parts) {
  std::vector<std::byte> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Each case goes over the line as one or two writes, followed by a good
// frame; the messages that arrive before that one are the case's result.
TEST(LinkReceive, EdgeCasesOfTheLineOverAVirtualPair) {
  VirtualSerialPair pair(7);
  struct Owner final : LinkOwner {
    Link* link = nullptr;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::vector<std::byte>> messages;
    void SignalMessage() override {
      auto message = LastMessage(*link);
      std::lock_guard lock(mutex);
      messages.push_back(std::move(message));
      arrived.notify_all();
    }
    void LinkStopped() override {}
  } owner;
  Link link(owner);
  owner.link = &link;
  ASSERT_TRUE(link.OpenPort(7, 115200));
  ASSERT_EQ(link.SetCompression(0), 1);

  const auto message = Bytes({0x11, 0x03, 0x00, 0x09, 0x00, 0x00, 0x00});
  const auto wire = Framed(message);
  const auto escaped_message = Bytes({0x11, 0x02, 0x00, 0x7E, 0x00, 0x00, 0x00});
  const auto escaped = Framed(escaped_message);
  auto bad_adler = Deflated(message);
  bad_adler.back() ^= std::byte{0x55};
  const auto sentinel = Bytes({0x11, 0x18, 0x00, 0xFF, 0xFF, 0x00, 0x00});
  const auto tail_of = [](const std::vector<std::byte>& v, std::size_t from) {
    return std::vector<std::byte>(v.begin() + static_cast<long>(from), v.end());
  };
  const auto head_of = [](const std::vector<std::byte>& v, std::size_t n) {
    return std::vector<std::byte>(v.begin(), v.begin() + static_cast<long>(n));
  };
  auto bare_start_inside = head_of(wire, 5);
  bare_start_inside.push_back(std::byte{0x02});
  const auto escape_then_start = Bytes({0x02, 0x03, 0x00, 0x11, 0x7E, 0x02, 0x00,
                                        static_cast<int>((~0x03 ^ 0x00 ^ 0x11 ^ 0x22 ^ 0x00) & 0xFF)});
  // Control bytes a terminal driver would act on, sent bare (BuildFrame
  // escapes some of them; the far end need not): all plain data.
  const auto controls = Bytes({0x11, 0x0A, 0x0D, 0x1B, 0x11, 0x13, 0x03, 0x04, 0x08, 0x0F,
                               0x12, 0x15, 0x16, 0x17, 0x19, 0x1A, 0x1C, 0x7F, 0xFF, 0x00});
  std::vector<std::byte> bare_controls = {std::byte{0x02},
                                          static_cast<std::byte>(controls.size()), std::byte{0}};
  std::byte check = ~bare_controls[1] ^ bare_controls[2];
  for (const std::byte b : controls) {
    bare_controls.push_back(b);
    check ^= b;
  }
  bare_controls.push_back(check);
  struct Case {
    const char* name;
    std::vector<std::vector<std::byte>> writes;
    std::vector<std::vector<std::byte>> expected;
  };
  const std::vector<Case> cases = {
      {"bare control bytes are data", {bare_controls}, {controls}},
      {"noise before the start byte", {Join({Bytes({0x0D, 0x0A, 0x33}), wire})}, {message}},
      {"split between two reads", {head_of(wire, 1), tail_of(wire, 1)}, {message}},
      {"split between escape and partner", {head_of(escaped, 5), tail_of(escaped, 5)},
       {escaped_message}},
      {"escape followed by 0x02 is 0x22", {escape_then_start},
       {Bytes({0x11, 0x22, 0x00})}},
      {"bare 0x02 inside a frame", {bare_start_inside}, {}},
      {"length 2049", {Bytes({0x02, 0x01, 0x08, 0x11, 0x00})}, {}},
      {"compressed answer, own flag off", {Framed(Deflated(message))}, {message}},
      {"wrong Adler-32", {Framed(bad_adler)}, {}},
      {"0x78 but not zlib", {Framed(Bytes({0x78, 0x11, 0x00, 0x00}))}, {}},
      {"empty body", {Framed({})}, {}},
      {"two frames in one read", {Join({wire, escaped})}, {message, escaped_message}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(owner.mutex);
      owner.messages.clear();
    }
    for (const auto& w : c.writes) {
      pair.Send(w);
      std::this_thread::sleep_for(20ms);
    }
    pair.Send(Framed(sentinel));
    std::unique_lock lock(owner.mutex);
    ASSERT_TRUE(owner.arrived.wait_for(lock, 2s, [&] {
      return !owner.messages.empty() && owner.messages.back() == sentinel;
    }));
    owner.messages.pop_back();
    EXPECT_EQ(owner.messages, c.expected);
  }
}

TEST(LinkReceive, RequestFromTheTerminalSetsOnlyTheRequestEvent) {
  VirtualSerialPair pair(7);
  CallContext ctx;
  ASSERT_TRUE(ctx.link().OpenPort(7, 115200));
  pair.Send(Framed(Bytes({0x10, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00})));
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (!ctx.request_event().IsSet() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(ctx.request_event().IsSet());
  EXPECT_FALSE(ctx.response_event().IsSet());
  pair.Send(Framed(Bytes({0x11, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00})));
  while (!ctx.response_event().IsSet() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(ctx.response_event().IsSet());
}

TEST_F(LinkTest, AFrameMayPauseWithinItsGapBudgetButNotLonger) {
  ASSERT_TRUE(link_.OpenPort(7, 115200));
  ASSERT_EQ(link_.FrameGapBudget(), 10ms + 5 * 50ms);
  const auto message = Bytes({0x11, 0x07, 0x00, 0x02, 0x00, 0x00, 0x00});
  const auto wire = Framed(message);
  const std::span<const std::byte> bytes(wire);

  pair_.Send(bytes.first(4));
  std::this_thread::sleep_for(100ms);
  pair_.Send(bytes.subspan(4));
  ASSERT_TRUE(owner_.WaitForSignals(1));
  EXPECT_EQ(LastMessage(link_), message);

  pair_.Send(bytes.first(4));
  std::this_thread::sleep_for(link_.FrameGapBudget() + 200ms);
  pair_.Send(bytes.subspan(4));
  EXPECT_FALSE(owner_.WaitForSignals(2, 300ms)) << "a stalled frame is dropped";
  pair_.Send(wire);
  EXPECT_TRUE(owner_.WaitForSignals(2));
}

TEST_F(LinkTest, CloseFromAnotherThreadEndsTheReceiverAndABlockedSend) {
  ASSERT_TRUE(link_.OpenPort(7, 115200));
  link_.SetCompression(0);
  // A far end that reads nothing fills the line's buffer: the next send
  // blocks in its write until the close.
  std::vector<std::byte> message(2000, std::byte{0x7E});
  message[0] = std::byte{0x10};
  std::copy(message.begin(), message.end(), link_.transmit_message().begin());
  link_.set_transmit_message_length(message.size());
  auto sending = std::async(std::launch::async, [&] {
    for (int i = 0; i < 100; ++i) {
      if (!link_.SendFrame()) return i;
    }
    return -1;
  });
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(sending.wait_for(0ms), std::future_status::timeout) << "the send should block";
  std::thread closer([&] { link_.ClosePort(); });
  ASSERT_EQ(sending.wait_for(2s), std::future_status::ready);
  EXPECT_GT(sending.get(), 0);
  closer.join();
  EXPECT_FALSE(link_.port_held());
  EXPECT_FALSE(link_.receiving());
}

TEST_F(LinkTest, ADeviceThatHangsUpStopsTheReceiver) {
  ASSERT_TRUE(link_.OpenPort(7, 115200));
  { auto pulled = pair_.pty().TakeFarEnd(); }  // the cable is pulled
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (link_.receiving() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_FALSE(link_.receiving()) << "no more answers can come: waits end at once";
  link_.ClosePort();
  EXPECT_FALSE(link_.port_held());
}

TEST_F(LinkTest, ReopensAfterCloseOnTheSameDevice) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(link_.OpenPort(7, 115200));
    pair_.Send(Framed(Bytes({0x11, 0x00, 0x00, static_cast<int>(round), 0x00, 0x00, 0x00})));
    ASSERT_TRUE(owner_.WaitForSignals(round + 1));
    link_.ClosePort();
  }
}

// A process out of descriptors when the library loads must not die of it:
// the link is built without its wake-up and opens once descriptors are free.
TEST(LinkResources, BuiltWithoutDescriptorsItOpensOnceSomeAreFree) {
  VirtualSerialPair pair(7);
  RecordingOwner owner;
  // A first one while descriptors are plenty: a sanitizer runtime's first
  // check of a type needs descriptors of its own.
  { Link warm(owner); }
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  std::vector<UniqueFd> filler;
  std::optional<Link> link;
  {
    rlimit tight = saved;
    tight.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    for (;;) {
      UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
      if (!fd) break;
      filler.push_back(std::move(fd));
    }
    ASSERT_NO_THROW(link.emplace(owner));
    EXPECT_FALSE(link->OpenPort(7, 115200));
    filler.clear();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  }
  ASSERT_TRUE(link->OpenPort(7, 115200));
  pair.Send(Framed(Bytes({0x11, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00})));
  EXPECT_TRUE(owner.WaitForSignals(1));
  // The wake-up made at open is what ends the receiver here.
  link->ClosePort();
}

}  // namespace
}  // namespace vork::link
