#!/bin/sh
# Checks each manual page given for roff faults: groff with every warning on must say nothing.
# Exits 77 (skipped) when groff is not installed.
set -u
if ! command -v groff >/dev/null 2>&1; then
  echo "groff is not installed: the manual pages are not checked." >&2
  exit 77
fi
status=0
for page in "$@"; do
  report=$(groff -man -ww -z "$page" 2>&1)
  if [ -n "$report" ] || [ ! -s "$page" ]; then
    echo "$page:"
    echo "$report"
    status=1
  fi
done
exit $status
