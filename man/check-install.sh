#!/bin/sh
# Installs the build in BUILD_DIR into a fresh prefix and checks that the installed programs run
# from there, that man finds both pages and that both bash completions are in place.
set -u
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failed=0
fail() {
  echo "$*"
  failed=1
}

if ! cmake --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1; then
  cat "$prefix/install.log"
  exit 1
fi

for program in kilnload kilnload-sim; do
  [ -x "$prefix/bin/$program" ] || fail "$program is not installed in $prefix/bin"
  [ -f "$prefix/share/man/man1/$program.1" ] ||
    fail "$program.1 is not installed in $prefix/share/man/man1"
  [ -f "$prefix/share/bash-completion/completions/$program" ] ||
    fail "no completion for $program in $prefix/share/bash-completion/completions"
  if command -v man >/dev/null 2>&1; then
    found=$(man -M "$prefix/share/man" -w "$program" 2>&1)
    [ "$found" = "$prefix/share/man/man1/$program.1" ] ||
      fail "man -M $prefix/share/man -w $program: $found"
  fi
done

# With no action kilnload prints its usage text on standard output, nothing else, and status 0.
printf '\nUsage:\tkilnload [-p device] -c|-a [-w hex-file] [-e hex-file]\n\nOptions:\n\t-w write program memory\n\t-e write data memory\n\t-c erase program memory\n\t-a erase program and data memory\n\n' >"$prefix/usage.expected"
"$prefix/bin/kilnload" >"$prefix/usage.out" 2>"$prefix/usage.err" </dev/null
status=$?
[ "$status" -eq 0 ] || fail "installed kilnload with no arguments: status $status"
cmp -s "$prefix/usage.out" "$prefix/usage.expected" ||
  fail "installed kilnload with no arguments: wrong usage text: $(cat "$prefix/usage.out")"
[ ! -s "$prefix/usage.err" ] ||
  fail "installed kilnload with no arguments wrote to standard error: $(cat "$prefix/usage.err")"

"$prefix/bin/kilnload-sim" --help >"$prefix/help.out" 2>&1 </dev/null
status=$?
[ "$status" -eq 0 ] || fail "installed kilnload-sim --help: status $status"
grep -q -- '--line-rate' "$prefix/help.out" || fail "installed kilnload-sim --help: no option list"

exit $failed
