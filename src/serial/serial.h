// The raw 9600-baud 8N1 byte line to the chip's loader, and the one bounded wait of the tool.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ctime>

// How long one readSerialPortUpto call waits, in all, for its bytes.
inline constexpr timeval SerialTimeOut{1, 0};

// Opens path as a raw, non-blocking 9600-baud 8N1 line without flow control, held under an
// exclusive advisory lock and never as the controlling terminal, and keeps the settings it found
// for closeSerialPort; returns the descriptor, or -1 (nothing left open, nothing changed) when the
// path cannot be opened, is not a terminal, cannot be configured or is locked by another process.
// On Linux it also turns on the driver's low-latency mode where the device has one and allows it.
[[nodiscard]] int openSerialPort(const char* path);

// Puts back on fd the settings and the low-latency mode that the last openSerialPort found (a run
// holds one port), then closes it; returns 0, or -1 when close fails.
[[nodiscard]] int closeSerialPort(int fd);

// One non-blocking read of up to size bytes into buffer; returns the count, 0 when nothing was
// waiting or the read failed.
[[nodiscard]] int readSerialPortInto(int fd, int size, std::uint8_t* buffer);

// One write of length bytes from data, then waits until they have been transmitted; returns the
// count written (possibly short), 0 when the write failed.
[[nodiscard]] int writeSerialPortFrom(int fd, int length, const std::uint8_t* data);

// Collects length bytes into buffer, sleeping while none arrive, until the count is complete or
// SerialTimeOut has passed since the call began; returns the count received, short on a time-out
// or a line that has hung up. A signal does not end the wait.
[[nodiscard]] int readSerialPortUpto(int fd, std::uint8_t* buffer, int length);

// Discards every byte already waiting on fd without waiting for more.
void clearInputBuffer(int fd);

// Nanoseconds in a second and in a millisecond: every clock reading and deadline counts in them.
inline constexpr long long nanosPerSecond = 1000000000LL;
inline constexpr long long nanosPerMilli = 1000000LL;

// Returns the time on the monotonic clock in nanoseconds. Every deadline runs on it: a wall clock
// stepped back by the time service would otherwise stretch a one-second wait into a hang.
[[nodiscard]] long long monotonicNanos();

// Returns the span of nanos nanoseconds as a timespec. Inline: kilnload itself waits with poll, so
// only the stand-in chip's timers use it, and kilnload carries none of it.
[[nodiscard]] inline timespec timespecOfNanos(long long nanos) {
  return timespec{static_cast<time_t>(nanos / nanosPerSecond),
                  static_cast<long>(nanos % nanosPerSecond)};
}
