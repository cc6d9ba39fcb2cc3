#!/usr/bin/env bash
# Measures kilnload against the stand-in chip and prints a small table:
#   (a) a whole "842" program image (3968 packets) on an unpaced line: host time per packet,
#       median of 5 runs;
#   (b) a 256-block image on a line paced like the real one (--line-rate), behind an adapter
#       that holds each reply 0, 1 and 16 ms (--adapter-latency): wall time against the least
#       the line and the adapter allow, median of 3 runs each, kilnload's CPU time as a share of
#       its wall time, and the time a whole "842" image would take at each latency;
#   (c) 8 boards at once, each a paced chip with its own kilnload writing the 256-block image:
#       the wall time of all of them against one run alone, median of 3 rounds;
#   (d) the whole "842" image on the paced line, one run, against the line's bound.
# hyperfine times every run, a fresh chip set up before each (bench/chips.sh).
# Usage: bash bench/run.sh [--quick] [--json DIR]
#   --quick     leaves out (d), which takes about two minutes of the four
#   --json DIR  keeps hyperfine's JSON of each measurement in DIR
# KILNLOAD_BUILD=DIR measures the binaries in DIR instead of building build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0 json=
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --json) json=${2:?--json needs a folder}; shift ;;
    *) echo "usage: bash bench/run.sh [--quick] [--json DIR]" >&2; exit 2 ;;
  esac
  shift
done
if ! command -v hyperfine >/dev/null; then
  echo "bench: needs hyperfine (on Debian: apt-get install hyperfine)" >&2
  exit 1
fi

. scripts/prepare.sh
json=${json:-$work}
mkdir -p "$json"
# Chips the last measurement left (a failed one) end within their --exit-after.
trap 'flock -w 15 "$work/chips.lock" true || true; cleanup' EXIT

# Writes an Intel HEX image of blocks 16-byte records from address 0, no block of them all zero.
make_image() {
  awk -v blocks="$1" 'BEGIN {
    for (block = 0; block < blocks; block++) {
      line = sprintf(":10%04X00", block * 16)
      sum = 16 + int(block / 16) + block * 16 % 256
      for (i = 0; i < 16; i++) {
        b = (block + i * 7) % 255 + 1
        line = line sprintf("%02X", b)
        sum += b
      }
      printf "%s%02X\n", line, (256 - sum % 256) % 256
    }
    print ":00000001FF"
  }' >"$2"
}

# Has hyperfine time runs runs of kilnload writing image to chips fresh chips at once (xargs
# starts one kilnload a chip when there are several), each started with the kilnload-sim options
# given, and keep its figures in $json/name.json; fails unless every run succeeded and every chip
# got every block.
measure() {
  local name=$1 image=$2 blocks=$3 chips=$4 runs=$5
  shift 5
  local write=("$bin/kilnload" -w "$image" -p "$work/chip0")
  if [ "$chips" -gt 1 ]; then
    write=(xargs -a "$work/chips" -P "$chips" -n 1 "$bin/kilnload" -w "$image" -p)
  fi
  if ! hyperfine -N --style basic --runs "$runs" --output "$work/kilnload.out" \
      --prepare "bash bench/chips.sh $(printf '%q ' "$bin" "$work" "$blocks" "$chips" "$@")" \
      --export-json "$json/$name.json" "$(printf '%q ' "${write[@]}")" >"$work/hyperfine.log" 2>&1 ||
    ! bash bench/chips.sh "$bin" "$work" "$blocks" 0; then
    echo "bench: $name failed:" >&2
    cat "$work/hyperfine.log" "$work/kilnload.out" "$work/sim.err" >&2 2>/dev/null || true
    exit 1
  fi
}

# The figure key of measurement name, in seconds: median, min, max, user or system.
figure() {
  awk -v key="\"$2\":" '$1 == key { sub(/,$/, "", $2); print $2; exit }' "$json/$1.json"
}

full_blocks=$((63488 / 16))
paced_blocks=256
make_image "$full_blocks" "$work/full.hex"
make_image "$paced_blocks" "$work/paced.hex"

echo "kilnload benchmark: $(uname -sr), $(nproc) cores, binaries in $bin"
echo "timed by $(hyperfine --version): medians of wall time, means of user + system time"
echo

measure unpaced "$work/full.hex" "$full_blocks" 1 5
latencies="0 1 16"
for ms in $latencies; do
  measure "paced$ms" "$work/paced.hex" "$paced_blocks" 1 3 --line-rate --adapter-latency "$ms"
