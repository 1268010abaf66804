#include "frames.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "compression.h"
#include "comma_list.h"
#include "corpus.h"
#include "fault_injector.h"
#include "frame_codec.h"
#include "wire.h"

namespace vork::soak {

namespace {

using linesim::FaultInjector;
using linesim::FaultRates;

constexpr std::uint16_t kReadChunkCode = 12;
constexpr std::uint32_t kChunkBytes = 1024;

struct FrameOptions {
  std::vector<std::string> kinds = {"flip", "drop", "noise", "mix"};
  std::vector<double> rates = {1e-4, 1e-5};
  std::uint64_t frames = 1'000'000;
  std::uint64_t seed = 1;
  int threads = 2;
  std::vector<bool> compressed = {false, true};
};

void FrameUsage(std::ostream& out) {
  out << R"(usage: vork-soak --frames [--kinds LIST] [--rates LIST] [--bodies plain|compressed|both]
                         [--count N] [--seed N] [--threads N]

Sends N data-chunk frames per setting (kind x rate x plain/compressed x
random/text data) through the line's fault generator into the link's frame
receiver, and counts intact, refused and silent (accepted, wrong) frames.
Defaults: flip,drop,noise,mix at 1e-4,1e-5; 1000000 frames; 2 threads.
)";
}

// Serves one frame's bytes as the line delivered them, then nothing: the
// far end waits for its answer, so a frame that wants more bytes stalls.
class Burst final : public link::ByteSource {
 public:
  void Load(std::span<const std::byte> bytes) {
    bytes_ = bytes;
    at_ = 0;
  }
  std::size_t ReadMore(std::span<std::byte> into) override {
    const std::size_t n = std::min(into.size(), bytes_.size() - at_);
    std::memcpy(into.data(), bytes_.data() + at_, n);
    at_ += n;
    return n;
  }
  [[nodiscard]] bool empty() const { return at_ == bytes_.size(); }

 private:
  std::span<const std::byte> bytes_;
  std::size_t at_ = 0;
};

struct Faults {
  unsigned flips = 0;
  unsigned drops = 0;
  unsigned bursts = 0;
  [[nodiscard]] bool any() const { return flips + drops + bursts > 0; }
  [[nodiscard]] std::string Describe() const {
    std::string text;
    auto add = [&](unsigned n, const char* what) {
      if (n == 0) return;
      if (!text.empty()) text += "+";
      text += std::to_string(n) + what;
    };
    add(flips, "flip");
    add(drops, "drop");
    add(bursts, "burst");
    return text;
  }
};

struct FrameTally {
  std::uint64_t frames = 0;
  std::uint64_t faulted = 0;
  std::uint64_t intact = 0;
  std::uint64_t refused = 0;
  std::uint64_t silent = 0;
  std::uint64_t wire_bytes = 0;
  std::uint64_t silent_followed = 0;  // silent frames with more bytes of their burst after them
  std::uint64_t header_caught = 0;    // frames whose damage passed the check byte, not the header
  std::map<std::string, std::uint64_t> silent_by_faults;
  std::map<std::string, std::uint64_t> faulted_by_faults;

