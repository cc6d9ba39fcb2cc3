#include "serial/control.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial/serial.h"

namespace {

// Returns the step a word of a sequence stands for; false when it stands for none.
[[nodiscard]] bool parseStepInto(const std::string& word, LineStep& step) {
  if (word.size() == 4 && (word.starts_with("dtr") || word.starts_with("rts")) &&
      (word[3] == '+' || word[3] == '-')) {
    step = {word[0] == 'd' ? LineStepKind::dtr : LineStepKind::rts, word[3] == '+', 0};
    return true;
  }
  // Digits only: strtol alone would let a sign, spaces or a "0x" through.
  if (word.empty() || word.size() > 5 || word.find_first_not_of("0123456789") != std::string::npos)
    return false;
  step = {LineStepKind::pause, false, static_cast<int>(std::strtol(word.c_str(), nullptr, 10))};
  return step.pauseMillis >= 1 && step.pauseMillis <= longestPauseMillis;
}

// Sleeps until the monotonic clock reaches until; returns false when a stop signal came first.
bool sleepUntil(long long until) {
  for (long long now = monotonicNanos(); now < until; now = monotonicNanos()) {
    if (stopSignal != 0)
      return false;
    // Rounded up, so that the last sleep does not end short of until and spin; a signal cuts it.
    (void)poll(nullptr, 0, static_cast<int>((until - now + nanosPerMilli - 1) / nanosPerMilli));
  }
  return stopSignal == 0;
}

}  // namespace

bool parseLineSequenceInto(const char* text, LineSequence& steps) {
  steps.clear();
  const std::string sequence = text;
  for (std::size_t start = 0; start <= sequence.size();) {
    const std::size_t comma = std::min(sequence.find(',', start), sequence.size());
    LineStep step;
    if (!parseStepInto(sequence.substr(start, comma - start), step)) {
      steps.clear();
      return false;
    }
    steps.push_back(step);
    start = comma + 1;
  }
  return true;
}

bool canSetControlLines(int fd) {
  // Asserting no line goes through the same driver call as asserting one, and changes nothing.
  int none = 0;
  return ioctl(fd, TIOCMBIS, &none) == 0;
}

bool playLineSequenceFrom(int fd, const LineSequence& steps) {
  long long lastStepAt = monotonicNanos();
  for (const LineStep& step : steps) {
    if (step.kind == LineStepKind::pause) {
      // Counted from the step before, not from the end of the sleep: two pauses add up exactly.
      lastStepAt += step.pauseMillis * nanosPerMilli;
      if (!sleepUntil(lastStepAt))
        return false;
      continue;
    }
    int line = step.kind == LineStepKind::dtr ? TIOCM_DTR : TIOCM_RTS;
    if (stopSignal != 0 || ioctl(fd, step.asserted ? TIOCMBIS : TIOCMBIC, &line) != 0)
      return false;
    lastStepAt = monotonicNanos();
  }
  return true;
}
