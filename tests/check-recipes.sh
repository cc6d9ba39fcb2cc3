#!/usr/bin/env bash
# Runs the recipes of the README, docs/ and the manual pages against kilnload-sim, taken from the
# documents themselves: the block after a line "<!-- recipe NAME EXPECTED -->" (Markdown) or
# '.\" recipe NAME EXPECTED' (roff). Each runs under bash -e -o pipefail, as in a careful script,
# in a folder of its own that holds examples/ and the blocks marked "file NAME", with the programs
# of BIN_DIR on PATH. EXPECTED is its exit status, then for each chip it started, after a ";",
# what that chip received as wire() below writes it. Also checked: its output, where a block
# marked "output NAME" shows it, and that examples/Makefile is the one the docs show.
# Usage: check-recipes.sh BIN_DIR
set -u
root=$(cd "$(dirname "$0")/.." && pwd) bin=$(cd "$1" && pwd)
out=$(mktemp -d "$bin/scratch-recipes.XXXXXX") && trap 'rm -rf "$out"' EXIT || exit 1
cd "$root" && mkdir "$out"/{recipe,expected,output,file,path} && awk -v out="$out" '
  /^(<!-- |\.\\" )(recipe|output|file) / {
    to = out "/" $2 "/" $3; roff = /^\./; name = $3
    if ($2 == "recipe" && sub(/^[^ ]+ [^ ]+ [^ ]+ /, "")) { sub(/ *(-->)?$/, ""); print >(out "/expected/" name) }
    next
  }
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
cmp "$out/file/Makefile" examples/Makefile && failed=0 || failed=1
# A chip's requests (by their fourth byte) and the first byte of each reply, "-" for none; runs
# of the same counted: A6/41 identification, 41 and 43 erases, 57 and 45 blocks, 06 ACK, 07 NAK.
wire() {
  awk '/^>/ { if (r) print r "/-"; r = $5 } /^</ { print r "/" $2; r = "" }
    END { if (r) print r "/-" }' "$1" | uniq -c | awk '{ $0 = $2 ($1 > 1 ? "*" $1 : "") } 1' | paste -sd ' '
}
for recipe in "$out"/recipe/*; do
  name=${recipe##*/} run=$out/run-${recipe##*/}
  mkdir "$run" && cp "$out"/file/* "$run" && ln -s "$root/examples" "$run"
  (cd "$run" && TRACES=$run/traces SIM=$bin/kilnload-sim PATH=$out/path:$bin:$PATH \
    timeout 60 bash -e -o pipefail "$recipe" >"$run/output" 2>&1 </dev/null)
  got="$?$(while read -r trace; do printf ' ; %s' "$(wire "$trace")"; done <"$run/traces" 2>/dev/null)"
  [ "$got" = "$(cat "$out/expected/$name")" ] || { echo "$name: $got"; cat "$run/output"; failed=1; }
  [ ! -f "$out/output/$name" ] || diff "$out/output/$name" "$run/output" || failed=1
done
exit $failed
