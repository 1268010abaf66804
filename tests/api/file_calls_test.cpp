#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "fixtures.h"
#include "remote_calls.h"
#include "wire.h"

namespace vork::api {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::RandomBytes;
using testing::SimulatedTerminal;
using termsim::ParseFault;

std::uint32_t CountField(const termsim::LoggedRequest& request) {
  return link::get_u32le(std::span(request.payload).subspan(4));
}

std::vector<const termsim::LoggedRequest*> WithCode(const std::vector<termsim::LoggedRequest>& log,
                                                    std::uint16_t code) {
  std::vector<const termsim::LoggedRequest*> found;
  for (const auto& r : log) {
    if (r.code == code) found.push_back(&r);
  }
  return found;
}

class FileCallsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VorkInit(ctx_, terminal_.number(), 115200, 0), 1); }

  std::uint32_t Open(const char16_t* path) {
    const std::int32_t handle = OpenFileW(ctx_, path, 2);
    EXPECT_NE(handle, -1);
    return static_cast<std::uint32_t>(handle);
  }
  std::uint32_t Create(const char16_t* path) {
    const std::int32_t handle = CreateFileW(ctx_, path, 0xC0000000);
    EXPECT_NE(handle, -1);
    return static_cast<std::uint32_t>(handle);
  }
  void Fault(const char* text) { terminal_.sim().AddFault(*ParseFault(text)); }

  SimulatedTerminal terminal_;
  link::CallContext ctx_{{.response_timeout = 300ms, .retry_count = 3}};
};

