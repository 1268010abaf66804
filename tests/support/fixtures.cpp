#include "fixtures.h"

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <cstring>
#include <random>
#include <stdexcept>

namespace vork::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vork-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

VirtualSerialPair::VirtualSerialPair(int number) : number_(number) {
  ::setenv(("VORK_COM" + std::to_string(number)).c_str(), pty_.device().c_str(), 1);
}

VirtualSerialPair::~VirtualSerialPair() {
  ::unsetenv(("VORK_COM" + std::to_string(number_)).c_str());
}

void VirtualSerialPair::Send(std::span<const std::byte> bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(far_end(), bytes.data() + done, bytes.size() - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
    } else {
      pollfd out = {far_end(), POLLOUT, 0};
      ::poll(&out, 1, 100);
    }
  }
}

void VirtualSerialPair::Send(std::initializer_list<int> bytes) const { Send(Bytes(bytes)); }

std::vector<std::byte> VirtualSerialPair::Receive(std::chrono::milliseconds first,
                                                  std::chrono::milliseconds settle) const {
  std::vector<std::byte> got;
  auto wait = first;
  for (;;) {
    pollfd in = {far_end(), POLLIN, 0};
    if (::poll(&in, 1, static_cast<int>(wait.count())) <= 0) return got;
    std::byte buffer[4096];
    const ssize_t n = ::read(far_end(), buffer, sizeof buffer);
    if (n <= 0) return got;
    got.insert(got.end(), buffer, buffer + n);
    wait = settle;
  }
}

SimulatedTerminal::SimulatedTerminal(int number, termsim::AnswerCompression compression)
    : number_(number), simulator_({root_.path(), compression}) {
  ::setenv(("VORK_COM" + std::to_string(number)).c_str(), pty_.device().c_str(), 1);
  simulator_.Start(pty_.TakeFarEnd());
}

SimulatedTerminal::~SimulatedTerminal() {
  simulator_.Stop();
  ::unsetenv(("VORK_COM" + std::to_string(number_)).c_str());
}

std::vector<int> SimulatedTerminal::Codes() const {
  std::vector<int> codes;
  for (const auto& request : simulator_.Requests()) codes.push_back(request.code);
  return codes;
}

std::vector<std::byte> Bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

std::vector<std::byte> RandomBytes(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::byte> out(count);
  for (auto& b : out) b = static_cast<std::byte>(random() & 0xFF);
  return out;
}

void WriteFile(const std::filesystem::path& path, std::span<const std::byte> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::byte> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> out(chars.size());
  if (!chars.empty()) std::memcpy(out.data(), chars.data(), chars.size());
  return out;
}

std::size_t OpenDescriptorCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

}  // namespace vork::testing
