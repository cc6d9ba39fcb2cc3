// The line between the host and the stand-in chip, seen from the chip's end: answers paced like a
// 9600-baud 8N1 wire and held back like a USB serial adapter's when asked to, the line's own
// faults, and every request and reply logged to a trace.
#pragma once

#include <algorithm>
#include <climits>
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

// Fills left with the time from now until the monotonic clock reaches until, none once it has;
// returns left, for a wait's time-out.
[[nodiscard]] inline const timespec* timeLeftInto(timespec& left, long long until) {
  left = timespecOfNanos(std::max(0LL, until - monotonicNanos()));
  return &left;
}

// What the line does wrong on purpose. Packets are the Loader packets of one host session,
// counted from 1; where 0 may be given, it names the session's identification requests.
struct LineFaults {
  long doubleFrom = LONG_MAX;  // answer this packet and every later one twice; none gets this far
  long latePacket = 0;         // hold the answer to this packet back lateMillis longer, 0 for none
  long lateMillis = 0;
  long hangUpPacket = -1;  // drop the line when this packet arrives, and end; -1 for never
  long signalPacket = -1;  // when this packet arrives, signal the process signalPidPath names
  int signalNumber = 0;
  const char* signalPidPath = nullptr;
  long staleByte = -1;  // send this byte shortly after each open of the terminal, -1 for none
  long noiseByte = -1;  // send this byte without end while a host has the line, -1 for none
};

// Where the chip's answers go and how fast they may travel.
struct Wire {
  int master = -1;              // the controlling side of the pseudo-terminal
  FILE* trace = nullptr;        // the log of requests and replies, null for none
  bool paced = false;           // answer no sooner than the real line would let it
  long long latencyNanos = 0;   // how long an adapter holds each reply before the host has it
  LineFaults faults;            // what the line does wrong
  long long receivedUntil = 0;  // paced: when the last byte received so far is through, in ns
  long long noiseAt = 0;        // when the next byte of noise is due, in ns
};

// Hands the count bytes the host sent to chip and writes each answer to the wire, paced, held back,
// repeated and traced as the wire says; returns false, the rest unanswered, when a request the
// wire's faults name for it means the line is to be dropped. A reply the terminal does not take
// is lost, as on a real line.
[[nodiscard]] bool serveBytesFrom(Wire& wire, ChipState& chip, const std::uint8_t* bytes,
                                  std::size_t count);

// Sends the wire's stale byte, if it has one, about 10 ms from now, traced as a reply: the answer
// an earlier host left in flight, reaching the host that has just opened the line.
void sendStaleByte(Wire& wire);

// Returns when the wire's next byte of noise is due as a time-out filled into left, null when the
// wire makes none.
[[nodiscard]] const timespec* noiseTimeLeft(const Wire& wire, timespec& left);

// Sends a byte of the wire's noise, untraced, when one is due: about one a byte's time on the line.
void sendNoiseDue(Wire& wire);
