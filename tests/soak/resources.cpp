#include "resources.h"

#include <chrono>
#include <filesystem>
#include <thread>

namespace vork::soak {

namespace {

std::size_t Entries(const char* folder) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Resources& r) {
  return out << r.descriptors << " descriptors, " << r.threads << " threads";
}

Resources Baseline() {
  std::thread([] {}).join();
  return Settled(Now());
}

Resources Now() { return {Entries("/proc/self/fd"), Entries("/proc/self/task")}; }

Resources Settled(const Resources& expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  Resources now = Now();
  while (!(now == expected) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    now = Now();
  }
  return now;
}

}  // namespace vork::soak
