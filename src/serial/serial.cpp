#include "serial/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

// closeSerialPort is handed only the descriptor, yet must give the line back as it was found; a
// run holds one port, so one record of what it found is all there is to keep.
struct FoundLine {
  termios settings{};
  bool lowLatencyTurnedOn = false;
};
FoundLine found;

bool configureRaw(int fd, termios tio) {
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  (void)cfsetispeed(&tio, B9600);
  (void)cfsetospeed(&tio, B9600);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | PARODD | CSIZE);
  tio.c_cflag |= CS8;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
#if defined(CRTSCTS)
  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
#if defined(CCTS_OFLOW) && defined(CRTS_IFLOW)
  tio.c_cflag &= ~static_cast<tcflag_t>(CCTS_OFLOW | CRTS_IFLOW);
#endif
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

#if defined(__linux__)
constexpr int lowLatency = static_cast<int>(ASYNC_LOW_LATENCY);

// Asks the driver to hand each received byte on at once instead of on its latency timer, which
// on a USB adapter costs up to a timer period per one-byte reply; returns whether this turned it
// on. Where the device has no such setting or refuses it, the line works as it is, only slower.
bool requestLowLatency(int fd) {
  serial_struct settings{};
  if (ioctl(fd, TIOCGSERIAL, &settings) != 0 || (settings.flags & lowLatency) != 0)
    return false;
  settings.flags |= lowLatency;
  return ioctl(fd, TIOCSSERIAL, &settings) == 0;
}

void turnLowLatencyOff(int fd) {
  serial_struct settings{};
  if (ioctl(fd, TIOCGSERIAL, &settings) == 0) {
    settings.flags &= ~lowLatency;
    (void)ioctl(fd, TIOCSSERIAL, &settings);
  }
}
#else
bool requestLowLatency(int /*fd*/) {
  return false;
}
void turnLowLatencyOff(int /*fd*/) {}
#endif

// One non-blocking read of up to size bytes into buffer; returns the count, 0 when nothing was
// waiting or the read failed.
int readSerialPortInto(int fd, int size, std::uint8_t* buffer) {
  return static_cast<int>(std::max<ssize_t>(read(fd, buffer, static_cast<size_t>(size)), 0));
}

// Sleeps until fd has bytes, has hung up, or the monotonic clock reaches until; returns false when
// the line has hung up or cannot be waited on: once what is waiting is read, nothing more comes.
bool awaitInputUntil(int fd, long long until) {
  pollfd waitFor{fd, POLLIN, 0};
  // Rounded up: a sleep that ended just short of the deadline would be followed by sleeps of 0.
  const long long left = std::max(until - monotonicNanos(), 0LL);
  const auto millis = static_cast<int>((left + nanosPerMilli - 1) / nanosPerMilli);
  // A signal only cuts a sleep short, but a poll that cannot sleep at all would spin.
  if (poll(&waitFor, 1, millis) < 0)
    return errno == EINTR;
  return (waitFor.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

}  // namespace

volatile std::sig_atomic_t stopSignal = 0;

long long monotonicNanos() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * nanosPerSecond + now.tv_nsec;
}

int openSerialPort(const char* path) {
  // A line that became the controlling terminal would kill the run with SIGHUP when it hangs up.
  const int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY);
  if (fd == -1)
    return -1;
  // Two writers on one chip interleave their packets and corrupt its memory, so the line is held
  // by one process at a time; the lock comes first, so that a run refused the line leaves the
  // settings of the run that holds it alone.
  termios settings{};
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &settings) != 0 ||
      !configureRaw(fd, settings)) {
    const int cause = errno;
    close(fd);
    errno = cause;
    return -1;
  }
  found = {settings, requestLowLatency(fd)};
  return fd;
}

int closeSerialPort(int fd) {
  if (found.lowLatencyTurnedOn)
    turnLowLatencyOff(fd);
  // At once: the last request has been sent, and output held back by flow control the found
  // settings turn on again must not keep the run from ending.
  (void)tcsetattr(fd, TCSANOW, &found.settings);
  return close(fd) == 0 ? 0 : -1;
}

int writeSerialPortFrom(int fd, int length, const std::uint8_t* data) {
  const ssize_t n = write(fd, data, static_cast<size_t>(length));
  if (n < 0)
    return 0;
  (void)tcdrain(fd);
  return static_cast<int>(n);
}

int readSerialPortUpto(int fd, std::uint8_t* buffer, int length) {
  const long long deadline = monotonicNanos() + SerialTimeOut;
  int received = 0;
  while (received < length) {
    const bool open = awaitInputUntil(fd, deadline);
    const int n = readSerialPortInto(fd, length - received, buffer + received);
    received += n;
    // A wake-up with nothing to read is no reason to stop (another reader of the device may have
    // taken the bytes), but a line whose far end has gone reports so for ever: nothing more can
    // arrive, and waiting on it would spin until the deadline.
    if ((!open && n == 0) || monotonicNanos() >= deadline)
      break;
  }
  return received;
}

int drainSerialPortUpto(int fd, long long quietNanos, long long limitNanos) {
  const long long start = monotonicNanos(), deadline = start + limitNanos;
  long long quietAt = start + quietNanos;
  int discarded = 0;
  bool open = true;
  // A line that never falls silent, noise or a device that keeps talking, is let go at the limit.
  for (;;) {
    std::uint8_t scratch[64];
    const int n = readSerialPortInto(fd, sizeof scratch, scratch);
    const long long now = monotonicNanos();
    discarded += n;
    if (n > 0)
      quietAt = now + quietNanos;
    if ((n == 0 && (now >= quietAt || !open)) || now >= deadline || stopSignal != 0)
      break;
    if (n == 0)
      open = awaitInputUntil(fd, std::min(quietAt, deadline));
  }
  return discarded;
}