TEST_F(FileCallsTest, CountsAreCutIntoChunksOf1024BothWays) {
  struct Case {
    std::uint32_t count;
    std::vector<std::uint32_t> chunks;
  };
  const std::vector<Case> cases = {
      {0, {}}, {1024, {1024}}, {1025, {1024, 1}}, {3000, {1024, 1024, 952}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    const auto data = RandomBytes(c.count, c.count);
    terminal_.sim().ClearLog();
    const std::uint32_t out = Create(u"QMT:\\chunks.bin");
    std::uint32_t written = 99;
    EXPECT_EQ(WriteFile(ctx_, out, data.data(), c.count, &written), 1);
    EXPECT_EQ(written, c.count);
    EXPECT_EQ(CloseFile(ctx_, out), 1);
    EXPECT_EQ(testing::ReadFile(terminal_.root() / "chunks.bin"), data);

    const std::uint32_t in = Open(u"QMT:\\chunks.bin");
    std::vector<std::byte> back(c.count + 16, std::byte{0xEE});
    std::uint32_t read = 99;
    EXPECT_EQ(ReadFile(ctx_, in, back.data(), c.count, &read), 1);
    EXPECT_EQ(read, c.count);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_TRUE(std::all_of(back.begin() + c.count, back.end(),
                            [](std::byte b) { return b == std::byte{0xEE}; }));
    EXPECT_EQ(CloseFile(ctx_, in), 1);

    const auto log = terminal_.sim().Requests();
    for (int code : {12, 13}) {
      std::vector<std::uint32_t> counts;
      for (const auto* r : WithCode(log, static_cast<std::uint16_t>(code))) counts.push_back(CountField(*r));
      EXPECT_EQ(counts, c.chunks) << "code " << code;
    }
    std::filesystem::remove(terminal_.root() / "chunks.bin");
  }
}

TEST_F(FileCallsTest, ShortChunkEndsTheReadWithWhatArrived) {
  testing::WriteFile(terminal_.root() / "short.bin", RandomBytes(1124, 3));
  const std::uint32_t in = Open(u"QMT:\\short.bin");
  terminal_.sim().ClearLog();
  std::vector<std::byte> buffer(3000);
  std::uint32_t read = 0;
  EXPECT_EQ(ReadFile(ctx_, in, buffer.data(), 3000, &read), 0);
  EXPECT_EQ(read, 1124u) << "1024 + the 100 of the short chunk";
  EXPECT_EQ(WithCode(terminal_.sim().Requests(), 12).size(), 2u) << "no chunk after the short one";
}

TEST_F(FileCallsTest, ImplausibleReadAnswersEndTheReadWithoutRepositioning) {
  testing::WriteFile(terminal_.root() / "data.bin", RandomBytes(4096, 4));
  struct Case {
    const char* fault;
    std::uint32_t count;
  };
  const std::vector<Case> cases = {
      {"claim=1025:code=12", 1024},   // more than a chunk
      {"claim=101:code=12", 100},     // more than was asked for
      {"wronglen=20:code=12", 1024},  // length other than m + 8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::uint32_t in = Open(u"QMT:\\data.bin");
    terminal_.sim().ClearFaults();
    terminal_.sim().ClearLog();
    Fault(c.fault);
    std::vector<std::byte> buffer(c.count + 64, std::byte{0xEE});
    std::uint32_t read = 77;
    EXPECT_EQ(ReadFile(ctx_, in, buffer.data(), c.count, &read), 0);
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(std::all_of(buffer.begin() + c.count, buffer.end(),
                            [](std::byte b) { return b == std::byte{0xEE}; }));
    const auto log = terminal_.sim().Requests();
    EXPECT_EQ(WithCode(log, 12).size(), 1u);
    EXPECT_TRUE(WithCode(log, 23).empty());
    terminal_.sim().ClearFaults();
    EXPECT_EQ(CloseFile(ctx_, in), 1);
  }
}

TEST_F(FileCallsTest, LostChunkIsRepositionedAndSentAgainWithTheSameData) {
  const auto data = RandomBytes(5000, 5);
  for (const char* fault : {"drop:code=13#2", "ignore:code=13#2"}) {
    SCOPED_TRACE(fault);
    terminal_.sim().ClearFaults();
    terminal_.sim().ClearLog();
    std::filesystem::remove(terminal_.root() / "w.bin");
    Fault(fault);
    const std::uint32_t out = Create(u"QMT:\\w.bin");
    std::uint32_t written = 0;
    EXPECT_EQ(WriteFile(ctx_, out, data.data(), 5000, &written), 1);
    EXPECT_EQ(CloseFile(ctx_, out), 1);
    EXPECT_EQ(testing::ReadFile(terminal_.root() / "w.bin"), data) << "no doubled or missing bytes";

    const auto log = terminal_.sim().Requests();
    const auto chunks = WithCode(log, 13);
    const auto repositions = WithCode(log, 23);
    ASSERT_EQ(chunks.size(), 6u);
    ASSERT_EQ(repositions.size(), 1u);
    EXPECT_EQ(link::get_u32le(std::span(repositions[0]->payload).subspan(4)) & 0xFFFF,
              chunks[1]->sequence) << "the lost chunk's sequence number";
    EXPECT_EQ(chunks[2]->payload, chunks[1]->payload) << "the same chunk again";
    EXPECT_GT(chunks[2]->sequence, repositions[0]->sequence);
  }
}

TEST_F(FileCallsTest, LostReadAnswerIsReadAgainFromTheSamePlace) {
  const auto data = RandomBytes(3000, 6);
  testing::WriteFile(terminal_.root() / "r.bin", data);
  Fault("drop:code=12#2");
  const std::uint32_t in = Open(u"QMT:\\r.bin");
  std::vector<std::byte> buffer(3000);
  std::uint32_t read = 0;
  EXPECT_EQ(ReadFile(ctx_, in, buffer.data(), 3000, &read), 1);
  EXPECT_EQ(buffer, data);
  EXPECT_EQ(WithCode(terminal_.sim().Requests(), 23).size(), 1u);
}

// Every attempt of a chunk after the first follows a re-position that names
// the attempt before it; the re-position's own attempts all carry that same
// 32-bit value.
TEST_F(FileCallsTest, RetriesOfAChunkAndOfItsRepositionOnTheWire) {
  testing::WriteFile(terminal_.root() / "r.bin", RandomBytes(1024, 8));
  struct Case {
    const char* name;
    std::vector<const char*> faults;
    std::int32_t result;
    std::vector<int> codes;
  };
  const std::vector<Case> cases = {
      {"no chunk answered", {"ignore:code=12"}, 0, {12, 23, 12, 23, 12, 23, 12}},
      {"first re-position unanswered", {"drop:code=12#1", "ignore:code=23#1"}, 1, {12, 23, 23, 12}},
      {"no re-position answered", {"drop:code=12#1", "ignore:code=23"}, 0, {12, 23, 23, 23, 23}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint32_t in = Open(u"QMT:\\r.bin");
    // Past 16 bits: the re-position carries the whole counter.
    ctx_.set_sequence_counter(0x12344);
    terminal_.sim().ClearLog();
    for (const char* fault : c.faults) Fault(fault);
    std::vector<std::byte> buffer(1024);
    std::uint32_t read = 77;
    EXPECT_EQ(ReadFile(ctx_, in, buffer.data(), 1024, &read), c.result);
    EXPECT_EQ(read, c.result == 1 ? 1024u : 0u);
    terminal_.sim().ClearFaults();
    const auto log = terminal_.sim().Requests();
    std::vector<int> codes;
    for (const auto& r : log) codes.push_back(r.code);
    EXPECT_EQ(codes, c.codes);
    for (std::size_t i = 1; i < log.size(); ++i) {
      if (log[i].code != 23) continue;
      const auto* named = &log[i - 1];
      while (named->code == 23) --named;  // a repeated re-position names the same chunk
      EXPECT_EQ(link::get_u32le(std::span(log[i].payload).subspan(4)),
                0x12345u + static_cast<std::uint32_t>(named - log.data()))
          << "request " << i;
    }
    EXPECT_EQ(CloseFile(ctx_, in), 1);
  }
}

TEST_F(FileCallsTest, FailingRepositionEndsTheTransfer) {
  const auto data = RandomBytes(3000, 7);
  Fault("drop:code=13#2");
  Fault("wronglen=0:code=23");
  const std::uint32_t out = Create(u"QMT:\\f.bin");
  std::uint32_t written = 0;
  EXPECT_EQ(WriteFile(ctx_, out, data.data(), 3000, &written), 0);
  EXPECT_EQ(written, 1024u) << "only the chunk before the lost one";
  const auto log = terminal_.sim().Requests();
  EXPECT_EQ(WithCode(log, 13).size(), 2u) << "nothing after the failed re-position";
}

TEST_F(FileCallsTest, PathFieldCountsBytesAndRefusesWhatDoesNotFit) {
  struct Case {
    const char* name;
    std::u16string path;
    std::vector<std::byte> field;  // empty: refused, nothing sent
  };
  auto field_of = [](const std::string& bytes) {
    std::vector<std::byte> field{static_cast<std::byte>(bytes.size())};
    for (char c : bytes) field.push_back(static_cast<std::byte>(c));
    return field;
  };
  const std::vector<Case> cases = {
      {"empty", u"", Bytes({0})},
      {"255 bytes", std::u16string(255, u'p'), field_of(std::string(255, 'p'))},
      {"multi-byte characters", u"QMT:\\\u6587\u4EF6", field_of("QMT:\\\xE6\x96\x87\xE4\xBB\xB6")},
      {"256 bytes", std::u16string(256, u'p'), {}},
      {"128 two-byte characters", std::u16string(128, u'\u00E9'), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    terminal_.sim().ClearLog();
    CreateFileW(ctx_, c.path.c_str(), 0x11223344);
    DeleteFileW(ctx_, c.path.c_str());
    SetFileAttributesW(ctx_, c.path.c_str(), 0x01);
    if (c.field.empty()) {
      std::this_thread::sleep_for(100ms);
      EXPECT_TRUE(terminal_.sim().Requests().empty());
      continue;
    }
    const auto log = terminal_.sim().Requests();
    ASSERT_EQ(log.size(), 3u);
    auto with = [&](std::initializer_list<int> tail) {
      auto expected = c.field;
      for (int b : tail) expected.push_back(static_cast<std::byte>(b));
      return expected;
    };
    EXPECT_EQ(log[0].payload, with({0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(log[1].payload, c.field);
    EXPECT_EQ(log[2].payload, with({0x01, 0, 0, 0}));
  }
}

TEST_F(FileCallsTest, EightBitAndWideFormsSendIdenticalPayloads) {
  const std::string narrow = "QMT:\\d\xC3\xA9j\xC3\xA0.txt";
  const std::u16string wide = u"QMT:\\d\u00E9j\u00E0.txt";
  std::array<std::byte, 120> record{};
  const std::vector<std::function<void(bool)>> pairs = {
      [&](bool w) { w ? CreateFileW(ctx_, wide.c_str(), 7) : CreateFile(ctx_, narrow.c_str(), 7); },
      [&](bool w) { w ? OpenFileW(ctx_, wide.c_str(), 2) : OpenFile(ctx_, narrow.c_str(), 2); },
      [&](bool w) {
        w ? FindFirstFileW(ctx_, wide.c_str(), record.data())
          : FindFirstFile(ctx_, narrow.c_str(), record.data());
      },
      [&](bool w) { w ? GetFileAttributesW(ctx_, wide.c_str()) : GetFileAttributes(ctx_, narrow.c_str()); },
      [&](bool w) {
        w ? SetFileAttributesW(ctx_, wide.c_str(), 5) : SetFileAttributes(ctx_, narrow.c_str(), 5);
      },
      [&](bool w) { w ? CreateDirectoryW(ctx_, wide.c_str()) : CreateDirectory(ctx_, narrow.c_str()); },
      [&](bool w) { w ? RemoveDirectoryW(ctx_, wide.c_str()) : RemoveDirectory(ctx_, narrow.c_str()); },
      [&](bool w) { w ? DeleteFileW(ctx_, wide.c_str()) : DeleteFile(ctx_, narrow.c_str()); },
  };
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    terminal_.sim().ClearLog();
    pairs[i](true);
    pairs[i](false);
    const auto log = terminal_.sim().Requests();
    ASSERT_EQ(log.size(), 2u) << "pair " << i;
    EXPECT_EQ(log[0].code, log[1].code);
    EXPECT_EQ(log[0].payload, log[1].payload) << "pair " << i;
  }
  terminal_.sim().ClearLog();
  EXPECT_EQ(CreateFile(ctx_, std::string(256, 'x').c_str(), 0), -1) << "256 characters";
  EXPECT_EQ(DeleteFile(ctx_, nullptr), 0);
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(terminal_.sim().Requests().empty());
}

TEST_F(FileCallsTest, HandleCallsPassTheTerminalsWordsThrough) {
  testing::WriteFile(terminal_.root() / "h.bin", RandomBytes(5000, 8));
  EXPECT_EQ(CreateFileW(ctx_, u"QMT:\\h.bin", 0xC0000000), -1) << "the terminal answers -1";
  const std::uint32_t h = Open(u"QMT:\\h.bin");
  EXPECT_EQ(GetFileSize(ctx_, h), 5000);
  EXPECT_EQ(SetFilePointer(ctx_, h, -1000, 2), 4000);
  EXPECT_EQ(SetEndOfFile(ctx_, h), 1);
  EXPECT_EQ(GetFileSize(ctx_, h), 4000);
  EXPECT_EQ(std::filesystem::file_size(terminal_.root() / "h.bin"), 4000u);

  std::uint32_t creation = 1, access = 2, write = 3;
  const std::uint32_t when = 1700000000;
  terminal_.sim().ClearLog();
  EXPECT_EQ(SetFileTime(ctx_, h, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(terminal_.sim().Requests().back().payload,
            (std::vector<std::byte>{static_cast<std::byte>(h), {}, {}, {}, {}, {}, {}, {}, {}, {},
                                    {}, {}, {}, {}, {}, {}}));
  EXPECT_EQ(SetFileTime(ctx_, h, &when, &when, &when), 1);
  EXPECT_EQ(GetFileTime(ctx_, h, &creation, nullptr, &write), 1);
  EXPECT_EQ(write, when);
  EXPECT_NE(creation, 1u);
  EXPECT_EQ(access, 2u) << "a null pointer is skipped";

  std::uint32_t answer = 0;
  EXPECT_EQ(SetFilePosToPre(ctx_, h, 12345, &answer), 1);
  EXPECT_EQ(answer, 1u);
  EXPECT_EQ(CloseFile(ctx_, h), 1);
  EXPECT_EQ(CloseFile(ctx_, h), 0) << "the terminal's own 0 for an unknown handle";
}

TEST_F(FileCallsTest, FailureValuesOfEachCall) {
  const std::uint32_t h = Create(u"QMT:\\x.bin");
  struct Case {
    const char* name;
    std::function<std::int32_t()> call;
    std::int32_t failure;
  };
  std::uint32_t t = 0, answer = 0;
  const std::vector<Case> cases = {
      {"create", [&] { return CreateFileW(ctx_, u"QMT:\\y", 0); }, -1},
      {"open", [&] { return OpenFileW(ctx_, u"QMT:\\x.bin", 0); }, -1},
      {"close", [&] { return CloseFile(ctx_, h); }, 0},
      {"set pointer", [&] { return SetFilePointer(ctx_, h, 0, 0); }, 0},
      {"end of file", [&] { return SetEndOfFile(ctx_, h); }, 0},
      {"size", [&] { return GetFileSize(ctx_, h); }, 0},
      {"get time", [&] { return GetFileTime(ctx_, h, &t, &t, &t); }, 0},
      {"set time", [&] { return SetFileTime(ctx_, h, &t, &t, &t); }, 0},
      {"re-position", [&] { return SetFilePosToPre(ctx_, h, 1, &answer); }, 0},
  };
  for (const char* fault : {"wronglen@*", "ignore@*"}) {
    terminal_.sim().ClearFaults();
    terminal_.sim().AddFault(*ParseFault(fault));
    for (const auto& c : cases) {
      terminal_.sim().ClearLog();
      EXPECT_EQ(c.call(), c.failure) << c.name << " / " << fault;
      EXPECT_EQ(terminal_.sim().Requests().size(), fault[0] == 'w' ? 1u : 4u) << c.name;
    }
  }
}

}  // namespace
}  // namespace vork::api
