// Preloaded into kilnload by the end-to-end tests, it gives their pseudo-terminal the serial
// settings of a USB adapter: answers TIOCGSERIAL and TIOCSSERIAL where the real call finds none,
// starting from the flags SERIAL_SHIM_FLAGS gives, and refuses those of "get" and "set" that
// SERIAL_SHIM_REFUSE names. Where it refuses nothing, every write to a terminal must find
// low-latency mode on, and the line must close with its flags as they started. It reports a
// fault on standard error, where the tests' expected output catches it.
// Where SERIAL_SHIM_LINES names a file, the line also has an adapter's DTR and RTS, both asserted
// as opening a port leaves them, and the file gets their trace, each word after a space: "dtr+"
// or "rts-" for each line a request sets, after a change the time before the next, in whole
// 50 ms, when it is that long ("100"), "|" for the bytes sent between, then "close" and the lines
// that HUPCL drops there.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int start = -1, flags, line = -1, trace = -1, modem = TIOCM_DTR | TIOCM_RTS, sending;
static long long changedAt = -1;  // in ms, when a line last changed; -1 before, or after bytes
// Kept in memory until the close: a write to a file can stall long enough to look like a pause.
static char traced[4096];

static const char* setting(const char* name) {
  return getenv(name) != NULL ? getenv(name) : "";
}

__attribute__((constructor)) static void openTrace(void) {
  if (*setting("SERIAL_SHIM_LINES") != '\0')
    trace = open(getenv("SERIAL_SHIM_LINES"), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

// Sets the lines of mask to those of bits, as TIOCMSET, TIOCMBIS and TIOCMBIC do, and traces it.
static void setLines(int mask, int bits) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long at = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
  if ((mask & (TIOCM_DTR | TIOCM_RTS)) != 0 && changedAt >= 0 && at - changedAt >= 50)
    snprintf(traced + strlen(traced), sizeof traced - strlen(traced), " %lld",
             (at - changedAt) / 50 * 50);
  for (int bit = TIOCM_DTR; bit <= TIOCM_RTS; bit <<= 1) {
    if ((mask & bit) != 0) {
      snprintf(traced + strlen(traced), sizeof traced - strlen(traced), " %s%c",
               bit == TIOCM_DTR ? "dtr" : "rts", (bits & bit) != 0 ? '+' : '-');
      changedAt = at;
      sending = 0;
    }
  }
  modem = (modem & ~mask) | (bits & mask);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list rest;
  va_start(rest, request);
  struct serial_struct* settings = va_arg(rest, struct serial_struct*);
  va_end(rest);
  int (*real)(int, unsigned long, ...) = NULL;
  *(void**)&real = dlsym(RTLD_NEXT, "ioctl");
  const int result = real(fd, request, settings), isGet = request == TIOCGSERIAL;
  int* bits = (int*)settings;
  if (trace >= 0 && result != 0 && isatty(fd) &&
      (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC)) {
    if (request == TIOCMGET)
      *bits = modem;
    else
      setLines(request == TIOCMSET ? TIOCM_DTR | TIOCM_RTS : *bits,
               request == TIOCMBIC ? 0 : *bits);
    return 0;
  }
  if ((!isGet && request != TIOCSSERIAL) || result == 0)
    return result;
  // A line that has hung up keeps no settings to be put back.
  line = errno == ENOTTY || errno == EINVAL ? fd : -1;
  if (line < 0)
    return result;
  if (start < 0)
    flags = start = (int)strtol(setting("SERIAL_SHIM_FLAGS"), NULL, 0);
  if (strstr(setting("SERIAL_SHIM_REFUSE"), isGet ? "get" : "set") != NULL) {
    errno = EPERM;
    return -1;
  }
  if (isGet)
    *settings = (struct serial_struct){.flags = flags};
  else
    flags = settings->flags;
  return 0;
}

ssize_t write(int fd, const void* data, size_t size) {
  ssize_t (*real)(int, const void*, size_t) = NULL;
  *(void**)&real = dlsym(RTLD_NEXT, "write");
  if (*setting("SERIAL_SHIM_REFUSE") == '\0' && isatty(fd) &&
      (fd != line || ((unsigned)flags & ASYNC_LOW_LATENCY) == 0))
    dprintf(2, "serial shim: a write without low-latency mode\n");
  if (fd == line && trace >= 0 && !sending)
    strncat(traced, " |", sizeof traced - strlen(traced) - 1);
  sending |= fd == line;
  changedAt = sending ? -1 : changedAt;
  return real(fd, data, size);
}

int close(int fd) {
  int (*real)(int) = NULL;
  *(void**)&real = dlsym(RTLD_NEXT, "close");
  if (fd == line && flags != start)
    dprintf(2, "serial shim: the line closes with flags %#x\n", (unsigned)flags);
  struct termios settings;
  if (fd == line && trace >= 0) {
    strncat(traced, " close", sizeof traced - strlen(traced) - 1);
    changedAt = -1;
    setLines(tcgetattr(fd, &settings) == 0 && (settings.c_cflag & HUPCL) != 0 ? modem : 0, 0);
    dprintf(trace, "%s\n", traced);
  }
  return real(fd);
}

// A run that ends without closing the line must not leave its flags changed either.
__attribute__((destructor)) static void checkAtExit(void) {
  if (line >= 0 && flags != start)
    dprintf(2, "serial shim: the run ends with flags %#x\n", (unsigned)flags);
}
