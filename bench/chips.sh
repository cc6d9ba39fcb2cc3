#!/usr/bin/env bash
# The stand-in chips of bench/run.sh, set up by hyperfine before each timed run (--prepare), so
# that the run times kilnload alone.
#   chips.sh BIN DIR BLOCKS COUNT [KILNLOAD-SIM OPTION...]
# Waits for the chips it started last in DIR to end and fails unless each has programmed BLOCKS
# blocks; then starts COUNT fresh ones of BIN with the options given, behind the links DIR/chip0,
# DIR/chip1, ... (listed in DIR/chips), and returns once every one is serving. A COUNT of 0 only
# checks the last ones.
set -euo pipefail
bin=$1 dir=$2 blocks=$3 count=$4
shift 4

# Each chip holds a shared lock on DIR/chips.lock while it runs, so the exclusive lock comes
# once the last of them has ended, its dump written and its link gone.
flock "$dir/chips.lock" true
if [ -f "$dir/chips" ]; then
  mapfile -t links <"$dir/chips"
  for i in "${!links[@]}"; do
    written=$(grep -c '^:10' "$dir/dump$i.hex" 2>/dev/null || true)
    if [ "${written:-0}" -ne "$blocks" ]; then
      echo "bench: chip $i programmed ${written:-0} of $blocks blocks" >&2
      exit 1
    fi
  done
  rm -f "$dir/chips" "$dir"/dump*.hex
fi

for ((i = 0; i < count; i++)); do
  rm -f "$dir/sim.out"
  mkfifo "$dir/sim.out"
  # A kilnload that never opens the line must not leave the bench waiting for the chip.
  (
    exec 9>>"$dir/chips.lock"
    flock -s 9
    exec "$bin/kilnload-sim" --once --exit-after 10 --link "$dir/chip$i" \
      --dump-program "$dir/dump$i.hex" "$@" >"$dir/sim.out" 2>>"$dir/sim.err"
  ) &
  # The chip serves, its link in place, once it has printed its terminal's path.
  read -r _ <"$dir/sim.out"
  echo "$dir/chip$i" >>"$dir/chips"
done
rm -f "$dir/sim.out"
