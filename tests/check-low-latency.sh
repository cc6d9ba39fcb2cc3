#!/usr/bin/env bash
# kilnload -v against the stand-in chip, from BIN_DIR, with SHIM (serial_shim.c) preloaded. Each
# row: the line's flags, the calls the shim refuses, and what it must log of the calls and writes
# on the line. Whatever the shim does, kilnload prints and ends as it does without it.
set -u
shim=$1 PATH=$2:$PATH log=$(mktemp)
trap 'rm -f "$log" "$log.err"' EXIT
# A sanitizer runtime linked as a shared library refuses to start behind a preloaded one.
LD_PRELOAD=$shim kilnload >/dev/null 2>&1 || { echo "kilnload will not start preloaded"; exit 77; }
# Prints kilnload's output, status and error output on a fresh chip, run behind the words given.
run() {
  kilnload-sim --once --exit-after 10 | { read -r tty; "$@" kilnload -v -p "$tty" 2>"$log.err"
    echo "status $?, error output: $(cat "$log.err")"; } 9>"$log"
}
plain=$(run) failed=0
[ "$plain" = $'kilnload ver.0.1\nOK: ADI 842 KS 2.3\nstatus 0, error output: ' ] || failed=1
while IFS='|' read -r flags refuse calls; do
  shimmed=$(run env LD_PRELOAD="$shim" SERIAL_SHIM_FLAGS="$flags" SERIAL_SHIM_REFUSE="$refuse")
  [ "$shimmed|$(paste -sd '|' "$log")" = "$plain|$calls" ] || { echo "$shimmed"; cat "$log"; failed=1; }
done <<'ROWS'
0x10000040||get 0x10000040|set 0x10002040|write 0x4|get 0x10002040|set 0x10000040
0x2000||get 0x2000|write 0x4
0x40|get|get 0x40 refused|write 0x4
0x40|set|get 0x40|set 0x2040 refused|write 0x4
ROWS
exit $failed
