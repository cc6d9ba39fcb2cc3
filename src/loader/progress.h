// How far a memory write has got, shown on standard output: a "." per accepted block, as ever,
// or, when standard output is a terminal, one line updated in place.
#pragma once

#include <cstdio>

// A write's count of blocks and its clock, as the progress line needs them.
struct WriteProgress {
  int total = 0;            // the blocks to send
  int accepted = 0;         // the blocks the chip has accepted so far
  long long startedAt = 0;  // when the write began, on the monotonic clock
  long long shownAt = 0;    // when the line was last drawn
  bool onTerminal = false;  // standard output is a terminal: the line, not the marks
};

// Returns the progress of a write of total blocks that starts now.
[[nodiscard]] WriteProgress startProgress(int total);

// Counts one more accepted block and shows it: a "." at once, or on a terminal the line, drawn
// again at most ten times a second and always for the last block.
void showBlockAccepted(WriteProgress& progress);

// Writes the message text to stream on a line of its own: a progress line drawn on the terminal
// is ended first, by the newline text starts with or else by one of its own.
void printOnOwnLine(const char* text, FILE* stream);
