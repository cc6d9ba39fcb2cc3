// The raw 9600-baud 8N1 byte line to the chip's loader, its bounded waits, and the stop signal
// that every loop which waits or reads obeys.
#pragma once

#include <csignal>
#include <cstdint>

// Nanoseconds in a second and in a millisecond: every clock reading and deadline counts in them.
inline constexpr long long nanosPerSecond = 1000000000LL;
inline constexpr long long nanosPerMilli = 1000000LL;

// How long one readSerialPortUpto call waits, in all, for its bytes.
inline constexpr long long SerialTimeOut = nanosPerSecond;

// The stop signal that has come, 0 while none has. Set by kilnload's handlers; a wait that
// would outlast the exchange in flight, and a read of an image, end early once it is set.
extern volatile std::sig_atomic_t stopSignal;

// Returns the time on the monotonic clock in nanoseconds. Every deadline runs on it: a wall clock
// stepped back by the time service would otherwise stretch a one-second wait into a hang.
[[nodiscard]] long long monotonicNanos();

// Opens path as a raw, non-blocking 9600-baud 8N1 line without flow control, held under an
// exclusive advisory lock and never as the controlling terminal, and keeps the settings it found
// for closeSerialPort; returns the descriptor, or -1 (nothing left open, nothing changed, errno
// saying why) when the path cannot be opened, is not a terminal, cannot be configured or is
// locked by another process.
// On Linux it also turns on the driver's low-latency mode where the device has one and allows it.
[[nodiscard]] int openSerialPort(const char* path);

// Puts back on fd the settings and the low-latency mode that the last openSerialPort found (a run
// holds one port), then closes it; returns 0, or -1 when close fails.
[[nodiscard]] int closeSerialPort(int fd);

// One write of length bytes from data, then waits until they have been transmitted; returns the
// count written (possibly short), 0 when the write failed.
[[nodiscard]] int writeSerialPortFrom(int fd, int length, const std::uint8_t* data);

// Collects length bytes into buffer, sleeping while none arrive, until the count is complete or
// SerialTimeOut has passed since the call began; returns the count received, short on a time-out
// or a line that has hung up. A signal does not end the wait: the exchange in flight is finished.
[[nodiscard]] int readSerialPortUpto(int fd, std::uint8_t* buffer, int length);

// Discards what arrives on fd until the line has been silent for quietNanos, limitNanos have
// passed since the call began, the line hangs up or a stop signal comes; returns the count of
// bytes discarded. With both 0 it takes only what is already waiting, a buffer's worth at most.
[[nodiscard]] int drainSerialPortUpto(int fd, long long quietNanos, long long limitNanos);
