#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "fixtures.h"
#include "remote_calls.h"
#include "terminal_service.h"

namespace vork::api {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::SimulatedTerminal;

constexpr auto kShort = link::ExchangeTiming{.response_timeout = 300ms, .retry_count = 3};

class DeviceCallsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VorkInit(ctx_, terminal_.number(), 115200, 0), 1); }

  // What the simulated terminal answers to a request, for comparison.
  std::vector<std::byte> Expected(std::uint16_t code, std::span<const std::byte> payload) {
    return termsim::TerminalService(terminal_.root()).Answer(code, 0, payload);
  }

  SimulatedTerminal terminal_;
  link::CallContext ctx_{kShort};
};

struct RecordCall {
  const char* name;
  std::uint16_t code;
  std::vector<std::byte> payload;
  std::size_t record_bytes;
  std::function<std::int32_t(link::CallContext&, void*)> call;
};

std::vector<RecordCall> RecordCalls() {
  return {
      {"version", 0, {}, 12, [](auto& c, void* r) { return GetVersion(c, r); }},
      {"memory status", 1, {}, 12, [](auto& c, void* r) { return GlobalMemoryStatus(c, r); }},
      {"power status", 2, {}, 24, [](auto& c, void* r) { return GetSystemPowerStatus(c, r); }},
      {"store information", 3, Bytes({0xEF, 0xBE, 0xAD, 0xDE}), 8,
       [](auto& c, void* r) { return GetStoreInformation(c, r, 0xDEADBEEF); }},
      {"system information", 4, {}, 80, [](auto& c, void* r) { return GetSystemInfo(c, r); }},
  };
}

TEST_F(DeviceCallsTest, EachCallSendsItsPayloadAndCopiesTheWholeAnswer) {
  for (const auto& call : RecordCalls()) {
    SCOPED_TRACE(call.name);
    terminal_.sim().ClearLog();
    std::vector<std::byte> record(call.record_bytes + 8, std::byte{0xCC});
    ASSERT_EQ(call.call(ctx_, record.data()), 1);
    const auto requests = terminal_.sim().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, call.code);
    EXPECT_EQ(requests[0].payload, call.payload);
    const auto expected = Expected(call.code, call.payload);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), record.begin()));
    EXPECT_TRUE(std::all_of(record.begin() + static_cast<long>(call.record_bytes), record.end(),
                            [](std::byte b) { return b == std::byte{0xCC}; }))
        << "nothing written past the record";
  }
}

TEST_F(DeviceCallsTest, AnAnswerOfAnyOtherLengthFailsAtOnceAndLeavesTheRecord) {
  for (const auto& call : RecordCalls()) {
    for (int delta : {-1, +1}) {
      SCOPED_TRACE(std::string(call.name) + (delta < 0 ? " short" : " long"));
      terminal_.sim().ClearFaults();
      terminal_.sim().ClearLog();
      termsim::Fault fault{termsim::Fault::Kind::kWrongLength,
                           static_cast<int>(call.record_bytes) + delta};
      terminal_.sim().AddFault(fault);
      std::vector<std::byte> record(call.record_bytes, std::byte{0xCC});
      EXPECT_EQ(call.call(ctx_, record.data()), 0);
      EXPECT_EQ(terminal_.sim().Requests().size(), 1u);
      EXPECT_TRUE(std::all_of(record.begin(), record.end(),
                              [](std::byte b) { return b == std::byte{0xCC}; }));
    }
  }
}

TEST_F(DeviceCallsTest, SilentTerminalGetsRetryCountPlusOneRequests) {
  terminal_.sim().AddFault(*termsim::ParseFault("ignore@*"));
  std::array<std::byte, 12> record{};
  EXPECT_EQ(GetVersion(ctx_, record.data()), 0);
  const auto requests = terminal_.sim().Requests();
  ASSERT_EQ(requests.size(), 4u);
  for (std::size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].sequence, requests[i - 1].sequence + 1) << "each attempt its own number";
  }
}

