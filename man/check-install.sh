#!/bin/sh
# Installs the build in BUILD_DIR into a fresh prefix; checks that both programs, their manual
# pages (found by man) and their bash completions are there, and that kilnload runs.
set -u
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >"$prefix/log" 2>&1 || { cat "$prefix/log"; exit 1; }
failed=0
for program in kilnload kilnload-sim; do
  for file in bin/$program share/man/man1/$program.1 share/bash-completion/completions/$program; do
    [ -f "$prefix/$file" ] || { echo "$file is not installed"; failed=1; }
  done
  if command -v man >/dev/null; then
    found=$(man -M "$prefix/share/man" -w "$program" 2>&1)
    [ "$found" = "$prefix/share/man/man1/$program.1" ] || { echo "man -w $program: $found"; failed=1; }
  fi
done
"$prefix/bin/kilnload" </dev/null | grep -q '^Usage:' || { echo "the installed kilnload fails"; failed=1; }
exit $failed
