# Sourced by demo.sh and bench/run.sh from the repository's top: gives them a scratch directory
# $work and a stand-in chip $sim (a pid, once started) that both go when the script ends, and
# $bin, the directory of the programs: built in build/demo, or $KILNLOAD_BUILD when that is set.

work=$(mktemp -d)
sim=
cleanup() {
  # Only a run that went wrong leaves the chip running.
  if [ -n "$sim" ]; then
    kill -TERM "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ -n "${KILNLOAD_BUILD:-}" ]; then
  bin=$KILNLOAD_BUILD
else
  bin=build/demo
  echo "Building kilnload and kilnload-sim in $bin ..."
  if ! { cmake --preset demo && cmake --build --preset demo; } >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    echo "the build failed (needs cmake 3.25 and a C++20 compiler)." >&2
    exit 1
  fi
fi