  void Merge(const FrameTally& o) {
    frames += o.frames;
    faulted += o.faulted;
    intact += o.intact;
    refused += o.refused;
    silent += o.silent;
    wire_bytes += o.wire_bytes;
    silent_followed += o.silent_followed;
    header_caught += o.header_caught;
    for (const auto& [k, v] : o.silent_by_faults) silent_by_faults[k] += v;
    for (const auto& [k, v] : o.faulted_by_faults) faulted_by_faults[k] += v;
  }
};

struct Setting {
  std::string kind;
  double rate = 0;
  bool compressed = false;
  Content content = Content::kRandom;
};

// What the exchange and the read chunk accept as the answer to `sent`.
bool Accepted(std::span<const std::byte> message, std::uint16_t sequence) {
  if (message.size() < link::kHeaderBytes || message[0] != link::kTypeResponse) return false;
  const auto header = link::ReadHeader(message);
  if (header.code != kReadChunkCode || header.sequence != sequence) return false;
  if (header.payload_length > link::kMaxPayloadBytes) return false;
  if (message.size() != link::kHeaderBytes + header.payload_length) return false;
  const auto payload = message.subspan(link::kHeaderBytes);
  if (payload.size() < 8) return false;
  const std::uint32_t m = link::get_u32le(payload);
  return m <= kChunkBytes && payload.size() == m + 8;
}

FrameTally Measure(const Setting& setting, std::uint64_t frames, std::uint64_t seed,
                   std::span<const std::byte> data) {
  FaultRates rates;
  const bool mix = setting.kind == "mix";
  if (setting.kind == "flip" || mix) rates.flip = setting.rate;
  if (setting.kind == "drop" || mix) rates.drop = setting.rate;
  if (setting.kind == "noise" || mix) rates.noise = setting.rate;
  FaultInjector injector(rates, seed, linesim::Direction::kBToA);
  std::mt19937_64 pick(seed);
  link::Compressor compressor;
  Burst burst;
  link::FrameReceiver receiver(burst);
  std::vector<std::byte> message(link::kHeaderBytes + 8 + kChunkBytes);
  std::array<std::byte, link::kMaxMessageBytes> body{};
  std::array<std::byte, link::kFrameAreaBytes> frame{};
  std::vector<std::byte> wire;
  FrameTally tally;

  for (std::uint64_t i = 0; i < frames; ++i) {
    const auto sequence = static_cast<std::uint16_t>(seed + i);
    link::WriteHeader(message, {link::kTypeResponse, kReadChunkCode, sequence,
                                static_cast<std::uint16_t>(8 + kChunkBytes)});
    auto payload = std::span(message).subspan(link::kHeaderBytes);
    link::put_u32le(payload, kChunkBytes);
    const std::size_t offset = pick() % (data.size() - kChunkBytes);
    std::memcpy(payload.data() + 4, data.data() + offset, kChunkBytes);
    link::put_u32le(payload.subspan(4 + kChunkBytes), 1);

    std::size_t body_length = message.size();
    if (setting.compressed) {
      body_length = compressor.CompressBody(message, body);
    } else {
      std::memcpy(body.data(), message.data(), message.size());
    }
    const std::size_t frame_length = link::BuildFrame({body.data(), body_length}, frame);

    Faults faults;
    wire.clear();
    for (std::size_t k = 0; k < frame_length; ++k) {
      if (const unsigned n = injector.NoiseBurstLength(); n > 0) {
        ++faults.bursts;
        for (unsigned j = 0; j < n; ++j) wire.push_back(injector.NoiseByte());
      }
      if (injector.Drop()) {
        ++faults.drops;
        continue;
      }
      std::byte value = frame[k];
      if (injector.Flip(value)) ++faults.flips;
      wire.push_back(value);
    }
    ++tally.frames;
    tally.wire_bytes += frame_length;
    if (!faults.any()) {
      ++tally.intact;  // the receiver's clean path is what the link tests cover
      continue;
    }
    ++tally.faulted;
    ++tally.faulted_by_faults[faults.Describe()];

    // As the receiver thread does: read, take frames while bytes are at hand.
    burst.Load(wire);
    receiver.Discard();
    bool accepted = false, followed = false, caught = false;
    std::vector<std::byte> got;
    for (;;) {
      if (!receiver.HasBufferedBytes()) {
        const std::size_t n = burst.ReadMore(receiver.RawArea());
        if (n == 0) break;
        receiver.Accept(n);
      }
      if (!receiver.ReceiveFrame() || accepted) continue;
      if (Accepted(receiver.message(), sequence)) {
        accepted = true;
        got.assign(receiver.message().begin(), receiver.message().end());
        followed = receiver.HasBufferedBytes() || !burst.empty();
      } else {
        caught = true;
      }
    }
    if (!accepted) {
      ++tally.refused;
      if (caught) ++tally.header_caught;
    } else if (std::equal(got.begin(), got.end(), message.begin(), message.end())) {
      ++tally.intact;
    } else {
      ++tally.silent;
      ++tally.silent_by_faults[faults.Describe()];
      if (followed) ++tally.silent_followed;
    }
  }
  return tally;
}

}  // namespace

