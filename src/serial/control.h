// The line's control outputs, DTR and RTS, which benches wire to the chip's reset and download
// pins, and sequences of changes to them.
#pragma once

#include <vector>

// What one step of a sequence does: assert or release DTR or RTS, or wait.
enum class LineStepKind { dtr, rts, pause };

struct LineStep {
  LineStepKind kind = LineStepKind::pause;
  bool asserted = false;  // for DTR and RTS: asserted, or released
  int pauseMillis = 0;    // for a pause
};

using LineSequence = std::vector<LineStep>;

// The longest pause a step may ask for, in milliseconds: a reset pulse or a loader's start-up
// takes a fraction of a second, so more is a typing error.
inline constexpr int longestPauseMillis = 10000;

// Fills steps from text, steps parted by commas: "dtr+", "dtr-", "rts+", "rts-" (asserted,
// released) or a pause of 1 to longestPauseMillis milliseconds; returns false, steps left empty,
// when text is not such a sequence.
[[nodiscard]] bool parseLineSequenceInto(const char* text, LineSequence& steps);

// Returns whether the driver of fd can set its control lines, changing none of them: a
// pseudo-terminal or a driver without them cannot.
[[nodiscard]] bool canSetControlLines(int fd);

// Makes each step on fd in turn: a change at once after the step before it, a pause counted from
// the step before it; returns false when the driver refused a change or a stop signal came, the
// rest of the steps not made.
[[nodiscard]] bool playLineSequenceFrom(int fd, const LineSequence& steps);
