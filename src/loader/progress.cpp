#include "loader/progress.h"

#include <unistd.h>

#include "serial/serial.h"

namespace {

// The loader's messages come from deep in an exchange, with no progress at hand: whether a line
// is open on the terminal is kept here for them.
bool lineOpen = false;

// Faster redraws would only flicker: the eye reads about ten a second.
constexpr long long redrawNanos = nanosPerSecond / 10;

// Draws the line over the one before: the share done, the blocks, the time left at the pace so
// far. No field gets narrower (the minutes have two places), so that none of the line before
// stays on the screen.
void drawLine(WriteProgress& progress, long long now) {
  const long long perBlock = (now - progress.startedAt) / progress.accepted;
  // Rounded up: "0:00 left" only once nothing is.
  const long long left =
      (perBlock * (progress.total - progress.accepted) + nanosPerSecond - 1) / nanosPerSecond;
  printf("\r%3d%%  %d/%d blocks  %2lld:%02lld left", progress.accepted * 100 / progress.total,
         progress.accepted, progress.total, left / 60, left % 60);
  fflush(stdout);
  progress.shownAt = now;
  lineOpen = true;
}

}  // namespace

WriteProgress startProgress(int total) {
  WriteProgress progress;
  progress.total = total;
  progress.startedAt = monotonicNanos();
  progress.onTerminal = isatty(STDOUT_FILENO) != 0;
  return progress;
}

void showBlockAccepted(WriteProgress& progress) {
  ++progress.accepted;
  if (!progress.onTerminal) {
    fputs(".", stdout);
    fflush(stdout);
    return;
  }
  const long long now = monotonicNanos();
  if (progress.accepted == progress.total || now - progress.shownAt >= redrawNanos)
    drawLine(progress, now);
}

void printOnOwnLine(const char* text, FILE* stream) {
  if (lineOpen && text[0] != '\n')
    fputs("\n", stdout);
  lineOpen = false;
  fputs(text, stream);
}
