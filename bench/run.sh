#!/usr/bin/env bash
# Measures kilnload against the stand-in chip and prints a small table:
#   (a) a whole "842" program image (3968 packets) on an unpaced line: host time per packet,
#       median of 5 runs;
#   (b) a 256-block image on a line paced like the real one (--line-rate): wall time against
#       the least the line allows, and kilnload's CPU time as a share of its wall time,
#       median of 3 runs.
# Run by hand: bash bench/run.sh. Takes about half a minute.
# KILNLOAD_BUILD=DIR measures the binaries in DIR instead of building build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/prepare.sh

# Writes an image of blocks 16-byte records from address 0, no block of them all zero.
make_image() {
  awk -v blocks="$1" 'BEGIN {
    for (block = 0; block < blocks; block++) {
      address = block * 16
      line = sprintf(":10%04X00", address)
      sum = 16 + int(address / 256) + address % 256
      for (i = 0; i < 16; i++) {
        byte = (block + i * 7) % 255 + 1
        line = line sprintf("%02X", byte)
        sum += byte
      }
      printf "%s%02X\n", line, (256 - sum % 256) % 256
    }
    print ":00000001FF"
  }' >"$2"
}

# The children's user and system time this shell has collected, in seconds, from the output of
# the times builtin in file (times must run in this shell, not in a subshell of it).
children_cpu() {
  awk 'NR == 2 {
    total = 0
    for (k = 1; k <= 2; k++) {
      split($k, ms, "m")
      total += ms[1] * 60 + substr(ms[2], 1, length(ms[2]) - 1)
    }
    printf "%.6f", total
  }' "$1"
}

# Writes image to a fresh stand-in chip with the given sim options and appends
# "wall-seconds cpu-seconds" to the file results; fails unless every block was programmed.
run_once() {
  local image=$1 blocks=$2 results=$3
  shift 3
  rm -f "$work/sim.out" "$work/dump.hex"
  mkfifo "$work/sim.out"
  # A kilnload that never opens the line must not leave the bench waiting for the chip.
  "$bin/kilnload-sim" --once --exit-after 10 --dump-program "$work/dump.hex" "$@" >"$work/sim.out" &
  sim=$!
  local tty
  read -r tty <"$work/sim.out"
  local cpu_before cpu_after started ended status=0
  times >"$work/times.before"
  started=$EPOCHREALTIME
  "$bin/kilnload" -w "$image" -p "$tty" >"$work/kilnload.out" 2>&1 || status=$?
  ended=$EPOCHREALTIME
  times >"$work/times.after"
  cpu_before=$(children_cpu "$work/times.before")
  cpu_after=$(children_cpu "$work/times.after")
  wait "$sim" || true
  sim=
  local written
  written=$(grep -c '^:10' "$work/dump.hex" || true)
  if [ "$status" -ne 0 ] || [ "$written" -ne "$blocks" ]; then
    echo "bench: run failed (kilnload status $status, $written of $blocks blocks programmed):" >&2
    cat "$work/kilnload.out" >&2
    exit 1
  fi
  awk -v a="$started" -v b="$ended" -v c="$cpu_before" -v d="$cpu_after" \
    'BEGIN { printf "%.6f %.6f\n", b - a, d - c }' >>"$results"
}

# The median of column column of the file.
median() {
  sort -n -k "$2" "$1" | awk -v col="$2" '{ v[NR] = $col }
    END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

full_blocks=$((63488 / 16))
paced_blocks=256
make_image "$full_blocks" "$work/full.hex"
make_image "$paced_blocks" "$work/paced.hex"

echo "kilnload benchmark: $(uname -sr), $(nproc) cores, binaries in $bin"
echo

: >"$work/unpaced"
for _ in 1 2 3 4 5; do
  run_once "$work/full.hex" "$full_blocks" "$work/unpaced"
done
: >"$work/paced"
for _ in 1 2 3; do
  run_once "$work/paced.hex" "$paced_blocks" "$work/paced" --line-rate
done

# The smallest and the largest of column column of the file.
spread() {
  sort -n -k "$2" "$1" | awk -v col="$2" 'NR == 1 { low = $col } { high = $col }
    END { printf "%.3f to %.3f", low, high }'
}

awk -v blocks="$full_blocks" -v wall="$(median "$work/unpaced" 1)" \
  -v cpu="$(median "$work/unpaced" 2)" -v spread="$(spread "$work/unpaced" 1)" 'BEGIN {
  printf "(a) whole \"842\" program image, %d packets, unpaced line, median of 5 runs\n", blocks
  printf "    %-34s %10.1f us\n", "wall time per packet", wall / blocks * 1e6
  printf "    %-34s %10.1f us\n", "kilnload CPU time per packet", cpu / blocks * 1e6
  printf "    %-34s %10.3f s  (runs: %s s)\n", "whole write, wall", wall, spread
}'
echo
# On the wire: per packet 24 bytes out and a 1-byte reply, and the identification's 4 out and
# 25 back, each byte 10 bit times at 9600 baud; the chip takes 2 ms to program a block.
awk -v blocks="$paced_blocks" -v wall="$(median "$work/paced" 1)" \
  -v cpu="$(median "$work/paced" 2)" -v spread="$(spread "$work/paced" 1)" 'BEGIN {
  bytes = blocks * (24 + 1) + 4 + 25
  line = bytes * 10 / 9600
  bound = line + blocks * 0.002
  printf "(b) %d-block image, paced line (--line-rate), median of 3 runs\n", blocks
  printf "    %-34s %10.3f s  (%d bytes at 9600 8N1 %.3f s + %d x 2 ms)\n", \
    "lower bound", bound, bytes, line, blocks
  printf "    %-34s %10.3f s  %+.2f %%   target within 2 %%\n", "kilnload wall time", wall, \
    (wall - bound) / bound * 100
  printf "    %-34s %10.3f ms (runs: %s s)\n", "  above the bound, per packet", \
    (wall - bound) / blocks * 1000, spread
  printf "    %-34s %10.3f s  %.2f %% of wall   target under 1 %%\n", "kilnload CPU time (user+sys)", \
    cpu, cpu / wall * 100
}'
