#!/usr/bin/env bash
# Pictures Kelvra's window during a job, under a private Xvfb display.
#
#   tools/kelvra-screenshot.sh BUILD_DIR [OUT.png]     (default docs/kelvra-window.png)
#
# The simulated terminal asks for two uploads and holds back one answer of
# the second (a read chunk answered 3 s late), so the picture shows the first
# file done and the second under way. Needs Xvfb (package xvfb) and the
# build's kelvra, kelvra-grab and vork-termsim.
set -euo pipefail

build=${1:?usage: tools/kelvra-screenshot.sh BUILD_DIR [OUT.png]}
out=${2:-$(dirname "$0")/../docs/kelvra-window.png}
build=$(cd "$build" && pwd)
mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
sim=$build/tools/termsim/vork-termsim
kelvra=$build/kelvra/kelvra
grab=$build/kelvra/kelvra-grab
for program in "$sim" "$kelvra" "$grab"; do
  [ -x "$program" ] || { echo "screenshot: $program is missing: build first" >&2; exit 1; }
done
command -v Xvfb >/dev/null || { echo "screenshot: Xvfb is missing (apt-get install xvfb)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-shot.XXXXXX")
xvfb_pid="" sim_pid="" kelvra_pid=""
cleanup() {
  set +e
  [ -n "$kelvra_pid" ] && kill -TERM "$kelvra_pid" 2>/dev/null && wait "$kelvra_pid" 2>/dev/null
  { echo quit >&3; } 2>/dev/null
  [ -n "$sim_pid" ] && wait "$sim_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

await() {  # await FILE TEXT [SECONDS]
  local found
  found=$(timeout "${3:-20}" tail -n +1 -f "$1" 2>/dev/null | grep -c -m 1 -F -- "$2" || true)
  [ "${found:-0}" -ge 1 ]
}

# A screen the size of the window: the centred window fills it.
Xvfb -displayfd 4 -screen 0 527x308x24 -nolisten tcp 4>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
await "$work/display" "" 10 || { cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$work/display")

mkdir -p "$work/terminal" "$work/program"
printf 'Hello from the terminal.\n' >"$work/terminal/readme.txt"
head -c 200000 /dev/urandom >"$work/terminal/scan-0002.dat"
cp "$kelvra" "$work/program/kelvra"

mkfifo "$work/sim.in"
"$sim" --root "$work/terminal" --pty "$work/com1" --commands \
  --fault 'late=3000:code=12#3' <"$work/sim.in" >"$work/sim.out" 2>&1 &
sim_pid=$!
exec 3>"$work/sim.in"
await "$work/sim.out" "ready" 10 || { cat "$work/sim.out" >&2; exit 1; }

VORK_COM1=$work/com1 KELVRA_ECHO=1 "$work/program/kelvra" >"$work/kelvra.out" 2>&1 &
kelvra_pid=$!
await "$work/kelvra.out" "kelvra: listening on COM1" 20 || { cat "$work/kelvra.out" >&2; exit 1; }

echo 'request @readme.txt;scan-0002.dat#' >&3
await "$work/kelvra.out" "kelvra: + Uploading -> scan-0002.dat" 20 || { cat "$work/kelvra.out" >&2; exit 1; }
sleep 0.5  # let the window paint the line it has just added
"$grab" "$out"
echo "screenshot: $out"
