#include "loader/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "serial/serial.h"

namespace {

// The loader's messages come from deep in an exchange, with no progress at hand: whether a line
// is open on the terminal is kept here for them.
bool lineOpen = false;

// Faster redraws would only flicker: the eye reads about ten a second.
constexpr long long redrawNanos = nanosPerSecond / 10;

// Draws the line over the one before: the share done, the blocks, the time left at the pace so
// far, padded to cover a wider line drawn before.
void drawLine(WriteProgress& progress, long long now) {
  const long long perBlock = (now - progress.startedAt) / progress.accepted;
  // Rounded up: "0:00 left" only once nothing is.
  const long long left =
      (perBlock * (progress.total - progress.accepted) + nanosPerSecond - 1) / nanosPerSecond;
  char text[96];
  const int length = snprintf(text, sizeof text, "%3d%%  %d/%d blocks  %lld:%02lld left",
                              progress.accepted * 100 / progress.total, progress.accepted,
                              progress.total, left / 60, left % 60);
  progress.width = std::max(progress.width, length);
  printf("\r%-*s", progress.width, text);
  fflush(stdout);
  progress.shownAt = now;
  lineOpen = true;
}

}  // namespace

WriteProgress startProgress(int total) {
  return {total, 0, monotonicNanos(), 0, isatty(STDOUT_FILENO) != 0, 0};
}

void showBlockAccepted(WriteProgress& progress) {
  ++progress.accepted;
  if (!progress.onTerminal) {
    fputs(".", stdout);
    fflush(stdout);
    return;
  }
  const long long now = monotonicNanos();
  if (progress.accepted == progress.total || progress.shownAt == 0 ||
      now - progress.shownAt >= redrawNanos)
    drawLine(progress, now);
}

void endProgressLine(bool newlineFollows) {
  if (lineOpen && !newlineFollows)
    fputs("\n", stdout);
  lineOpen = false;
}

void printOnOwnLine(const char* text, FILE* stream) {
  endProgressLine(false);
  fputs(text, stream);
}
