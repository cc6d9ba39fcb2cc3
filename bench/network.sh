#!/usr/bin/env bash
# Measures what a network bridge adds to each packet: kilnload writes an image to a kilnload-sim
# directly, then through ser2net (which the board's host runs on its port) and socat (which makes
# a local terminal for it on the user's machine), both on 127.0.0.1 here, so the figures are the
# bridge's own cost without a network's. Prints the median per packet of
#   (a) an unpaced line, 1024 blocks, 5 runs each: what the two hops and their wake-ups cost;
#   (b) a line paced like the real one (--line-rate), 128 blocks, 3 runs each: what a board on
#       a 9600-baud line sees;
# each with ser2net's chardelay on (its default: it holds what the board sends for two character
# times, at least 1 ms, before passing it on) and off.
# Run by hand: bash bench/network.sh (about a minute). Needs ser2net and socat.
# KILNLOAD_BUILD=DIR measures the binaries in DIR instead of building build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in ser2net socat; do
  command -v "$tool" >/dev/null || { echo "network bench: $tool is not installed" >&2; exit 1; }
done
work=$(mktemp -d)
children=()
cleanup() {
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

bin=${KILNLOAD_BUILD:-build/demo}
if [ -z "${KILNLOAD_BUILD:-}" ]; then
  echo "Building kilnload and kilnload-sim in $bin ..."
  { cmake --preset demo && cmake --build --preset demo; } >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; exit 1; }
fi
# A port of this run's own, so that two runs on one machine do not meet.
port=$((20000 + $$ % 20000))

# Writes an image of blocks 16-byte records from address 0 to file, no block all zero.
make_image() {
  awk -v blocks="$1" 'BEGIN {
    for (block = 0; block < blocks; block++) {
      address = block * 16
      sum = 16 + int(address / 256) + address % 256
      line = sprintf(":10%04X00", address)
      for (i = 0; i < 16; i++) {
        byte = (block + i * 7) % 255 + 1
        sum += byte
        line = line sprintf("%02X", byte)
      }
      printf "%s%02X\n", line, (256 - sum % 256) % 256
    }
    print ":00000001FF"
  }' >"$2"
}

# Starts a stand-in chip with the options given (after the link's name) and waits until its
# terminal is up; sets sim to its process id.
start_chip() {
  rm -f "$work/sim.out" "$work/dump.hex"
  mkfifo "$work/sim.out"
  "$bin/kilnload-sim" --once --exit-after 20 --dump-program "$work/dump.hex" --link "$@" \
    >"$work/sim.out" &
  sim=$!
  children+=("$sim")
  read -r _ <"$work/sim.out"
}

# Starts ser2net on the chip's terminal and socat's local terminal for it, chardelay $1, and
# waits until socat has connected; sets bridge to their process ids.
start_bridge() {
  rm -f "$work/socat.log"
  mkfifo "$work/socat.log"
  # ser2net reads each "#" of a -Y string as a new line.
  local config="connection: &board#  accepter: tcp,127.0.0.1,$port"
  config+="#  connector: serialdev,$work/board,9600n81,local#  options:#    chardelay: $1"
  ser2net -n -Y "$config" 2>"$work/ser2net.log" &
  bridge=$!
  socat -d -d "pty,link=$work/remote,raw,echo=0" "tcp:127.0.0.1:$port,retry=50,interval=0.1" \
    2>"$work/socat.log" &
  bridge="$bridge $!"
  children+=($bridge)
  grep -q -m1 'starting data transfer loop' "$work/socat.log"
}

# Writes image (blocks long) through the port and appends the wall time to results; fails
# unless kilnload succeeded and the chip holds every block.
write_through() {
  local image=$1 blocks=$2 results=$3 tty=$4 started ended status=0
  started=$EPOCHREALTIME
  "$bin/kilnload" -w "$image" -p "$tty" >"$work/kilnload.out" 2>&1 || status=$?
  ended=$EPOCHREALTIME
  [ -z "${bridge:-}" ] || kill $bridge
  wait "$sim" || true
  [ -z "${bridge:-}" ] || wait $bridge 2>/dev/null || true
  bridge=
  if [ "$status" -ne 0 ] || [ "$(grep -c '^:10' "$work/dump.hex" || true)" -ne "$blocks" ]; then
    echo "network bench: run failed (kilnload status $status):" >&2
    cat "$work/kilnload.out" "$work/ser2net.log" >&2
    exit 1
  fi
  awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.6f\n", b - a }' >>"$results"
}

median() {
  sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "kilnload network bench: $(uname -sr), $(nproc) cores, $(ser2net -v), $(socat -V |
  sed -n 's/^socat version \([^ ]*\).*/socat \1/p')"
for case in "a 1024 5" "b 128 3"; do
  set -- $case
  name=$1 blocks=$2 runs=$3 pace=
  [ "$name" = b ] && pace=--line-rate
  make_image "$blocks" "$work/image.hex"
  for way in direct on off; do
    : >"$work/$name.$way"
    for ((run = 0; run < runs; run++)); do
      start_chip "$work/board" $pace
      tty=$work/board
      if [ "$way" != direct ]; then
        start_bridge "$( [ "$way" = on ] && echo true || echo false)"
        tty=$work/remote
      fi
      write_through "$work/image.hex" "$blocks" "$work/$name.$way" "$tty"
    done
  done
  awk -v name="$name" -v blocks="$blocks" -v runs="$runs" -v pace="${pace:-unpaced}" \
    -v direct="$(median "$work/$name.direct")" -v on="$(median "$work/$name.on")" \
    -v off="$(median "$work/$name.off")" 'BEGIN {
    printf "(%s) %d blocks, %s line, median of %d runs, per packet:\n", name, blocks, pace, runs
    printf "    %-44s %9.3f ms\n", "direct", direct / blocks * 1000
    printf "    %-44s %9.3f ms  (+%.3f ms)\n", "through ser2net and socat, chardelay on", \
      on / blocks * 1000, (on - direct) / blocks * 1000
    printf "    %-44s %9.3f ms  (+%.3f ms)\n", "through ser2net and socat, chardelay off", \
      off / blocks * 1000, (off - direct) / blocks * 1000
  }'
done
