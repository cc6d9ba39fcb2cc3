#!/usr/bin/env bash
# Builds what is missing, starts the stand-in chip and identifies it.
set -euo pipefail
cd "$(dirname "$0")"
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
sim_out=$(mktemp)
build/default/kilnload-sim --once >"$sim_out" &
sim=$!
trap 'kill $sim 2>/dev/null; rm -f "$sim_out"' EXIT
until [ -s "$sim_out" ]; do sleep 0.1; done
build/default/kilnload -v -p "$(head -n 1 "$sim_out")"