int RunFrames(int argc, char** argv) {
  FrameOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        FrameUsage(std::cerr);
        std::exit(2);
      }
      return argv[++i];
    };
    try {
      if (option == "--help" || option == "-h") {
        FrameUsage(std::cout);
        return 0;
      } else if (option == "--kinds") {
        o.kinds = SplitCommaList(value());
      } else if (option == "--rates") {
        o.rates.clear();
        for (const auto& r : SplitCommaList(value())) o.rates.push_back(std::stod(r));
      } else if (option == "--bodies") {
        const std::string bodies = value();
        if (bodies == "plain") {
          o.compressed = {false};
        } else if (bodies == "compressed") {
          o.compressed = {true};
        } else if (bodies == "both") {
          o.compressed = {false, true};
        } else {
          throw std::invalid_argument(bodies);
        }
      } else if (option == "--count") {
        o.frames = std::stoull(value());
      } else if (option == "--seed") {
        o.seed = std::stoull(value());
      } else if (option == "--threads") {
        o.threads = std::max(1, std::stoi(value()));
      } else {
        throw std::invalid_argument(option);
      }
    } catch (const std::exception&) {
      std::cerr << "vork-soak --frames: bad option " << option << "\n";
      FrameUsage(std::cerr);
      return 2;
    }
  }
  for (const auto& k : o.kinds) {
    if (k != "flip" && k != "drop" && k != "noise" && k != "mix") {
      std::cerr << "vork-soak --frames: unknown kind " << k << "\n";
      return 2;
    }
  }

  // 1 MiB of each kind of data; every frame takes a chunk at a random offset.
  const std::size_t sizes[] = {1 << 20, 1 << 20};
  const Corpus data(sizes, o.seed);

  std::printf("%-6s %-6s %-10s %-7s %9s %8s %9s %8s %7s %6s %10s %10s %8s %9s  %s\n", "kind",
              "rate", "body", "data", "frames", "faulted", "intact", "refused", "by-head", "silent",
              "silent/fr", "sil/fault", "wire-B", "followed",
              "silent by faults met (of frames that met them)");
  std::uint64_t setting_index = 0;
  for (double rate : o.rates) {
    for (const auto& kind : o.kinds) {
      for (bool compressed : o.compressed) {
        for (Content content : {Content::kRandom, Content::kText}) {
          const Setting setting{kind, rate, compressed, content};
          const auto& bytes = data.files()[content == Content::kRandom ? 0 : 1].bytes;
          FrameTally total;
          std::mutex merge;
          std::vector<std::thread> threads;
          for (int t = 0; t < o.threads; ++t) {
            threads.emplace_back([&, t] {
              const auto threads_count = static_cast<std::uint64_t>(o.threads);
              const auto index = static_cast<std::uint64_t>(t);
              const std::uint64_t share =
                  o.frames / threads_count + (index < o.frames % threads_count ? 1U : 0U);
              const std::uint64_t seed =
                  o.seed * std::uint64_t{1000003} + setting_index * std::uint64_t{131} + index;
              const FrameTally part = Measure(setting, share, seed, bytes);
              std::lock_guard lock(merge);
              total.Merge(part);
            });
          }
          for (auto& thread : threads) thread.join();
          ++setting_index;

          std::string by;
          for (const auto& [faults, n] : total.silent_by_faults) {
            if (!by.empty()) by += ", ";
            by += faults + ": " + std::to_string(n) + " (of " +
                  std::to_string(total.faulted_by_faults[faults]) + ")";
          }
          const auto d = [](std::uint64_t v) { return static_cast<double>(v); };
          std::printf("%-6s %-6.0e %-10s %-7s %9llu %8llu %9llu %8llu %7llu %6llu %10.3e %10.3e %8.1f %9llu  %s\n",
                      kind.c_str(), rate, compressed ? "compressed" : "plain",
                      content == Content::kRandom ? "random" : "text",
                      static_cast<unsigned long long>(total.frames),
                      static_cast<unsigned long long>(total.faulted),
                      static_cast<unsigned long long>(total.intact),
                      static_cast<unsigned long long>(total.refused),
                      static_cast<unsigned long long>(total.header_caught),
                      static_cast<unsigned long long>(total.silent),
                      d(total.silent) / d(std::max<std::uint64_t>(total.frames, 1)),
                      d(total.silent) / d(std::max<std::uint64_t>(total.faulted, 1)),
                      d(total.wire_bytes) / d(std::max<std::uint64_t>(total.frames, 1)),
                      static_cast<unsigned long long>(total.silent_followed), by.c_str());
          std::fflush(stdout);
        }
      }
    }
  }
  return 0;
}

}  // namespace vork::soak
