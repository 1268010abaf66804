#!/usr/bin/env bash
# One-key transfers with Kelvra against the simulated terminal.
#
#   tools/demo.sh BUILD_DIR [--stay]
#
# Starts the terminal simulator on a virtual serial pair (COM1, through
# VORK_COM1) with a few sample files, starts Kelvra on it from a fresh program
# folder, lets the terminal press its key for one upload and one download,
# shows where the files went, and ends. Kelvra opens its window when $DISPLAY
# is set and runs on Qt's offscreen platform otherwise; its status lines are
# echoed here either way.
#
# --stay keeps both running: type a one-key request (e.g. @readme.txt# or
# $price-list.txt#) and the terminal sends it; Ctrl+D or Ctrl+C ends.
# The build itself is the caller's (./dev demo builds first).
set -euo pipefail

build=${1:?usage: tools/demo.sh BUILD_DIR [--stay]}
stay=0
if [ "${2:-}" = "--stay" ]; then
  stay=1
elif [ -n "${2:-}" ]; then
  echo "usage: tools/demo.sh BUILD_DIR [--stay]" >&2
  exit 2
fi
build=$(cd "$build" && pwd)
sim=$build/tools/termsim/vork-termsim
kelvra=$build/kelvra/kelvra
for program in "$sim" "$kelvra"; do
  [ -x "$program" ] || { echo "demo: $program is missing: build first" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-demo.XXXXXX")
sim_pid="" kelvra_pid="" echo_pid=""
cleanup() {
  local status=$?
  set +e
  # Kelvra closes its window on SIGTERM; the simulator ends on "quit".
  if [ -n "$kelvra_pid" ]; then
    kill -TERM "$kelvra_pid" 2>/dev/null
    wait "$kelvra_pid" 2>/dev/null
  fi
  { echo quit >&3; } 2>/dev/null
  [ -n "$sim_pid" ] && wait "$sim_pid" 2>/dev/null
  if [ -n "$echo_pid" ]; then
    kill "$echo_pid" 2>/dev/null
    wait "$echo_pid" 2>/dev/null
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# await FILE TEXT [COUNT] [SECONDS]: until FILE holds the line part TEXT COUNT
# times; false when the time runs out first.
await() {
  local found
  found=$(timeout "${4:-30}" tail -n +1 -f "$1" 2>/dev/null | grep -c -m "${3:-1}" -F -- "$2" || true)
  [ "${found:-0}" -ge "${3:-1}" ]
}
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# The terminal's files, and the PC's folder to download from.
mkdir -p "$work/terminal" "$work/program/Download"
printf 'Hello from the terminal.\nThis file travelled over the serial line.\n' >"$work/terminal/readme.txt"
{
  echo "code;count"
  for i in $(seq 1 400); do echo "ITEM-$i;$((i * 7 % 13))"; done
} >"$work/terminal/scan-0001.csv"
printf 'apples;1.20\npears;0.95\nplums;2.10\n' >"$work/program/Download/price-list.txt"
# Kelvra keeps setup.ini, Upload/ and Download/ beside itself: give it a
# program folder of its own.
cp "$kelvra" "$work/program/kelvra"

say "Terminal simulator on a virtual serial pair"
mkfifo "$work/sim.in"
"$sim" --root "$work/terminal" --pty "$work/com1" --commands <"$work/sim.in" >"$work/sim.out" 2>&1 &
sim_pid=$!
exec 3>"$work/sim.in"
await "$work/sim.out" "ready" 1 10 || { cat "$work/sim.out"; exit 1; }
echo "terminal: $(head -n 1 "$work/sim.out"), serving $work/terminal"
export VORK_COM1=$work/com1
echo "COM1 is $VORK_COM1"

say "Kelvra ($([ -n "${DISPLAY:-}" ] && echo "window on $DISPLAY" || echo "offscreen, no display"))"
KELVRA_ECHO=1 "$work/program/kelvra" >"$work/kelvra.out" 2>&1 &
kelvra_pid=$!
tail -n +1 -f "$work/kelvra.out" &
echo_pid=$!
if ! await "$work/kelvra.out" "kelvra: listening on COM1" 1 20; then
  echo "demo: Kelvra is not listening on COM1" >&2
  exit 1
fi

# press TEXT N: the terminal sends TEXT; waits for the reply and the N-th end of job.
press() {
  say "The terminal's key: request $1"
  echo "request $1" >&3
  local replies=$(($2))
  await "$work/sim.out" "reply " "$replies" 10 || { echo "demo: no reply" >&2; exit 1; }
  echo "terminal: $(grep "^reply " "$work/sim.out" | sed -n "${replies}p")"
  await "$work/kelvra.out" "kelvra: [Idlesse]" "$2" 30 || { echo "demo: the job did not end" >&2; exit 1; }
}
press '@readme.txt;scan-0001.csv#' 1
press '$price-list.txt#' 2

say "Where the files went"
status=0
show() {  # show FROM TO
  if cmp -s "$1" "$2"; then
    printf '  %s\n    -> %s  (%s bytes, identical)\n' "$1" "$2" "$(stat -c %s "$2")"
  else
    printf '  %s\n    -> %s  MISSING OR DIFFERENT\n' "$1" "$2"
    status=1
  fi
}
echo "Uploads, terminal -> PC (Kelvra's Upload folder):"
show "$work/terminal/readme.txt" "$work/program/Upload/readme.txt"
show "$work/terminal/scan-0001.csv" "$work/program/Upload/scan-0001.csv"
echo "Download, PC -> terminal (the terminal's root, QMT:\\):"
show "$work/program/Download/price-list.txt" "$work/terminal/price-list.txt"
echo "Kelvra's settings: $work/program/setup.ini"

if [ "$stay" = 1 ]; then
  say "Still running. Type a request (@name# uploads, \$name# downloads, names separated by ;)"
  echo "Terminal files: $work/terminal   PC folders: $work/program/{Upload,Download}"
  n=$(grep -c '^reply ' "$work/sim.out" || true)
  while kill -0 "$kelvra_pid" 2>/dev/null && IFS= read -r -p "request> " line; do
    [ -z "$line" ] && continue
    echo "request $line" >&3
    n=$((n + 1))
    await "$work/sim.out" "reply " "$n" 10 && grep '^reply ' "$work/sim.out" | sed -n "${n}p"
  done
fi
exit "$status"
