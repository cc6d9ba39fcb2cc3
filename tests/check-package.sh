#!/usr/bin/env bash
# Makes the Debian package and the tarball from BUILD_DIR in a scratch folder and checks that each
# holds both programs, both manual pages and both bash completions; then that the completions
# parse and that kilnload-sim's offers --part for --pa.
set -u
completions=$(cd "$(dirname "$0")/../completions" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack -G "DEB;TGZ" -B "$out" --config "$1/CPackConfig.cmake" >"$out/log" 2>&1 || { cat "$out/log"; exit 1; }
# The Debian package installs under /usr, the tarball holds one top folder.
dpkg-deb -c "$out"/kilnload_*.deb | sed -n 's|.* \./usr/||p' >"$out/deb"
tar -tzf "$out"/kilnload-*.tar.gz | sed 's|^[^/]*/||' >"$out/tgz"
failed=0
for entry in bin/kilnload{,-sim} share/man/man1/kilnload{,-sim}.1 \
  share/bash-completion/completions/kilnload{,-sim}; do
  for package in deb tgz; do
    grep -qxF -e "$entry" -e "$entry.gz" "$out/$package" || { echo "$package lacks $entry"; failed=1; }
  done
done
# Completing "kilnload-sim --pa" the way bash does: through the function complete names.
offered=$(bash -c '. "$1/kilnload" && . "$1/kilnload-sim" && COMP_WORDS=(kilnload-sim --pa) &&
  COMP_CWORD=1 && $(complete -p kilnload-sim | sed "s/.* -F \([^ ]*\) .*/\1/") &&
  echo "${COMPREPLY[*]}"' _ "$completions")
[ "$offered" = --part ] || { echo "kilnload-sim --pa offers '$offered', not --part"; failed=1; }
exit $failed
