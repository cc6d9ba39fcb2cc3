#!/usr/bin/env bash
# kilnload without hardware: builds what is missing, starts the stand-in chip as an "842" part on
# a pseudo-terminal paced like a real 9600-baud line, erases it and writes both example images,
# then reads the chip's memories back and checks they hold exactly what the images say.
#
# Exit status: 0 when the run succeeded and both memories match, 1 otherwise.
# KILNLOAD_BUILD=DIR uses the binaries already built in DIR instead of building build/demo.
# DEMO_SIM_OPTIONS adds options to kilnload-sim, to see what a failure looks like: for instance
# "--reply 3:06" makes the chip acknowledge its third packet without programming it.
set -euo pipefail
cd "$(dirname "$0")"

program_image=examples/program.hex
data_image=examples/data.hex

. scripts/prepare.sh

# Compares the chip's dump of a memory with the one kept beside the image, which holds a record
# for each 16-byte block the image has that is neither all zero (never sent) nor all 0xFF (no
# different from erased); prints one verdict line.
check_memory() {
  local name=$1 image=$2 dump=$3 expected=${2%.hex}.dump.hex
  if [ ! -f "$dump" ]; then
    echo "$name memory: FAILED, the chip left no dump."
    return 1
  fi
  if cmp -s "$expected" "$dump"; then
    local blocks
    blocks=$(grep -c '^:10' "$expected")
    echo "$name memory: OK, holds the $blocks non-zero blocks of $image; every other block erased."
    return 0
  fi
  echo "$name memory: MISMATCH with $image (< expected, > on the chip):"
  diff "$expected" "$dump" | grep '^[<>]' | head -n 8 || true
  return 1
}

# The chip prints its terminal's path as its first line; a FIFO lets us read just that line
# while it goes on running.
mkfifo "$work/sim.out"
"$bin/kilnload-sim" --part 842 --once --line-rate \
  --dump-program "$work/program.dump.hex" --dump-data "$work/data.dump.hex" \
  --trace "$work/trace" ${DEMO_SIM_OPTIONS:-} >"$work/sim.out" &
sim=$!
exec 3<"$work/sim.out"
if ! read -r line <&3; then
  echo "demo: kilnload-sim did not start." >&2
  exit 1
fi

echo
echo "Stand-in chip: an \"842\" part on $line, paced like a 9600-baud line."
echo "\$ kilnload -v -a -w $program_image -e $data_image -p $line"
started=$EPOCHREALTIME
status=0
"$bin/kilnload" -v -a -w "$program_image" -e "$data_image" -p "$line" || status=$?
ended=$EPOCHREALTIME
echo "(kilnload ended with status $status after $(awk -v a="$started" -v b="$ended" \
  'BEGIN { printf "%.1f", b - a }') s)"

# A kilnload that never opened the line leaves the chip waiting for a session.
[ "$status" -eq 0 ] || kill -TERM "$sim" 2>/dev/null || true
sim_status=0
wait "$sim" || sim_status=$?
sim=
exec 3<&-

if [ -s "$work/trace" ]; then
  echo
  echo "The first requests and replies on the line (kilnload-sim --trace):"
  head -n 6 "$work/trace" | cut -c 1-78
fi
echo
echo "Reading the chip's memories back (kilnload-sim --dump-program, --dump-data):"
verdict=0
check_memory Program "$program_image" "$work/program.dump.hex" || verdict=1
check_memory Data "$data_image" "$work/data.dump.hex" || verdict=1

if [ "$status" -ne 0 ] || [ "$sim_status" -ne 0 ] || [ "$verdict" -ne 0 ]; then
  echo "demo: FAILED (kilnload status $status, kilnload-sim status $sim_status)."
  exit 1
fi
echo "demo: both memories hold exactly what the images say."
