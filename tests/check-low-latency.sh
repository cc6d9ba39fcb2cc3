#!/usr/bin/env bash
# kilnload -v against the stand-in chip with SHIM (tests/serial_shim.c) preloaded, from BIN_DIR.
# Each row: the line's flags, the calls the shim refuses, and the calls and writes on the line it
# must log, parted by |. Whatever the shim does, kilnload prints and ends as it does without it.
set -u
shim=$1 PATH=$2:$PATH work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Runs kilnload -v on a fresh chip behind the words given; its streams and status go to $work/$1.*.
run() {
  local name=$1
  shift
  kilnload-sim --once --exit-after 10 | { read -r tty; "$@" kilnload -v -p "$tty" \
    >"$work/$name.out" 2>"$work/$name.err"; echo $? >"$work/$name.status"; }
}
run plain env
failed=0
[ "$(cat "$work"/plain.{out,status,err})" = $'kilnload ver.0.1\nOK: ADI 842 KS 2.3\n0' ] || failed=1
while IFS='|' read -r flags refuse calls; do
  : >"$work/log"
  run shim env LD_PRELOAD="$shim" SERIAL_SHIM_LOG="$work/log" SERIAL_SHIM_FLAGS="$flags" \
    SERIAL_SHIM_REFUSE="$refuse"
  for stream in out err status; do
    cmp "$work"/{plain,shim}.$stream || failed=1
  done
  logged=$(paste -sd '|' "$work/log")
  [ "$logged" = "$calls" ] || { echo "flags $flags, refused $refuse: $logged"; failed=1; }
done <<'ROWS'
0x10000040||get 0x10000040|set 0x10002040|write 0x4|get 0x10002040|set 0x10000040
0x2000||get 0x2000|write 0x4
0x40|get|get 0x40 refused|write 0x4
0x40|set|get 0x40|set 0x2040 refused|write 0x4
ROWS
exit $failed
