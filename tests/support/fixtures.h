// Shared test fixtures: a temporary folder, a virtual serial pair mapped to
// a COM number, and a simulated terminal on the far end of such a pair.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "pseudo_terminal.h"
#include "simulator.h"

namespace vork::testing {

using namespace std::chrono_literals;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A pseudo-terminal whose near end is COM<number> (through VORK_COM<number>)
// and whose far end the test drives by hand.
class VirtualSerialPair {
 public:
  explicit VirtualSerialPair(int number = 7);
  ~VirtualSerialPair();
  VirtualSerialPair(const VirtualSerialPair&) = delete;
  VirtualSerialPair& operator=(const VirtualSerialPair&) = delete;

  [[nodiscard]] int number() const { return number_; }
  [[nodiscard]] const std::string& device() const { return pty_.device(); }
  [[nodiscard]] int far_end() const { return pty_.far_end(); }
  tools::PseudoTerminal& pty() { return pty_; }

  // Writes bytes on the far end (they arrive on COM<number>).
  void Send(std::span<const std::byte> bytes) const;
  void Send(std::initializer_list<int> bytes) const;
  // Reads what arrives on the far end within `wait` after the first byte
  // (waiting up to `first` for it).
  std::vector<std::byte> Receive(std::chrono::milliseconds first = 1000ms,
                                 std::chrono::milliseconds settle = 50ms) const;

 private:
  int number_;
  tools::PseudoTerminal pty_;
};

// A terminal simulator serving a temporary folder on the far end of a
// virtual serial pair.
class SimulatedTerminal {
 public:
  explicit SimulatedTerminal(int number = 7,
                             termsim::AnswerCompression compression = termsim::AnswerCompression::kMirror);
  ~SimulatedTerminal();

  [[nodiscard]] int number() const { return number_; }
  [[nodiscard]] const std::filesystem::path& root() const { return root_.path(); }
  termsim::Simulator& sim() { return simulator_; }
  // Command codes of the requests received so far, in order.
  [[nodiscard]] std::vector<int> Codes() const;

 private:
  int number_;
  TempDir root_;
  tools::PseudoTerminal pty_;
  termsim::Simulator simulator_;
};

std::vector<std::byte> Bytes(std::initializer_list<int> values);
std::vector<std::byte> RandomBytes(std::size_t count, unsigned seed);
void WriteFile(const std::filesystem::path& path, std::span<const std::byte> bytes);
std::vector<std::byte> ReadFile(const std::filesystem::path& path);
// Open descriptors of this process, to find leaks.
std::size_t OpenDescriptorCount();

}  // namespace vork::testing
