#include "exchange.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <future>
#include <optional>
#include <thread>

#include "fixtures.h"

namespace vork::link {
namespace {

using namespace std::chrono_literals;
using testing::VirtualSerialPair;

struct Request {
  MessageHeader header;
  std::vector<std::byte> payload;
};

// The test plays the terminal by hand: reads requests, writes any answer.
class ManualTerminal final : private ByteSource {
 public:
  explicit ManualTerminal(VirtualSerialPair& pair) : pair_(pair) {}

  std::optional<Request> NextRequest(std::chrono::milliseconds timeout = 2s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!frames_.HasBufferedBytes()) {
        const std::size_t n = ReadMore(frames_.RawArea());
        frames_.Accept(n);
        if (n == 0) continue;
      }
      if (frames_.ReceiveFrame()) {
        const auto message = frames_.message();
        return Request{ReadHeader(message),
                       {message.begin() + kHeaderBytes, message.end()}};
      }
    }
    return std::nullopt;
  }

  // Sends a message with the given header; the body carries `payload`.
  void Answer(MessageHeader header, std::span<const std::byte> payload) {
    std::vector<std::byte> message(kHeaderBytes);
    WriteHeader(message, header);
    message.insert(message.end(), payload.begin(), payload.end());
    std::array<std::byte, kFrameAreaBytes> frame{};
    const std::size_t n = BuildFrame(message, frame);
    ASSERT_GT(n, 0u);
    pair_.Send(std::span(frame).first(n));
  }

  void AnswerRight(const Request& request, std::size_t payload_length) {
    const std::vector<std::byte> payload(payload_length, std::byte{0x5A});
    Answer({kTypeResponse, request.header.code, request.header.sequence,
            static_cast<std::uint16_t>(payload_length)},
           payload);
  }

 private:
  std::size_t ReadMore(std::span<std::byte> into) override {
    pollfd in = {pair_.far_end(), POLLIN, 0};
    if (::poll(&in, 1, 100) <= 0) return 0;
    const ssize_t n = ::read(pair_.far_end(), into.data(), into.size());
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }

  VirtualSerialPair& pair_;
  FrameReceiver frames_{*this};
};

// True once the event is set, within the time given.
bool WaitUntilSet(const ManualResetEvent& event, std::chrono::milliseconds timeout = 2s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!event.IsSet()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ctx_.link().OpenPort(7, 115200));
    ctx_.link().SetCompression(0);
  }

  // Runs one call of the attempt loop that insists on `length` payload bytes.
  std::future<Outcome> Call(std::size_t length, Command code = Command::kGetVersion) {
    return std::async(std::launch::async, [this, length, code] {
      std::lock_guard lock(ctx_.call_mutex());
      return Transact(ctx_, code, {}, ExactLength(length));
    });
  }

  VirtualSerialPair pair_{7};
  CallContext ctx_{{.response_timeout = 400ms, .retry_count = 3}};
  ManualTerminal terminal_{pair_};
};

TEST_F(ExchangeTest, SequenceNumbersCountEveryAttemptAndSurviveReopening) {
  auto call = Call(12);
  for (int expected : {1, 2}) {
    const auto request = terminal_.NextRequest();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->header.sequence, expected);
    EXPECT_EQ(request->header.type, kTypeRequest);
    if (expected == 2) terminal_.AnswerRight(*request, 12);  // the first one goes unanswered
  }
  EXPECT_EQ(call.get(), Outcome::kAccepted);

  ctx_.link().ClosePort();
  ASSERT_TRUE(ctx_.link().OpenPort(7, 115200));
  ctx_.link().SetCompression(0);
  call = Call(12);
  const auto request = terminal_.NextRequest();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->header.sequence, 3);
  terminal_.AnswerRight(*request, 12);
  EXPECT_EQ(call.get(), Outcome::kAccepted);
}

TEST_F(ExchangeTest, SequenceNumberWrapsAfter65535AndTheAnswerToZeroCounts) {
  ctx_.set_sequence_counter(65534);
  for (int expected : {65535, 0}) {
    auto call = Call(12);
    const auto request = terminal_.NextRequest();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->header.sequence, expected);
    terminal_.AnswerRight(*request, 12);
    EXPECT_EQ(call.get(), Outcome::kAccepted);
  }
  EXPECT_EQ(ctx_.CurrentSequence(), 65536u) << "the counter itself keeps all 32 bits";
}

