// Preloaded into kilnload to give a pseudo-terminal the serial settings of a USB adapter: answers
// TIOCGSERIAL and TIOCSSERIAL where the real call finds none, with flags that start as
// SERIAL_SHIM_FLAGS says, refusing those of "get" and "set" that SERIAL_SHIM_REFUSE names. Each
// such call, and each write to that line after it, is logged on descriptor 9.
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

static int flags = -1, line = -1;

// Logs the call with its number; returns whether it is one to refuse.
static int logCall(const char* call, int number) {
  const int refused = strstr(getenv("SERIAL_SHIM_REFUSE"), call) != NULL;
  dprintf(9, "%s %#x%s\n", call, (unsigned)number, refused ? " refused" : "");
  return refused;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list rest;
  va_start(rest, request);
  struct serial_struct* settings = va_arg(rest, struct serial_struct*);
  va_end(rest);
  int (*real)(int, unsigned long, ...) = NULL;
  *(void**)&real = dlsym(RTLD_NEXT, "ioctl");
  const int result = real(fd, request, settings), isGet = request == TIOCGSERIAL;
  if ((!isGet && request != TIOCSSERIAL) || result == 0 || (errno != ENOTTY && errno != EINVAL))
    return result;
  line = fd;
  flags = flags < 0 ? (int)strtol(getenv("SERIAL_SHIM_FLAGS"), NULL, 0) : flags;
  if (logCall(isGet ? "get" : "set", isGet ? flags : settings->flags)) {
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
  if (fd == line)
    (void)logCall("write", (int)size);
  return real(fd, data, size);
}