done
boards=8
measure boards "$work/paced.hex" "$paced_blocks" "$boards" 3 --line-rate
[ "$quick" -eq 1 ] || measure whole "$work/full.hex" "$full_blocks" 1 1 --line-rate

# The CPU time of measurement name: its user and system time.
cpu() {
  awk -v u="$(figure "$1" user)" -v s="$(figure "$1" system)" 'BEGIN { print u + s }'
}

awk -v blocks="$full_blocks" -v wall="$(figure unpaced median)" -v cpu="$(cpu unpaced)" \
  -v low="$(figure unpaced min)" -v high="$(figure unpaced max)" 'BEGIN {
  printf "(a) whole \"842\" program image, %d packets, unpaced line, median of 5 runs\n", blocks
  printf "    %-34s %10.1f us\n", "wall time per packet", wall / blocks * 1e6
  printf "    %-34s %10.1f us\n", "kilnload CPU time per packet", cpu / blocks * 1e6
  printf "    %-34s %10.3f s  (runs: %.3f to %.3f s)\n", "whole write, wall", wall, low, high
}'
echo
# The least a write of blocks packets takes on the wire, which it prints as a row: per packet 24
# bytes out and a 1-byte reply, and the identification's 4 out and 25 back, each byte 10 bit
# times at 9600 baud; the chip takes 2 ms to program a block; and kilnload waits for 50 ms of
# silence before the identification and after the write, which keeps every answer with its request.
bound_awk='
function line_bound(blocks,    bytes, line, bound) {
  bytes = blocks * (24 + 1) + 4 + 25
  line = bytes * 10 / 9600
  bound = line + blocks * 0.002 + 2 * 0.05
  printf "    %-34s %10.3f s  (%d bytes at 9600 8N1 %.3f s + %d x 2 ms + 2 x 50 ms)\n", \
    "line bound", bound, bytes, line, blocks
  return bound
}'
# The adapter holds every reply, the identification's among them, for its latency. A whole image
# costs the identification, the two silences and 3968 times what a packet took here.
for ms in $latencies; do
  echo "$ms $(figure "paced$ms" median) $(figure "paced$ms" min) $(figure "paced$ms" max)"
done | awk -v blocks="$paced_blocks" -v full="$full_blocks" -v cpu="$(cpu paced0)" "$bound_awk"'
{ ms[NR] = $1; wall[NR] = $2; runs[NR] = sprintf("%.3f to %.3f", $3, $4) }
END {
  printf "(b) %d-block image, paced line (--line-rate), median of 3 runs at each latency\n", blocks
  bound = line_bound(blocks)
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
    id = 29 * 10 / 9600 + ms[i] / 1000 + 2 * 0.05
    printf "%s %.1f s at %d ms", (i > 1 ? "," : ""), id + full * (wall[i] - id) / blocks, ms[i]
  }
  printf "\n"
}'
echo
awk -v boards="$boards" -v blocks="$paced_blocks" -v alone="$(figure paced0 median)" \
  -v wall="$(figure boards median)" -v low="$(figure boards min)" \
  -v high="$(figure boards max)" 'BEGIN {
  printf "(c) %d boards at once, %d blocks each, paced line, median of 3 rounds\n", boards, blocks
  printf "    %-34s %10.3f s  (the median of (b) at 0 ms)\n", "one run alone", alone
  printf "    %-34s %10.3f s  %+.2f %%   target within 5 %%\n", "all, first start to last end", \
    wall, (wall - alone) / alone * 100
  printf "    %-34s %10s    (rounds: %.3f to %.3f s)\n", "", "", low, high
}'
echo
# A board on another machine: what ser2net and socat add to a packet, where they are installed.
if command -v ser2net >/dev/null && command -v socat >/dev/null; then
  echo "(e) a board behind ser2net and socat on 127.0.0.1 (bench/network.sh)"
  KILNLOAD_BUILD=$bin bash bench/network.sh | sed 's/^/    /'
else
  echo "(e) skipped: bench/network.sh needs ser2net and socat"
fi
[ "$quick" -eq 1 ] && exit 0
echo
awk -v blocks="$full_blocks" -v wall="$(figure whole median)" -v cpu="$(cpu whole)" \
  "$bound_awk"'BEGIN {
  printf "(d) whole \"842\" program image, %d packets, paced line (--line-rate), 1 run\n", blocks
  bound = line_bound(blocks)
  printf "    %-34s %10.3f s  %+.2f %%, %.2f ms a packet above the bound\n", "measured", wall, \
    (wall - bound) / bound * 100, (wall - bound) / blocks * 1000
  printf "    %-34s %10.3f s  %.2f %% of wall\n", "kilnload CPU time", cpu, cpu / wall * 100
}'
