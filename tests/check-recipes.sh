#!/usr/bin/env bash
# Runs the recipes of the README, docs/ and the manual pages against kilnload-sim, taken from the
# documents themselves: the block after a line "<!-- recipe NAME -->" (Markdown) or '.\" recipe
# NAME' (roff). Each runs under bash -e -o pipefail, as in a careful script, in a folder of its
# own that holds examples/ and the blocks marked "file NAME", with the programs of BIN_DIR on PATH.
# Checked: its exit status; what each chip it started received, from the wire's trace; its output,
# where a block marked "output NAME" shows it; that examples/Makefile is the one the docs show; and
# that every recipe has a row below and every row a recipe.      Usage: check-recipes.sh BIN_DIR
set -u
root=$(cd "$(dirname "$0")/.." && pwd) bin=$(cd "$1" && pwd)
out=$(mktemp -d "$bin/scratch-recipes.XXXXXX") && trap 'rm -rf "$out"' EXIT || exit 1
cd "$root" && mkdir "$out"/{recipe,output,file,path} && awk -v out="$out" '
  /^(<!-- |\.\\" )(recipe|output|file) / { to = out "/" $2 "/" $3; roff = /^\./; next }
  to && !open && /^(```|\.EX)/ { open = 1; next }
  open && /^(```|\.EE)/ { open = 0; to = ""; next }
  open { if (roff) { gsub(/\\-/, "-"); gsub(/\\\(aq/, "\047") } print >to }
' README.md docs/*.md man/*.1 || exit 1
# kilnload-sim as the recipes start it, its trace kept where the recipe asks or else beside them.
cat >"$out/path/kilnload-sim" <<'EOF'
#!/bin/sh
trace=$(mktemp -u "$TRACES.XXXXXX") option=
for word; do [ "$option" = --trace ] && trace=$word; option=$word; done
realpath -m -- "$trace" >>"$TRACES" && exec "$SIM" --trace "$trace" "$@"
EOF
chmod +x "$out/path/kilnload-sim"
failed=0
cmp "$out/file/Makefile" examples/Makefile || failed=1
# Each chip's requests (by their fourth byte) and the first byte of each reply, "-" for none;
# runs of the same counted: A6/41 identification, 41 and 43 erases, 57 and 45 blocks, 06 ACK.
wire() {
  awk '/^>/ { if (r) print r "/-"; r = $5 } /^</ { print r "/" $2; r = "" }
    END { if (r) print r "/-" }' "$1" | uniq -c | awk '{ $0 = $2 ($1 > 1 ? "*" $1 : "") } 1' | paste -sd ' '
}
check() { # NAME STATUS WIRE, the chips' wires in the order the chips started, each after a ";"
  local run=$out/run-$1
  mkdir "$run" && cp "$out"/file/* "$run" && ln -s "$root/examples" "$run"
  (cd "$run" && TRACES=$run/traces SIM=$bin/kilnload-sim PATH=$out/path:$bin:$PATH \
    timeout 60 bash -e -o pipefail "$out/recipe/$1" >"$run/output" 2>&1 </dev/null)
  got="$? $(while read -r trace; do echo "; $(wire "$trace")"; done <"$run/traces" 2>/dev/null)"
  [ "$got" = "$2 $(printf '; %s\n' "${@:3}")" ] || { echo "$1: $got"; cat "$run/output"; failed=1; }
  [ ! -f "$out/output/$1" ] || diff "$out/output/$1" "$run/output" || failed=1
  rm "$out/recipe/$1" || failed=1
}
check try 0 'A6/41 41/06 57/06*39'
check wrong-part 1 'A6/41'
check coproc 0 'A6/41 41/06 57/06*39'
check silent 1 'A6/41 57/06*3 57/-'
check link 0 'A6/41 41/06 57/06*39 A6/41 45/06*13'
check make 0 'A6/41 43/06 57/06*39'
check bench 0 'A6/41 41/06 57/06*39' 'A6/41 41/06 57/06*39' 'A6/41 41/06 57/06 57/07'
for left in "$out"/recipe/*; do [ -e "$left" ] && echo "no row for recipe ${left##*/}" && failed=1; done
exit $failed
