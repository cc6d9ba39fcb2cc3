#!/bin/sh
# Checks each manual page given for roff faults: groff with every warning on must say nothing.
# Exits 77 (skipped) when groff is not installed.
command -v groff >/dev/null || { echo "groff is not installed: pages not checked" >&2; exit 77; }
status=0
for page in "$@"; do
  report=$(groff -man -ww -z "$page" 2>&1)
  [ -z "$report" ] && [ -s "$page" ] || { printf '%s:\n%s\n' "$page" "$report"; status=1; }
done
exit $status
