#!/usr/bin/env bash
# Resource hygiene checks of libvork.so, in build-vg/ (g++, no sanitizer):
#   descriptors_and_threads   nothing left open or running after open/close
#                             cycles and failed or cut-off copies
#   valgrind_copy_both_ways   memcheck on a copy each way (compression off
#                             and on): no error, no definite, indirect or
#                             possible leak
# Exits non-zero when either fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-vg
cmake -S fuzz/hygiene -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target hygiene_tests >/dev/null
ctest --test-dir "$build" --output-on-failure
