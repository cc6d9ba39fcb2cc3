#include "terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Returns the target of the symbolic link at path, empty when path is no symbolic link.
std::string linkTargetOf(const char* path) {
  char target[PATH_MAX];
  const ssize_t n = readlink(path, target, sizeof target);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// Returns whether path is a link an earlier run left: one to a terminal in the folder of this
// run's own terminal that has gone since, or that is this run's own again. A link to anything
// else, a live terminal among them, may be one a user or another chip relies on.
bool isLeftByEarlierRun(const char* path, const std::string& terminal) {
  const std::string target = linkTargetOf(path);
  const std::string folder = terminal.substr(0, terminal.rfind('/') + 1);
  const bool inFolder = target.compare(0, folder.size(), folder) == 0 &&
                        target.find('/', folder.size()) == std::string::npos;
  if (!inFolder)
    return false;
  struct stat node {};
  return target == terminal || (stat(target.c_str(), &node) != 0 && errno == ENOENT);
}

}  // namespace

bool openChipLine(ChipLine& line) {
  // Non-blocking: a host may open the terminal again between the hang-up the chip saw and its
  // read, and the chip must not sleep in that read while its wait is what watches for stops.
  line.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (line.master < 0 || grantpt(line.master) != 0 || unlockpt(line.master) != 0 ||
      ptsname(line.master) == nullptr) {
    perror("kilnload-sim: pseudo-terminal");
    return false;
  }
  line.path = ptsname(line.master);
  line.watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (line.watch < 0 || inotify_add_watch(line.watch, line.path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    perror("kilnload-sim: watching the terminal");
    return false;
  }
  return true;
}

bool readHostEventsInto(int watch, std::vector<HostEvent>& events) {
  alignas(inotify_event) char buffer[4096];
  ssize_t n = 0;
  while ((n = read(watch, buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if ((event->mask & IN_OPEN) != 0)
        events.push_back(HostEvent::opened);
      if ((event->mask & IN_CLOSE) != 0)
        events.push_back(HostEvent::closed);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  if (n < 0 && errno != EAGAIN) {
    perror("kilnload-sim: watching the terminal");
    return false;
  }
  return true;
}

bool linkTerminalAt(const char* path, const std::string& terminal) {
  struct stat existing {};
  if (lstat(path, &existing) == 0) {
    if (!isLeftByEarlierRun(path, terminal)) {
      fprintf(stderr,
              "kilnload-sim: will not replace %s: not a link left by an earlier kilnload-sim\n",
              path);
      return false;
    }
    unlink(path);
  }
  if (symlink(terminal.c_str(), path) != 0) {
    fprintf(stderr, "kilnload-sim: could not link %s: %s\n", path, strerror(errno));
    return false;
  }
  return true;
}

void removeLinkAt(const char* path, const std::string& terminal) {
  if (linkTargetOf(path) == terminal)
    unlink(path);
}

bool waitOnLine(const ChipLine& line, bool inSession, const timespec* timeout, LineEvents& events) {
  // With no host on the line the terminal reports a hang-up without end, so it is watched only
  // in a session; the watch on the terminal's node says when a host opens or closes it.
  pollfd fds[] = {{line.watch, POLLIN, 0}, {line.master, POLLIN, 0}};
  sigset_t waitMask;
  sigemptyset(&waitMask);
  const int ready = ppoll(fds, inSession ? 2 : 1, timeout, &waitMask);
  if (ready < 0) {
    if (errno == EINTR)
      return true;
    perror("kilnload-sim: waiting for the host");
    return false;
  }
  events.timedOut = ready == 0;
  events.lineReady = fds[1].revents != 0;  // left 0 when it was not watched
  return true;
}