TEST_F(DeviceCallsTest, RingSendsTheConvertedTextAndReturnsTheResultWord) {
  struct Case {
    const char* name;
    std::function<std::int32_t()> call;
    std::vector<std::byte> payload;
  };
  const std::vector<Case> cases = {
      {"empty wide text", [&] { return RingW(ctx_, u""); }, Bytes({0, 0, 0, 0})},
      {"wide text", [&] { return RingW(ctx_, u"hi \u00E9"); },
       Bytes({5, 0, 0, 0, 'h', 'i', ' ', 0xC3, 0xA9})},
      {"8-bit text", [&] { return Ring(ctx_, "hi \xC3\xA9"); },
       Bytes({5, 0, 0, 0, 'h', 'i', ' ', 0xC3, 0xA9})},
  };
  for (const auto& c : cases) {
    terminal_.sim().ClearLog();
    EXPECT_EQ(c.call(), 1) << c.name;
    const auto requests = terminal_.sim().Requests();
    ASSERT_EQ(requests.size(), 1u) << c.name;
    EXPECT_EQ(requests[0].code, 24);
    EXPECT_EQ(requests[0].payload, c.payload) << c.name;
  }
  EXPECT_EQ(terminal_.sim().Rings().back(), "hi \xC3\xA9");
}

TEST_F(DeviceCallsTest, TooLongRingTextIsRefusedWithNothingSent) {
  const std::u16string fits(259, u'r');
  const std::u16string too_long(260, u'r');
  EXPECT_EQ(RingW(ctx_, fits.c_str()), 1);
  terminal_.sim().ClearLog();
  EXPECT_EQ(RingW(ctx_, too_long.c_str()), 0);
  EXPECT_EQ(Ring(ctx_, std::string(256, 'r').c_str()), 0);
  EXPECT_EQ(RingW(ctx_, std::u16string(130, u'\u00E9').c_str()), 0) << "260 bytes in UTF-8";
  EXPECT_EQ(RingW(ctx_, nullptr), 0);
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(terminal_.sim().Requests().empty());
}

TEST_F(DeviceCallsTest, LinkControlKeepsItsSettingsOnFailure) {
  link::CallContext fresh(kShort);
  EXPECT_EQ(fresh.link().compression(), 1) << "compression is on after load";
  ::setenv("VORK_COM9", "/nonexistent", 1);
  EXPECT_EQ(VorkInit(fresh, 9, 115200, 0), 0);
  ::unsetenv("VORK_COM9");
  EXPECT_EQ(fresh.link().compression(), 1) << "a failed init keeps the flag";
  ::unsetenv("VORK_COM0");
  EXPECT_EQ(SetBaudrate(fresh, 9600), 0) << "COM0 has no device";
  EXPECT_EQ(VorkUninit(fresh), 1);
  EXPECT_EQ(VorkUninit(fresh), 1);

  // The open context answers at the new rate, compressed, then closes.
  EXPECT_EQ(SetBaudrate(ctx_, 57600), 1);
  EXPECT_EQ(ctx_.link().baud_rate(), 57600);
  EXPECT_EQ(VorkInit(ctx_, terminal_.number(), 115200, 7), 1);
  std::array<std::byte, 12> record{};
  EXPECT_EQ(GetVersion(ctx_, record.data()), 1);
  EXPECT_TRUE(terminal_.sim().Requests().back().compressed);
  EXPECT_EQ(VorkUninit(ctx_), 1);
  EXPECT_EQ(GetVersion(ctx_, record.data()), 0) << "no link, no answer";
}

// Init on an open link moves it: the old device is let go (another program
// may take it) and the requests go to the new one.
TEST_F(DeviceCallsTest, InitOnAnOpenLinkMovesItToTheNewPort) {
  SimulatedTerminal other(8);
  std::array<std::byte, 12> record{};
  ASSERT_EQ(GetVersion(ctx_, record.data()), 1);
  ASSERT_EQ(VorkInit(ctx_, other.number(), 115200, 0), 1);
  ASSERT_EQ(GetVersion(ctx_, record.data()), 1);
  EXPECT_EQ(terminal_.Codes(), std::vector<int>{0});
  EXPECT_EQ(other.Codes(), std::vector<int>{0});
  link::CallContext second(kShort);
  EXPECT_EQ(VorkInit(second, terminal_.number(), 115200, 0), 1) << "the first device is free";
}

}  // namespace
}  // namespace vork::api
