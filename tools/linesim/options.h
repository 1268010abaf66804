// The command line of vork-linesim.
//
// Options take their value as the next argument or after '=' (--baud 9600,
// --baud=9600). Fault and latency options apply to both directions, or to
// one when the value starts with "ab:" (written on A, read on B) or "ba:";
// they may be repeated, a later one overriding an earlier one.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "relay.h"

namespace vork::linesim {

struct ProgramOptions {
  RelayConfig relay;
  std::string counters_file;  // empty: counters go to stderr
  bool control = false;       // take commands from stdin
  bool help = false;
};

struct ParseResult {
  std::optional<ProgramOptions> options;  // set on success
  std::string error;                      // why not, on failure
};

// Parses the arguments after the program name. Checks the whole relay
// configuration, so a result with options can be handed to Relay as it is.
[[nodiscard]] ParseResult ParseCommandLine(std::span<const std::string_view> args);

// The text printed for --help.
[[nodiscard]] std::string_view UsageText();

}  // namespace vork::linesim
