#!/bin/sh
# Writes the two example images for an "842" part into DIR (default: beside this script):
#   program.hex  program memory (63488 bytes): upper-case digits, LF line ends
#   data.hex     data memory (4096 bytes): lower-case digits, CR LF line ends
# Both are small on purpose, so the paced demo stays quick, and both carry the things a real
# image has: short records that share a 16-byte block, records that straddle blocks, areas
# written as explicit zeros (never sent: the chip keeps what it held there), a record that
# ends exactly at the end of the memory, and in program.hex a zero extended-address record
# of the kind linkers put first.
# The content is made by integer arithmetic only, so every awk writes the same bytes.
set -eu
dir=${1:-$(dirname "$0")}

# shellcheck source=scripts/hex.sh
. "$(dirname "$0")/../scripts/hex.sh"

awk -v program="$dir/program.hex" -v data="$dir/data.hex" "$hex_awk"'
# One record of count bytes from b[1..count] at address, of the given type.
function record(file, type, address, count) {
  printf "%s%s", hex_record(type, address, count, b, lower), eol > file
}

# Records of at most per bytes for the n bytes in m[0..n-1], from address upwards.
function records(file, address, n, per,    at, k, count) {
  for (at = 0; at < n; at += per) {
    count = n - at < per ? n - at : per
    for (k = 1; k <= count; k++)
      b[k] = m[at + k - 1]
    record(file, 0, address + at, count)
  }
}

# Pseudo-random bytes that look like code; never a whole block of zeros or of 0xFF.
function next_byte() {
  seed = (seed * 75 + 74) % 65537
  return seed % 251 + 1
}

function text_into(s, start,    i) {
  for (i = 1; i <= length(s); i++)
    m[start + i - 1] = index(ascii, substr(s, i, 1)) + 31
  m[start + length(s)] = 0
  return start + length(s) + 1
}

BEGIN {
  ascii = " !\"#$%&'\''()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~"
  seed = 842

  # ---- program memory ----
  lower = 0; eol = "\n"; file = program
  b[1] = 0; b[2] = 0
  record(file, 4, 0, 2)                          # extended linear address 0: no move
  # A jump at reset and at each of eight interrupt vectors: 3-byte records that share blocks.
  split("0 3 11 19 27 35 43 51 59", vectors, " ")
  for (v = 1; v <= 9; v++) {
    b[1] = 2; b[2] = 1; b[3] = v * 16
    record(file, 0, vectors[v] + 0, 3)
  }
  for (i = 0; i < 32; i++) m[i] = 0              # reserved area written as zeros
  records(file, 64, 32, 16)
  for (i = 0; i < 456; i++) m[i] = next_byte()   # code: 28 whole blocks and half of one
  records(file, 256, 456, 16)
  n = text_into("kilnload example image, program memory", 0)
  n = text_into("Hello from the stand-in chip.", n)
  records(file, 768, n, 12)                      # 12-byte records straddle blocks
  for (i = 0; i < 16; i++) m[i] = 0
  records(file, 1024, 16, 16)
  n = text_into("KILN", 0)                       # signature in the last block of memory
  for (i = n; i < 16; i++) m[i] = next_byte()
  records(file, 63488 - 16, 16, 16)
  b[0] = 0
  record(file, 1, 0, 0)

  # ---- data memory ----
  lower = 1; eol = "\r\n"; file = data
  for (i = 0; i < 32; i++) m[i] = 100 + i * 3    # calibration table
  records(file, 0, 32, 16)
  for (i = 0; i < 32; i++) m[i] = 0              # cleared counters
  records(file, 32, 32, 16)
  for (i = 0; i < 32; i++) m[i] = i % 8 == 7 ? 0 : 16 + i   # settings, 8-byte records
  records(file, 64, 32, 8)
  for (i = 0; i < 128; i++) m[i] = i < 64 ? i * 4 : 255 - (i - 64) * 4   # a triangle wave
  m[0] = 1
  records(file, 256, 128, 16)
  n = text_into("serial 0042", 0)
  for (i = n; i < 16; i++) m[i] = 170
  records(file, 4096 - 16, 16, 16)
  record(file, 1, 0, 0)
}'
