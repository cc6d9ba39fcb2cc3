// How far a memory write has got, shown on standard output: a "." per accepted block, as ever,
// or, when standard output is a terminal, one line updated in place.
#pragma once

#include <cstdio>

// A write's count of blocks and its clock, as the progress line needs them.
struct WriteProgress {
  int total = 0;            // the blocks to send
  int accepted = 0;         // the blocks the chip has accepted so far
  long long startedAt = 0;  // when the write began, on the monotonic clock
  long long shownAt = 0;    // when the line was last drawn; 0 before the first time
  bool onTerminal = false;  // standard output is a terminal: the line, not the marks
  int width = 0;            // the widest line drawn, which a narrower one must cover
};

// Returns the progress of a write of total blocks that starts now.
[[nodiscard]] WriteProgress startProgress(int total);

// Counts one more accepted block and shows it: a "." at once, or on a terminal the line, drawn
// again at most ten times a second and always for the last block.
void showBlockAccepted(WriteProgress& progress);

// Ends the progress line, if one is drawn, so that what follows starts a line of its own: with a
// newline, unless newlineFollows says that what follows starts with one.
void endProgressLine(bool newlineFollows);

// Writes the message text to stream on a line of its own, ending the progress line first.
void printOnOwnLine(const char* text, FILE* stream);
