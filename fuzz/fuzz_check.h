// The fuzz targets' one assertion: a broken invariant stops the run with a
// message and a stack, so libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace vork::fuzz {

[[noreturn]] inline void InvariantBroken(const char* what, const char* file, int line) {
  std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", what, file, line);
  std::abort();
}

}  // namespace vork::fuzz

// A macro, for the text and place of the condition; no hidden return.
#define FUZZ_CHECK(condition)                                        \
  do {                                                               \
    if (!(condition))                                                \
      ::vork::fuzz::InvariantBroken(#condition, __FILE__, __LINE__); \
  } while (0)

#define FUZZ_FAIL(what) ::vork::fuzz::InvariantBroken(what, __FILE__, __LINE__)
