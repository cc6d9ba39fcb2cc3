// The line between the host and the stand-in chip, seen from the chip's end: answers paced like a
// 9600-baud 8N1 wire and held back like a USB serial adapter's when asked to, and every request
// and reply logged to a trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "chip.h"
#include "serial/serial.h"

// Returns the span of nanos nanoseconds as a timespec, for the chip's timers.
[[nodiscard]] inline timespec timespecOfNanos(long long nanos) {
  return timespec{static_cast<time_t>(nanos / nanosPerSecond),
                  static_cast<long>(nanos % nanosPerSecond)};
}

// Where the chip's answers go and how fast they may travel.
struct Wire {
  int master = -1;              // the controlling side of the pseudo-terminal
  FILE* trace = nullptr;        // the log of requests and replies, null for none
  bool paced = false;           // answer no sooner than the real line would let it
  long long latencyNanos = 0;   // how long an adapter holds each reply before the host has it
  long long receivedUntil = 0;  // paced: when the last byte received so far is through, in ns
};

// Hands the count bytes the host sent to chip and writes each answer to the wire, paced, held back
// and traced as the wire says. A reply the terminal does not take is lost, as on a real line.
void serveBytesFrom(Wire& wire, ChipState& chip, const std::uint8_t* bytes, std::size_t count);
