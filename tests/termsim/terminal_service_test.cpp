#include "terminal_service.h"

#include <gtest/gtest.h>

#include <future>

#include "fixtures.h"
#include "serial_port.h"
#include "simulator.h"

namespace vork::termsim {
namespace {

using namespace std::chrono_literals;
using link::SerialPort;

TEST(TerminalService, NamesNeverLeaveTheServedFolder) {
  const TerminalService service("/srv/terminal");
  struct Case {
    const char* path;
    const char* expected;  // "" : refused
  };
  const Case cases[] = {
      {"QMT:\\a.txt", "/srv/terminal/a.txt"},
      {"QMT:\\dir\\b.txt", "/srv/terminal/dir/b.txt"},
      {"QMTc.txt", "/srv/terminal/c.txt"},
      {"QMT", "/srv/terminal"},
      {"QMT:\\..\\etc\\passwd", ""},
      {"QMT:\\a\\..\\..\\x", ""},
      {"/etc/passwd", "/srv/terminal/etc/passwd"},
      {"QMT:\\.\\d/e", "/srv/terminal/d/e"},
  };
  for (const auto& c : cases) EXPECT_EQ(service.Resolve(c.path).string(), c.expected) << c.path;
}

TEST(FaultText, ParsesSelectorsAndRefusesNonsense) {
  const auto by_number = ParseFault("drop@3");
  ASSERT_TRUE(by_number);
  EXPECT_TRUE(by_number->Matches(3, 12, 1));
  EXPECT_FALSE(by_number->Matches(4, 12, 1));
  const auto by_code = ParseFault("late=6000:code=0#2");
  ASSERT_TRUE(by_code);
  EXPECT_EQ(by_code->value, 6000);
  EXPECT_TRUE(by_code->Matches(9, 0, 2));
  EXPECT_FALSE(by_code->Matches(9, 0, 1));
  const auto every = ParseFault("ignore@*");
  ASSERT_TRUE(every);
  EXPECT_TRUE(every->Matches(1, 5, 1));
  for (const char* bad : {"drop", "explode@1", "drop@0", "late=x@1", "drop:code=", "drop@-1"}) {
    EXPECT_FALSE(ParseFault(bad)) << bad;
  }
}

TEST(Simulator, StopsServingWhenItsLineHangsUp) {
  testing::TempDir root;
  std::promise<void> lost;
  Simulator simulator({root.path(), AnswerCompression::kMirror, [&] { lost.set_value(); }});
  tools::PseudoTerminal pty;
  {
    // The far end is the simulator's; the near end is closed under it.
    SerialPort::OpenError error{};
    auto near = SerialPort::Open(pty.device(), error);
    ASSERT_TRUE(near.valid());
    simulator.Start(near.Release());
  }
  { auto gone = pty.TakeFarEnd(); }
  EXPECT_EQ(lost.get_future().wait_for(2s), std::future_status::ready);
  simulator.Stop();
}

}  // namespace
}  // namespace vork::termsim
