// Preloaded into kilnload by the end-to-end tests, it gives their pseudo-terminal the serial
// settings of a USB adapter: answers TIOCGSERIAL and TIOCSSERIAL where the real call finds none,
// starting from the flags SERIAL_SHIM_FLAGS gives, and refuses those of "get" and "set" that
// SERIAL_SHIM_REFUSE names. Where it refuses nothing, every write to a terminal must find
// low-latency mode on, and the line must close with its flags as they started. It reports a
// fault on standard error, where the tests' expected output catches it.
// Where SERIAL_SHIM_LINES is set, the line also has an adapter's DTR and RTS, both asserted as
// opening a port leaves them, and its close writes their trace on standard error, a line of words:
// "dtr+" or "rts-" for each line a request sets, after a change the time before the next, in
// whole 50 ms, when it is that long ("100"), "|" for the bytes sent between, then "close" and the
// lines that HUPCL drops there.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int start = -1, flags, line = -1, modem = TIOCM_DTR | TIOCM_RTS;
// When a line last changed, in ms, if that is the trace's last word: -1 before any, -2 after bytes.
static long long changedAt = -1;
// Kept in memory until the close: a write can stall long enough to look like a pause.
static char traced[4096];
#define TRACE(...) snprintf(traced + strlen(traced), sizeof traced - strlen(traced), __VA_ARGS__)

// Sets the lines of mask to those of bits, as TIOCMSET, TIOCMBIS and TIOCMBIC do, and traces it.
static void setLines(int mask, int bits) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long at = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
  if (changedAt >= 0 && at - changedAt >= 50 && (mask & (TIOCM_DTR | TIOCM_RTS)) != 0)
    TRACE(" %lld", (at - changedAt) / 50 * 50);
  for (int bit = TIOCM_DTR; bit <= TIOCM_RTS; bit <<= 1)
    if ((mask & bit) != 0)
      TRACE(" %s%c", bit == TIOCM_DTR ? "dtr" : "rts", (bits & bit) != 0 ? '+' : '-');
  modem = (modem & ~mask) | (bits & mask);
  changedAt = at;
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
  if (getenv("SERIAL_SHIM_LINES") != NULL && result != 0 && isatty(fd) &&
      (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC)) {
    if (request == TIOCMGET)
      *bits = modem;
    else
      setLines(request == TIOCMSET ? ~0 : *bits, request == TIOCMBIC ? 0 : *bits);
    return 0;
  }
  if ((!isGet && request != TIOCSSERIAL) || result == 0)
    return result;
  // A line that has hung up keeps no settings to be put back.
  line = errno == ENOTTY || errno == EINVAL ? fd : -1;
  if (line < 0)
    return result;
  if (start < 0)
    flags = start = (int)strtol(getenv("SERIAL_SHIM_FLAGS"), NULL, 0);
  if (strstr(getenv("SERIAL_SHIM_REFUSE"), isGet ? "get" : "set") != NULL) {
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
  if (*getenv("SERIAL_SHIM_REFUSE") == '\0' && isatty(fd) &&
      (fd != line || ((unsigned)flags & ASYNC_LOW_LATENCY) == 0))
    dprintf(2, "serial shim: a write without low-latency mode\n");
  if (fd == line && changedAt != -2)
    TRACE(" |");
  changedAt = fd == line ? -2 : changedAt;
  return real(fd, data, size);
}

int close(int fd) {
  int (*real)(int) = NULL;
  *(void**)&real = dlsym(RTLD_NEXT, "close");
  if (fd == line && flags != start)
    dprintf(2, "serial shim: the line closes with flags %#x\n", (unsigned)flags);
  struct termios settings;
  if (fd == line && getenv("SERIAL_SHIM_LINES") != NULL) {
    TRACE(" close");
    setLines(tcgetattr(fd, &settings) == 0 && (settings.c_cflag & HUPCL) != 0 ? modem : 0, 0);
    dprintf(2, "%s\n", traced + 1);
  }
  return real(fd);
}

// A run that ends without closing the line must not leave its flags changed either.
__attribute__((destructor)) static void checkAtExit(void) {
  if (line >= 0 && flags != start)
    dprintf(2, "serial shim: the run ends with flags %#x\n", (unsigned)flags);
}
