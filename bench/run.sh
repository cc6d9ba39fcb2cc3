#!/usr/bin/env bash
# Measures kilnload against the stand-in chip and prints a small table:
#   (a) a whole "842" program image (3968 packets) on an unpaced line: host time per packet,
#       median of 5 runs;
#   (b) a 256-block image on a line paced like the real one (--line-rate), behind an adapter
#       that holds each reply 0, 1 and 16 ms (--adapter-latency): wall time against the least
#       the line and the adapter allow, median of 3 runs each, kilnload's CPU time as a share of
#       its wall time, and the time a whole "842" image would take at each latency;
#   (c) 8 boards at once, each a paced chip with its own kilnload writing the 256-block image:
#       the wall time of all of them against one run alone, median of 3 rounds.
# Run by hand: bash bench/run.sh. Takes about two minutes.
# KILNLOAD_BUILD=DIR measures the binaries in DIR instead of building build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/prepare.sh
. scripts/hex.sh

# Writes an image of blocks 16-byte records from address 0, no block of them all zero.
make_image() {
  awk -v blocks="$1" "$hex_awk"'BEGIN {
    for (block = 0; block < blocks; block++) {
      for (i = 1; i <= 16; i++)
        b[i] = (block + (i - 1) * 7) % 255 + 1
      print hex_record(0, block * 16, 16, b)
    }
    print hex_record(1, 0, 0, b)
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

# Writes image to boards paced stand-in chips at once, each with a kilnload of its own, and
# appends the wall time from the first start to the last end to the file results; fails unless
# every kilnload succeeded and every chip got every block.
run_boards() {
  local image=$1 blocks=$2 boards=$3 results=$4 i started ended failed=0
  local sims=() ttys=() runs=()
  for ((i = 0; i < boards; i++)); do
    rm -f "$work/sim$i.out" "$work/dump$i.hex"
    mkfifo "$work/sim$i.out"
    "$bin/kilnload-sim" --once --exit-after 10 --line-rate --dump-program "$work/dump$i.hex" \
      >"$work/sim$i.out" &
    sims+=($!)
    read -r "ttys[i]" <"$work/sim$i.out"
  done
  started=$EPOCHREALTIME
  for ((i = 0; i < boards; i++)); do
    "$bin/kilnload" -w "$image" -p "${ttys[i]}" >"$work/kilnload$i.out" 2>&1 &
    runs+=($!)
  done
  for ((i = 0; i < boards; i++)); do
    wait "${runs[i]}" || failed=1
  done
  ended=$EPOCHREALTIME
  for ((i = 0; i < boards; i++)); do
    wait "${sims[i]}" || true
    if [ "$(grep -c '^:10' "$work/dump$i.hex" || true)" -ne "$blocks" ]; then
      failed=1
    fi
  done
  if [ "$failed" -ne 0 ]; then
    echo "bench: a run of $boards boards failed:" >&2
    cat "$work"/kilnload*.out >&2
    exit 1
  fi
  awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.6f\n", b - a }' >>"$results"
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
latencies="0 1 16"
for ms in $latencies; do
  : >"$work/paced$ms"
  for _ in 1 2 3; do
    run_once "$work/paced.hex" "$paced_blocks" "$work/paced$ms" --line-rate --adapter-latency "$ms"
  done
done
boards=8
: >"$work/boards"
for _ in 1 2 3; do
  run_boards "$work/paced.hex" "$paced_blocks" "$boards" "$work/boards"
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
# 25 back, each byte 10 bit times at 9600 baud; the chip takes 2 ms to program a block. The
# adapter holds every reply, the identification's among them, for its latency. A whole image
# costs the identification and 3968 times what a packet took here.
for ms in $latencies; do
  printf '%s %s %s\n' "$ms" "$(median "$work/paced$ms" 1)" "$(spread "$work/paced$ms" 1)"
done | awk -v blocks="$paced_blocks" -v full="$full_blocks" -v cpu="$(median "$work/paced0" 2)" '
{ ms[NR] = $1; wall[NR] = $2; runs[NR] = $3 " to " $5 }
END {
  bytes = blocks * (24 + 1) + 4 + 25
  line = bytes * 10 / 9600
  bound = line + blocks * 0.002
  printf "(b) %d-block image, paced line (--line-rate), median of 3 runs at each latency\n", blocks
  printf "    %-34s %10.3f s  (%d bytes at 9600 8N1 %.3f s + %d x 2 ms)\n", \
    "line bound", bound, bytes, line, blocks
  printf "    %-22s %12s %12s %9s   %s\n", "adapter latency", "model", "measured", "error", \
    "target within 2 %"
  for (i = 1; i <= NR; i++) {
    model = bound + (blocks + 1) * ms[i] / 1000
    printf "    %-22s %10.3f s %10.3f s %+7.2f %%   (runs: %s s)\n", ms[i] " ms", model, wall[i], \
      (wall[i] - model) / model * 100, runs[i]
  }
  printf "    %-34s (line bound + %d replies x latency)\n", "", blocks + 1
  printf "    %-34s %10.3f s  %.2f %% of wall   target under 1 %%\n", \
    "kilnload CPU time at 0 ms", cpu, cpu / wall[1] * 100
  printf "    predicted whole \"842\" image, %d packets:", full
  for (i = 1; i <= NR; i++) {
    id = 29 * 10 / 9600 + ms[i] / 1000
    printf "%s %.1f s at %d ms", (i > 1 ? "," : ""), id + full * (wall[i] - id) / blocks, ms[i]
  }
  printf "\n"
}'
echo
awk -v boards="$boards" -v blocks="$paced_blocks" -v alone="$(median "$work/paced0" 1)" \
  -v wall="$(median "$work/boards" 1)" -v spread="$(spread "$work/boards" 1)" 'BEGIN {
  printf "(c) %d boards at once, %d blocks each, paced line, median of 3 rounds\n", boards, blocks
  printf "    %-34s %10.3f s  (the median of (b) at 0 ms)\n", "one run alone", alone
  printf "    %-34s %10.3f s  %+.2f %%   target within 5 %%\n", "all, first start to last end", \
    wall, (wall - alone) / alone * 100
  printf "    %-34s %10s    (rounds: %s s)\n", "", "", spread
}'
