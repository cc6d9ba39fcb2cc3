# shellcheck shell=sh disable=SC2034
# Sourced by demo.sh, bench/run.sh and examples/generate.sh (any POSIX shell): hex_awk holds the
# awk functions that write and read Intel HEX records, to put before an awk program's own text:
#   awk "$hex_awk"'BEGIN { ... }'
# Integer arithmetic only, so that every awk writes the same bytes.

hex_awk='
# The record of the given type with the count bytes b[1..count] at address (below 65536),
# without a line end; its digits are upper-case unless lower is set.
function hex_record(type, address, count, b, lower,    f, line, sum, i) {
  f = lower ? "%02x" : "%02X"
  line = ":" sprintf(f f f f, count, int(address / 256), address % 256, type)
  sum = count + int(address / 256) + address % 256 + type
  for (i = 1; i <= count; i++) {
    line = line sprintf(f, b[i])
    sum += b[i]
  }
  return line sprintf(f, (256 - sum % 256) % 256)
}

# The value of the upper-case hex digits h.
function hex_value(h,    v, i) {
  v = 0
  for (i = 1; i <= length(h); i++)
    v = v * 16 + index("0123456789ABCDEF", substr(h, i, 1)) - 1
  return v
}

# Reads the record on line (a CR before its end, text before its colon and the checksum are let
# be) into r["count"], r["address"], r["type"] and its bytes r[0..count-1] as two upper-case
# digits each; returns 0 when line holds no record.
function hex_parse(line, r,    start, i) {
  line = toupper(line)
  sub(/\r$/, "", line)
  start = index(line, ":")
  if (start == 0)
    return 0
  line = substr(line, start + 1)
  r["count"] = hex_value(substr(line, 1, 2))
  r["address"] = hex_value(substr(line, 3, 4))
  r["type"] = hex_value(substr(line, 7, 2))
  for (i = 0; i < r["count"]; i++)
    r[i] = substr(line, 9 + 2 * i, 2)
  return 1
}
'
