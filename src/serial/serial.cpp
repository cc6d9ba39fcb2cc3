#include "serial/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

timespec addTimeOut(timespec start) {
  start.tv_sec += SerialTimeOut.tv_sec;
  start.tv_nsec += static_cast<long>(SerialTimeOut.tv_usec) * 1000L;
  if (start.tv_nsec > 999999999L) {
    start.tv_sec += 1;
    start.tv_nsec -= 1000000000L;
  }
  return start;
}

bool reached(const timespec& now, const timespec& deadline) {
  return now.tv_sec > deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

timespec timeLeft(const timespec& now, const timespec& deadline) {
  if (reached(now, deadline))
    return timespec{0, 0};
  timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
  if (left.tv_nsec < 0) {
    left.tv_sec -= 1;
    left.tv_nsec += 1000000000L;
  }
  return left;
}

bool configureRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0)
    return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL;
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
// closeSerialPort is handed only the descriptor, yet must leave the driver's flag as it found it;
// a run holds one port, so the descriptor whose flag this process turned on is all there is to
// remember (-1: none).
int lowLatencyTurnedOnAt = -1;
constexpr int lowLatency = static_cast<int>(ASYNC_LOW_LATENCY);

// Asks the driver to hand each received byte on at once instead of on its latency timer, which
// on a USB adapter costs up to a timer period per one-byte reply. Where the device has no such
// setting or refuses it, the line works as it is, only slower.
void requestLowLatency(int fd) {
  serial_struct settings{};
  if (ioctl(fd, TIOCGSERIAL, &settings) != 0 || (settings.flags & lowLatency) != 0)
    return;
  settings.flags |= lowLatency;
  if (ioctl(fd, TIOCSSERIAL, &settings) == 0)
    lowLatencyTurnedOnAt = fd;
}

// Turns the low-latency flag off again on fd if requestLowLatency turned it on there.
void restoreLowLatency(int fd) {
  serial_struct settings{};
  if (fd != lowLatencyTurnedOnAt)
    return;
  lowLatencyTurnedOnAt = -1;
  if (ioctl(fd, TIOCGSERIAL, &settings) == 0) {
    settings.flags &= ~lowLatency;
    (void)ioctl(fd, TIOCSSERIAL, &settings);
  }
}
#else
void requestLowLatency(int /*fd*/) {}
void restoreLowLatency(int /*fd*/) {}
#endif

}  // namespace

timespec nowMonotonic() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

int openSerialPort(const char* path) {
  const int fd = open(path, O_RDWR | O_NONBLOCK);
  if (fd < 0)
    return -1;
  // Two writers on one chip interleave their packets and corrupt its memory, so the line is held
  // by one process at a time; the lock comes first, so that a run refused the line leaves the
  // settings of the run that holds it alone.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !configureRaw(fd)) {
    close(fd);
    return -1;
  }
  requestLowLatency(fd);
  return fd;
}

int closeSerialPort(int fd) {
  restoreLowLatency(fd);
  return close(fd) == 0 ? 0 : -1;
}

int readSerialPortInto(int fd, int size, std::uint8_t* buffer) {
  if (size <= 0)
    return 0;
  const ssize_t n = read(fd, buffer, static_cast<size_t>(size));
  return n > 0 ? static_cast<int>(n) : 0;
}

int writeSerialPortFrom(int fd, int length, const std::uint8_t* data) {
  if (length <= 0)
    return 0;
  const ssize_t n = write(fd, data, static_cast<size_t>(length));
  if (n < 0)
    return 0;
  (void)tcdrain(fd);
  return static_cast<int>(n);
}

int readSerialPortUpto(int fd, std::uint8_t* buffer, int length) {
  const timespec deadline = addTimeOut(nowMonotonic());
  int received = 0;
  while (received < length) {
    pollfd waitFor{fd, POLLIN, 0};
    const timespec left = timeLeft(nowMonotonic(), deadline);
    // A signal only cuts a sleep short, but a poll that cannot sleep at all would spin.
    const bool pollFailed = ppoll(&waitFor, 1, &left, nullptr) < 0 && errno != EINTR;
    const int n = readSerialPortInto(fd, length - received, buffer + received);
    received += n;
    if (pollFailed || reached(nowMonotonic(), deadline))
      break;
    // A wake-up with nothing to read is no reason to stop (another reader of the device may have
    // taken the bytes), but a line whose far end has gone reports so for ever: nothing more can
    // arrive, and waiting on it would spin until the deadline.
    if (n == 0 && (waitFor.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
      break;
  }
  return received;
}

void clearInputBuffer(int fd) {
  std::uint8_t scratch = 0;
  while (readSerialPortInto(fd, 1, &scratch) == 1) {
  }
}
