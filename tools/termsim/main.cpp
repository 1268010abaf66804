// vork-termsim: plays the terminal's service on a serial device.
//
//   vork-termsim --root DIR (--pty LINK | --device PATH [--baud N])
//                [--compress-answers mirror|never|always] [--fault RULE]...
//                [--request TEXT] [--commands]
//
// --pty makes a pseudo-terminal pair and links LINK to the PC-side device;
// --device serves a real port (or one end of the line simulator). Prints
// "ready <device>" once it serves. --request sends a one-key request first
// and prints "reply ok" or "reply none". --commands reads control lines on
// stdin: "request TEXT", "fault RULE", "quit". Ends on SIGINT or SIGTERM, or
// with status 1 when the device hangs up.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pseudo_terminal.h"
#include "serial_port.h"
#include "simulator.h"

namespace {

using vork::termsim::AnswerCompression;
using vork::termsim::Fault;
using vork::termsim::ParseFault;
using vork::termsim::Simulator;

constexpr std::chrono::milliseconds kReplyTimeout{5000};

struct Arguments {
  std::filesystem::path root;
  std::string pty_link;
  std::string device;
  int baud = 115200;
  AnswerCompression compression = AnswerCompression::kMirror;
  std::vector<Fault> faults;
  std::vector<std::string> requests;
  bool commands = false;
};

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "vork-termsim: " << problem << "\n"
            << "usage: vork-termsim --root DIR (--pty LINK | --device PATH [--baud N])\n"
            << "         [--compress-answers mirror|never|always] [--fault RULE]...\n"
            << "         [--request TEXT] [--commands]\n";
  std::exit(2);
}

Arguments Parse(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(option + " needs a value");
      return argv[++i];
    };
    if (option == "--root") {
      args.root = value();
    } else if (option == "--pty") {
      args.pty_link = value();
    } else if (option == "--device") {
      args.device = value();
    } else if (option == "--baud") {
      args.baud = std::atoi(value().c_str());
    } else if (option == "--compress-answers") {
      const std::string mode = value();
      if (mode == "mirror") {
        args.compression = AnswerCompression::kMirror;
      } else if (mode == "never") {
        args.compression = AnswerCompression::kNever;
      } else if (mode == "always") {
        args.compression = AnswerCompression::kAlways;
      } else {
        Usage("unknown --compress-answers mode " + mode);
      }
    } else if (option == "--fault") {
      const std::string text = value();
      const auto fault = ParseFault(text);
      if (!fault) Usage("malformed fault " + text);
      args.faults.push_back(*fault);
    } else if (option == "--request") {
      args.requests.push_back(value());
    } else if (option == "--commands") {
      args.commands = true;
    } else {
      Usage("unknown option " + option);
    }
  }
  if (args.root.empty()) Usage("--root is required");
  if (args.pty_link.empty() == args.device.empty()) Usage("give one of --pty and --device");
  if (args.baud <= 0) Usage("--baud must be positive");
  return args;
}

void Say(const std::string& line) {
  std::cout << line << std::endl;
}

void SendRequest(Simulator& simulator, const std::string& text) {
  Say(simulator.SendOneKeyRequest(text, kReplyTimeout) ? "reply ok" : "reply none");
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments args = Parse(argc, argv);
  std::error_code error;
  if (!std::filesystem::is_directory(args.root, error)) Usage("no folder " + args.root.string());

  // Signals are read from a signalfd below; no thread takes them otherwise.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);

  vork::link::Wakeup line_lost;
  Simulator simulator({args.root, args.compression, [&line_lost] { line_lost.Raise(); }});
  for (const Fault& fault : args.faults) simulator.AddFault(fault);

  std::optional<vork::tools::PseudoTerminal> pty;
  std::string device;
  try {
    if (!args.pty_link.empty()) {
      pty.emplace();
      device = pty->device();
      std::filesystem::remove(args.pty_link, error);
      std::filesystem::create_symlink(device, args.pty_link);
      simulator.Start(pty->TakeFarEnd());
    } else {
      vork::link::SerialPort::OpenError open_error{};
      auto port = vork::link::SerialPort::Open(args.device, open_error);
      if (!port.valid()) Usage("cannot open " + args.device);
      if (!port.Configure(args.baud)) Usage("cannot configure " + args.device);
      device = args.device;
      simulator.Start(port.Release());
    }
  } catch (const std::exception& e) {
    std::cerr << "vork-termsim: " << e.what() << "\n";
    return 1;
  }
  Say("ready " + device);

  for (const std::string& text : args.requests) SendRequest(simulator, text);

  if (args.commands) {
    // Control lines on stdin; a signal ends the process through its default
    // action being blocked, so watch for it beside the reading.
    std::thread reader([&] {
      std::string line;
      while (std::getline(std::cin, line)) {
        if (line == "quit") break;
        if (line.rfind("request ", 0) == 0) {
          SendRequest(simulator, line.substr(8));
        } else if (line.rfind("fault ", 0) == 0) {
          const auto fault = ParseFault(line.substr(6));
          if (fault) simulator.AddFault(*fault);
          Say(fault ? "fault added" : "fault malformed");
        } else if (!line.empty()) {
          Say("unknown command");
        }
      }
      kill(getpid(), SIGTERM);
    });
    reader.detach();
  }

  vork::link::UniqueFd signals(signalfd(-1, &ending, SFD_CLOEXEC));
  pollfd waits[2] = {{signals.get(), POLLIN, 0}, {line_lost.fd(), POLLIN, 0}};
  while (::poll(waits, 2, -1) < 0 && errno == EINTR) {
  }
  const bool lost = waits[1].revents != 0;
  simulator.Stop();
  if (!args.pty_link.empty()) std::filesystem::remove(args.pty_link, error);
  if (lost) std::cerr << "vork-termsim: the device hung up\n";
  std::cout.flush();
  // The stdin reader may still sit in a read; end without unwinding it.
  std::_Exit(lost ? 1 : 0);
}