TEST_F(ExchangeTest, MismatchedAnswersEndTheAttemptAtOnce) {
  struct Case {
    const char* name;
    std::function<MessageHeader(const Request&)> header;
  };
  const std::vector<Case> cases = {
      {"stale sequence number",
       [](const Request& r) {
         return MessageHeader{kTypeResponse, r.header.code,
                              static_cast<std::uint16_t>(r.header.sequence - 1), 12};
       }},
      {"other command code",
       [](const Request& r) {
         return MessageHeader{kTypeResponse, 4, r.header.sequence, 12};
       }},
      {"payload length above 2041",
       [](const Request& r) {
         return MessageHeader{kTypeResponse, r.header.code, r.header.sequence, 2042};
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A long time-out: only an attempt that ends at once finishes in time.
    ctx_.link().ClosePort();
    CallContext patient({.response_timeout = 30s, .retry_count = 3});
    ASSERT_TRUE(patient.link().OpenPort(7, 115200));
    patient.link().SetCompression(0);
    const auto started = std::chrono::steady_clock::now();
    auto call = std::async(std::launch::async, [&] {
      return Transact(patient, Command::kGetVersion, {}, ExactLength(12));
    });
    const auto first = terminal_.NextRequest();
    ASSERT_TRUE(first);
    const std::vector<std::byte> payload(2041, std::byte{1});
    terminal_.Answer(c.header(*first), std::span(payload).first(12));
    const auto second = terminal_.NextRequest();
    ASSERT_TRUE(second) << "a fresh request follows";
    EXPECT_EQ(second->header.sequence, static_cast<std::uint16_t>(first->header.sequence + 1));
    terminal_.AnswerRight(*second, 12);
    EXPECT_EQ(call.get(), Outcome::kAccepted);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  }
}

TEST_F(ExchangeTest, BodyThatDisagreesWithItsLengthFieldIsRefused) {
  for (int delta : {-1, +1}) {
    auto call = Call(12);
    const auto first = terminal_.NextRequest();
    ASSERT_TRUE(first);
    const std::vector<std::byte> payload(static_cast<std::size_t>(12 + delta), std::byte{7});
    terminal_.Answer({kTypeResponse, first->header.code, first->header.sequence, 12}, payload);
    const auto second = terminal_.NextRequest();
    ASSERT_TRUE(second) << "delta " << delta;
    terminal_.AnswerRight(*second, 12);
    EXPECT_EQ(call.get(), Outcome::kAccepted);
  }
}

TEST_F(ExchangeTest, WrongLengthEndsTheCallAfterOneRequest) {
  for (std::size_t length : {11u, 13u}) {
    auto call = Call(12);
    const auto request = terminal_.NextRequest();
    ASSERT_TRUE(request);
    terminal_.AnswerRight(*request, length);
    EXPECT_EQ(call.get(), Outcome::kWrongLength);
    EXPECT_FALSE(terminal_.NextRequest(600ms)) << "no second request";
  }
}

TEST_F(ExchangeTest, LargestPayloadIsAcceptedWhole) {
  auto call = Call(2041);
  const auto request = terminal_.NextRequest();
  ASSERT_TRUE(request);
  terminal_.AnswerRight(*request, 2041);
  EXPECT_EQ(call.get(), Outcome::kAccepted);
  EXPECT_EQ(ctx_.response_payload().size(), 2041u);
}

TEST_F(ExchangeTest, SilentTerminalGetsOneRequestPerAttempt) {
  auto call = Call(12);
  std::vector<std::uint16_t> sequences;
  while (auto request = terminal_.NextRequest(1s)) sequences.push_back(request->header.sequence);
  EXPECT_EQ(call.get(), Outcome::kNoResponse);
  EXPECT_EQ(sequences, (std::vector<std::uint16_t>{1, 2, 3, 4}));
}

// An answer that comes after its attempt gave up counts for no later
// attempt: it wakes the wait it meets (also the next call's, when it came
// while no one waited), is refused by its sequence number, and a fresh
// request follows at once.
TEST_F(ExchangeTest, ALateAnswerEndsTheAttemptItMeetsAndNeverCounts) {
  using Clock = std::chrono::steady_clock;
  {
    SCOPED_TRACE("during the next attempt");
    auto call = Call(12);
    const auto first = terminal_.NextRequest();
    ASSERT_TRUE(first);
    const auto second = terminal_.NextRequest();
    ASSERT_TRUE(second) << "the first attempt timed out";
    const auto answered = Clock::now();
    terminal_.AnswerRight(*first, 12);
    const auto third = terminal_.NextRequest();
    ASSERT_TRUE(third);
    EXPECT_LT(Clock::now() - answered, 300ms) << "the second attempt ended at once";
    EXPECT_EQ(third->header.sequence, static_cast<std::uint16_t>(second->header.sequence + 1));
    terminal_.AnswerRight(*third, 12);
    EXPECT_EQ(call.get(), Outcome::kAccepted);
  }
  {
    SCOPED_TRACE("after the call gave up");
    auto call = Call(12);
    std::optional<Request> last;
    while (auto request = terminal_.NextRequest(1s)) last = request;
    EXPECT_EQ(call.get(), Outcome::kNoResponse);
    ASSERT_TRUE(last);
    terminal_.AnswerRight(*last, 12);
    ASSERT_TRUE(WaitUntilSet(ctx_.response_event()));
    auto next = Call(12);
    const auto refused = terminal_.NextRequest();
    ASSERT_TRUE(refused);
    const auto fresh = terminal_.NextRequest(300ms);
    ASSERT_TRUE(fresh) << "the first attempt ended at once on the old answer";
    terminal_.AnswerRight(*fresh, 12);
    EXPECT_EQ(next.get(), Outcome::kAccepted);
  }
}

// Held but not configured, the link still sends, and no attempt ends
// before its time-out: a terminal that hears the requests gets them spaced
// as from a silent line, not in a burst.
TEST_F(ExchangeTest, HalfOpenLinkSendsEveryAttemptAndWaitsOutEach) {
  ctx_.link().ClosePort();
  ASSERT_FALSE(ctx_.link().OpenPort(7, 0));
  ASSERT_TRUE(ctx_.link().port_held());
  auto call = Call(12);
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  while (terminal_.NextRequest(1s)) arrivals.push_back(std::chrono::steady_clock::now());
  EXPECT_EQ(call.get(), Outcome::kNoResponse);
  ASSERT_EQ(arrivals.size(), 4u);
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    EXPECT_GE(arrivals[i] - arrivals[i - 1], 300ms) << "attempt " << i;
  }
}

TEST_F(ExchangeTest, NegativeRetryCountSendsNothing) {
  ctx_.link().ClosePort();
  CallContext never({.response_timeout = 100ms, .retry_count = -1});
  ASSERT_TRUE(never.link().OpenPort(7, 115200));
  EXPECT_EQ(Transact(never, Command::kGetVersion, {}, ExactLength(12)), Outcome::kStopped);
  EXPECT_FALSE(terminal_.NextRequest(300ms));
}

TEST_F(ExchangeTest, RequestFromTheTerminalNeverEndsAWait) {
  auto call = Call(12);
  const auto first = terminal_.NextRequest();
  ASSERT_TRUE(first);
  const std::vector<std::byte> payload(12);
  terminal_.Answer({kTypeRequest, first->header.code, first->header.sequence, 12}, payload);
  const auto second = terminal_.NextRequest();
  ASSERT_TRUE(second) << "the first attempt ran into its time-out";
  EXPECT_TRUE(ctx_.request_event().IsSet());
  terminal_.AnswerRight(*second, 12);
  EXPECT_EQ(call.get(), Outcome::kAccepted);
}

TEST_F(ExchangeTest, CloseFromAnotherThreadEndsAWaitPromptly) {
  ctx_.link().ClosePort();
  CallContext patient({.response_timeout = 30s, .retry_count = 3});
  ASSERT_TRUE(patient.link().OpenPort(7, 115200));
  auto call = std::async(std::launch::async, [&] {
    return Transact(patient, Command::kGetVersion, {}, ExactLength(12));
  });
  ASSERT_TRUE(terminal_.NextRequest());
  patient.link().ClosePort();
  ASSERT_EQ(call.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(call.get(), Outcome::kNoResponse);
}

}  // namespace
}  // namespace vork::link
