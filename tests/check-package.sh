#!/usr/bin/env bash
# Makes the Debian package and the tarball from BUILD_DIR in a scratch folder and checks that each
# holds both programs, both manual pages and both bash completions; then that the completions
# parse and that kilnload-sim's offers --part for --pa.
set -u
build=$(cd "$1" && pwd)
completions=$(cd "$(dirname "$0")/../completions" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failed=0
for generator in DEB TGZ; do
  cpack -G "$generator" -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log"; exit 1; }
done
# The Debian package installs under /usr, the tarball holds one top folder.
dpkg-deb -c "$out"/kilnload_*.deb | sed -n 's|.* \./usr/||p' >"$out/deb" || failed=1
tar -tzf "$out"/kilnload-*.tar.gz | sed 's|^[^/]*/||' >"$out/tgz" || failed=1
for package in deb tgz; do
  for entry in bin/kilnload bin/kilnload-sim share/man/man1/kilnload.1 \
    share/man/man1/kilnload-sim.1 share/bash-completion/completions/kilnload \
    share/bash-completion/completions/kilnload-sim; do
    grep -qxF -e "$entry" -e "$entry.gz" "$out/$package" ||
      { echo "$package lacks $entry"; failed=1; }
  done
done

bash -n "$completions/kilnload" && bash -n "$completions/kilnload-sim" || failed=1
# Completing "kilnload-sim --pa" the way bash does: through the function complete names.
offered=$(bash -c '. "$1/kilnload-sim" && COMP_WORDS=(kilnload-sim --pa) COMP_CWORD=1 &&
  $(complete -p kilnload-sim | sed "s/.* -F \([^ ]*\) .*/\1/") && echo "${COMPREPLY[*]}"' \
  _ "$completions")
[ "$offered" = --part ] || { echo "kilnload-sim --pa offers '$offered', not --part"; failed=1; }
exit $failed
