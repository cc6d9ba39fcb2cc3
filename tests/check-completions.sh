#!/usr/bin/env bash
# Each bash completion offers exactly the options of its program: KILNLOAD_SIM's as its --help
# lists them, KILNLOAD's letters as the program itself takes them and its long options as its
# --help lists them. kilnload's usage text (-h) is fixed and names four of its options, so every
# letter is put to the program instead: one it takes leaves the output of -h unchanged, an unknown
# one adds getopt's complaint. Nothing after -h is read and no device is opened.
# Usage: check-completions.sh KILNLOAD KILNLOAD_SIM (paths that work from any folder)
cd "$(dirname "$0")/../completions" || exit 1
# The words completion function $2 in file $1 offers for an empty word after the program's name.
offered() {
  . "./$1" && COMP_WORDS=("$1" "") COMP_CWORD=1 && "$2" && printf '%s\n' "${COMPREPLY[@]}" | sort
}
helped() { "$1" --help | awk '/^  -/ { for (i = 1; $i ~ /^-/; i++) print $i }' | tr -d , |
  cut -d= -f1 | sort -u; }
takes() {
  for letter in {a..z} {A..Z} {0..9}; do
    [ "$("$1" "-$letter" -h -h 2>&1)" = "$("$1" -h 2>&1)" ] && printf -- '-%s\n' "$letter"
  done | sort
}
# diff prints only differences: any line fails the test.
! {
  diff -u --label completions/kilnload --label "kilnload takes and --help lists" \
    <(offered kilnload _kilnload) <(sort <(takes "$1") <(helped "$1" | grep -e --))
  diff -u --label completions/kilnload-sim --label "kilnload-sim --help" \
    <(offered kilnload-sim _kilnload_sim) <(helped "$2")
} | grep ''
