#!/usr/bin/env bash
# Makes the Debian package and the tarball from BUILD_DIR in BUILD_DIR/scratch-package, where the
# package_lintian test checks the Debian package after it, and checks that each holds both
# programs, both manual pages, both bash completions and the licence (the Debian package in its
# copyright file); that the tarball, unpacked as an install prefix, runs and has its pages found by
# man; and that the completions parse and offer hex files whatever the case of their names.
set -u
completions=$(cd "$(dirname "$0")/../completions" && pwd)
out=$1/scratch-package
rm -rf "$out" && mkdir -p "$out" || exit 1
cpack -G "DEB;TGZ" -B "$out" --config "$1/CPackConfig.cmake" >"$out/log" 2>&1 || { cat "$out/log"; exit 1; }
# The Debian package installs under /usr, the tarball holds one top folder.
dpkg-deb -c "$out"/kilnload_*.deb | sed -n 's|.* \./usr/||p' >"$out/deb"
tar -tzf "$out"/kilnload-*.tar.gz | sed 's|^[^/]*/||' >"$out/tgz"
mkdir "$out/prefix" && tar -xzf "$out"/kilnload-*.tar.gz -C "$out/prefix" --strip-components=1
failed=0
"$out/prefix/bin/kilnload" </dev/null | grep -q '^Usage:' || { echo "the packaged kilnload fails"; failed=1; }
for program in kilnload kilnload-sim; do
  command -v man >/dev/null || break
  found=$(man -M "$out/prefix/share/man" -w "$program" 2>&1)
  [ "$found" = "$out/prefix/share/man/man1/$program.1" ] || { echo "man -w $program: $found"; failed=1; }
done
# PACKAGE:ENTRY; the Debian package states the licence in its copyright file, the tarball in LICENSE.
for entry in {deb,tgz}:{bin/kilnload{,-sim},share/man/man1/kilnload{,-sim}.1} \
  {deb,tgz}:share/bash-completion/completions/kilnload{,-sim} \
  deb:share/doc/kilnload/copyright tgz:share/doc/kilnload/LICENSE; do
  package=${entry%%:*} entry=${entry#*:}
  grep -qxF -e "$entry" -e "$entry.gz" "$out/$package" || { echo "$package lacks $entry"; failed=1; }
done
bash -n "$completions/kilnload-sim" || failed=1
# After -e, as after -w: folders and hex files whatever the case of their names. Sourcing parses.
mkdir -p "$out/c/d" && cd "$out/c" && touch FW.HEX a.Hex b.txt && . "$completions/kilnload" || failed=1
COMP_WORDS=(kilnload -e "") COMP_CWORD=2 && _kilnload 2>/dev/null
[ "$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' ')" = "FW.HEX a.Hex d" ] ||
  { echo "after -e: ${COMPREPLY[*]}"; failed=1; }
exit $failed
