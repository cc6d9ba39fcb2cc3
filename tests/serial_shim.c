// Preloaded into kilnload by the end-to-end tests, it gives their pseudo-terminal the serial
// settings of a USB adapter: answers TIOCGSERIAL and TIOCSSERIAL where the real call finds none,
// starting from the flags SERIAL_SHIM_FLAGS gives, and refuses those of "get" and "set" that
// SERIAL_SHIM_REFUSE names. Where it refuses nothing, every write to a terminal must find
// low-latency mode on, and the line must close with its flags as they started. It reports a
// fault on standard error, where the tests' expected output catches it.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int start = -1, flags, line = -1;

int ioctl(int fd, unsigned long request, ...) {
  va_list rest;
  va_start(rest, request);
  struct serial_struct* settings = va_arg(rest, struct serial_struct*);
  va_end(rest);
  int (*real)(int, unsigned long, ...) = NULL;
  *(void**)&real = dlsym(RTLD_NEXT, "ioctl");
  const int result = real(fd, request, settings), isGet = request == TIOCGSERIAL;
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
  return real(fd, data, size);
}

int close(int fd) {
  int (*real)(int) = NULL;
  *(void**)&real = dlsym(RTLD_NEXT, "close");
  if (fd == line && flags != start)
    dprintf(2, "serial shim: the line closes with flags %#x\n", (unsigned)flags);
  return real(fd);
}

// A run that ends without closing the line must not leave its flags changed either.
__attribute__((destructor)) static void checkAtExit(void) {
  if (line >= 0 && flags != start)
    dprintf(2, "serial shim: the run ends with flags %#x\n", (unsigned)flags);
}
