// The software's own ceiling: Vork against the terminal simulator over a
// virtual serial pair with no baud limit. Far above any serial line; it
// shows what the library itself costs per exchange and per byte.
//
//   vork-bench-pty [--calls N] [--chunk-mib N] [--copy-mib N]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "termsim_process.h"
#include "vork.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCom = 41;

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Throughput {
  double mib_per_s;
  double cpu_ms_per_mib;
};

template <typename F>
Throughput Measure(double mib, F&& work) {
  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  work();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  return {mib / wall, (CpuSeconds() - cpu) * 1000.0 / mib};
}

std::vector<char> RandomData(std::size_t bytes) {
  std::mt19937 random(7);
  std::vector<char> data(bytes);
  for (auto& c : data) c = static_cast<char>(random() & 0xFF);
  return data;
}

void Fail(const char* what) {
  std::fprintf(stderr, "vork-bench-pty: %s failed\n", what);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  int calls = 5000;
  int chunk_mib = 8;
  int copy_mib = 16;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (option == "--calls") calls = value;
    if (option == "--chunk-mib") chunk_mib = value;
    if (option == "--copy-mib") copy_mib = value;
  }
  char pattern[] = "/tmp/vork-bench-XXXXXX";
  const std::filesystem::path work = ::mkdtemp(pattern);
  std::filesystem::create_directories(work / "terminal");
  const auto link = work / "com";
  vork::bench::TermsimProcess terminal(work / "terminal", link);
  ::setenv(("VORK_COM" + std::to_string(kCom)).c_str(), link.c_str(), 1);

  std::printf("$ vork-bench-pty --calls %d --chunk-mib %d --copy-mib %d\n", calls, chunk_mib,
              copy_mib);
  std::printf("virtual serial pair, no baud limit, simulator in its own process\n\n");
  std::printf("%-36s %12s %12s\n", "exchange (QMT_GetVersion)", "median us", "p99 us");
  for (int compress : {0, 1}) {
    if (QMT_VorkInit(kCom, 115200, compress) != 1) Fail("QMT_VorkInit");
    std::vector<double> micros;
    std::uint32_t version[3];
    for (int i = 0; i < calls; ++i) {
      const auto start = Clock::now();
      if (QMT_GetVersion(version) != 1) Fail("QMT_GetVersion");
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    std::printf("%-36s %12.1f %12.1f\n", compress ? "  compression on" : "  compression off",
                micros[micros.size() / 2], micros[micros.size() * 99 / 100]);
  }

  std::printf("\n%-36s %12s %12s\n", "chunks (QMT_WriteFile/QMT_ReadFile)", "MiB/s", "CPU ms/MiB");
  const auto chunk_data = RandomData(static_cast<std::size_t>(chunk_mib) << 20);
  std::vector<char> back(chunk_data.size());
  for (int compress : {0, 1}) {
    if (QMT_VorkInit(kCom, 115200, compress) != 1) Fail("QMT_VorkInit");
    const std::int32_t out = QMT_CreateFile("QMT:\\chunks.bin", 0xC0000000);
    if (out == -1) Fail("QMT_CreateFile");
    std::uint32_t done = 0;
    const auto write = Measure(chunk_mib, [&] {
      if (QMT_WriteFile(static_cast<std::uint32_t>(out), chunk_data.data(),
                        static_cast<std::uint32_t>(chunk_data.size()), &done) != 1) {
        Fail("QMT_WriteFile");
      }
    });
    QMT_CloseFile(static_cast<std::uint32_t>(out));
    const std::int32_t in = QMT_OpenFile("QMT:\\chunks.bin", 2);
    const auto read = Measure(chunk_mib, [&] {
      if (QMT_ReadFile(static_cast<std::uint32_t>(in), back.data(),
                       static_cast<std::uint32_t>(back.size()), &done) != 1) {
        Fail("QMT_ReadFile");
      }
    });
    QMT_CloseFile(static_cast<std::uint32_t>(in));
    QMT_DeleteFile("QMT:\\chunks.bin");
    if (back != chunk_data) Fail("read-back comparison");
    const char* mode = compress ? "compression on" : "compression off";
    std::printf("  write %-2d MiB, %-22s %12.2f %12.1f\n", chunk_mib, mode, write.mib_per_s,
                write.cpu_ms_per_mib);
    std::printf("  read  %-2d MiB, %-22s %12.2f %12.1f\n", chunk_mib, mode, read.mib_per_s,
                read.cpu_ms_per_mib);
  }

  std::printf("\n%-36s %12s %12s\n", "whole file (QMT_CopyFile)", "MiB/s", "CPU ms/MiB");
  const auto copy_data = RandomData(static_cast<std::size_t>(copy_mib) << 20);
  {
    std::ofstream(work / "source.bin", std::ios::binary).write(copy_data.data(),
                                                               static_cast<long>(copy_data.size()));
  }
  for (int compress : {0, 1}) {
    if (QMT_VorkInit(kCom, 115200, compress) != 1) Fail("QMT_VorkInit");
    const auto up = Measure(copy_mib, [&] {
      if (QMT_CopyFile((work / "source.bin").c_str(), "QMT:\\copy.bin", 0) != 1) Fail("upload");
    });
    std::filesystem::remove(work / "back.bin");
    const auto down = Measure(copy_mib, [&] {
      if (QMT_CopyFile("QMT:\\copy.bin", (work / "back.bin").c_str(), 0) != 1) Fail("download");
    });
    if (std::filesystem::file_size(work / "back.bin") != copy_data.size()) Fail("copy size");
    const char* mode = compress ? "compression on" : "compression off";
    std::printf("  PC -> terminal %-2d MiB, %-15s %10.2f %12.1f\n", copy_mib, mode, up.mib_per_s,
                up.cpu_ms_per_mib);
    std::printf("  terminal -> PC %-2d MiB, %-15s %10.2f %12.1f\n", copy_mib, mode, down.mib_per_s,
                down.cpu_ms_per_mib);
  }
  QMT_VorkUninit();
  std::filesystem::remove_all(work);
  return 0;
}
