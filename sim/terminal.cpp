#include "terminal.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Returns whether path is a symbolic link to terminal.
bool linksTo(const char* path, const std::string& terminal) {
  char target[PATH_MAX] = {};
  const ssize_t n = readlink(path, target, sizeof target - 1);
  return n > 0 && terminal == std::string(target, static_cast<std::size_t>(n));
}

}  // namespace

bool openChipLine(ChipLine& line) {
  line.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (line.master < 0 || grantpt(line.master) != 0 || unlockpt(line.master) != 0 ||
      ptsname(line.master) == nullptr) {
    perror("kilnload-sim: pseudo-terminal");
    return false;
  }
  line.path = ptsname(line.master);
  line.watch = inotify_init1(IN_CLOEXEC);
  if (line.watch < 0 || inotify_add_watch(line.watch, line.path.c_str(), IN_OPEN) < 0) {
    perror("kilnload-sim: watching the terminal");
    return false;
  }
  return true;
}

void closeChipLine(ChipLine& line) {
  if (line.watch >= 0)
    close(line.watch);
  if (line.master >= 0)
    close(line.master);
  line.watch = line.master = -1;
}

bool hostOpenedFrom(int watch) {
  alignas(inotify_event) char events[4096];
  const ssize_t n = read(watch, events, sizeof events);
  bool opened = false;
  for (ssize_t at = 0; at < n;) {
    const auto* event = reinterpret_cast<const inotify_event*>(events + at);
    opened = opened || (event->mask & IN_OPEN) != 0;
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  return opened;
}

bool linkTerminalAt(const char* path, const std::string& terminal) {
  // Only a link left behind by an earlier run is replaced: whatever else stands there, a file
  // or a real serial device, is not ours to remove.
  struct stat existing {};
  if (lstat(path, &existing) == 0 && S_ISLNK(existing.st_mode))
    unlink(path);
  if (symlink(terminal.c_str(), path) != 0) {
    fprintf(stderr, "kilnload-sim: could not link %s: %s\n", path, strerror(errno));
    return false;
  }
  return true;
}

void removeLinkAt(const char* path, const std::string& terminal) {
  if (linksTo(path, terminal))
    unlink(path);
}
