#!/usr/bin/env bash
# Throughput on a real-speed serial line: Vork against the terminal
# simulator, and ZMODEM (sz/rz), over the line simulator at 115200 and 9600
# baud. Prints a markdown table and the command that made it.
#
#   bench/line_bench.sh [--quick] [--out FILE] [--build-dir DIR]
#
# --quick      64 KiB at 115200 baud and 8 KiB at 9600 (a few minutes)
#              instead of 1 MiB and 64 KiB (about 25 minutes)
# --out FILE   also write the table to FILE
# --build-dir  the CMake build tree to use (default: build); made when
#              missing, and vork-bench-line built in it when missing or stale
#
# Installs the Debian packages it needs when they are missing (lrzsz for
# sz/rz, and the compiler, cmake and zlib for a fresh machine), as root or
# through sudo. Exit status 1 when any transfer failed or a file arrived
# different from the one sent.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
command="bench/line_bench.sh${*:+ $*}"

build="$root/build"
driver_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) driver_args+=(--quick) ;;
    --out)
      [ $# -ge 2 ] || { echo "line_bench.sh: --out needs a file" >&2; exit 2; }
      driver_args+=(--out "$2"); shift ;;
    --build-dir)
      [ $# -ge 2 ] || { echo "line_bench.sh: --build-dir needs a folder" >&2; exit 2; }
      build=$2; shift ;;
    *) echo "usage: bench/line_bench.sh [--quick] [--out FILE] [--build-dir DIR]" >&2; exit 2 ;;
  esac
  shift
done

install_missing() {
  local missing=()
  for package in lrzsz cmake make g++ zlib1g-dev; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  echo "Installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing
if [ ! -f "$build/CMakeCache.txt" ]; then
  # A tree of its own for the benchmark: neither the desktop program nor the
  # tests, so a fresh machine needs neither Qt nor GoogleTest.
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVORK_BUILD_KELVRA=OFF -DVORK_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target vork-bench-line -j"$(nproc)" >&2

echo "1-minute load average before the run: $(cut -d' ' -f1 /proc/loadavg)" >&2
exec "$build/bench/vork-bench-line" --command "$command" "${driver_args[@]}"
