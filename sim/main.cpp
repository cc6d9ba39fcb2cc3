// kilnload-sim: a stand-in chip with the download loader, on a pseudo-terminal. Start-up, and the
// loop that serves one host session after another.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <optional>

#include "chip.h"
#include "options.h"
#include "serial/serial.h"
#include "terminal.h"
#include "wire.h"

namespace {

// The exit status when --exit-after gave up waiting for a host.
constexpr int gaveUpStatus = 3;

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) {
  stopRequested = 1;
}

// The stop signals are let through only while the chip sleeps in ppoll, so that a stop is never
// missed between a check of stopRequested and the sleep. A hang-up of the terminal the chip was
// started from stops it as cleanly as an interrupt: the dumps are written, the link removed.
void catchStopSignals() {
  const int stops[] = {SIGINT, SIGTERM, SIGHUP};
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const int stop : stops)
    sigaddset(&stopSignals, stop);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  struct sigaction action {};
  action.sa_handler = requestStop;
  for (const int stop : stops)
    sigaction(stop, &action, nullptr);
}

// With --exit-after, fills left with the time the chip still waits for a host after idleSince
// and returns it; returns null when it waits as long as it takes.
const timespec* idleTimeLeft(const SessionRules& rules, long long idleSince, timespec& left) {
  if (rules.exitAfterSeconds == 0)
    return nullptr;
  const long long giveUpAt = idleSince + rules.exitAfterSeconds * nanosPerSecond;
  left = timespecOfNanos(std::max(0LL, giveUpAt - monotonicNanos()));
  return &left;
}

// Writes memory as an Intel HEX dump to a new file at path, nothing when path is null; returns
// false after a message when it could not be written.
[[nodiscard]] bool dumpMemory(const char* path, const std::vector<std::uint8_t>& memory) {
  if (path == nullptr)
    return true;
  FILE* file = fopen(path, "w");
  bool written = file != nullptr && fputs(hexDumpOf(memory).c_str(), file) != EOF;
  // A full disk may show only when the last of the buffer goes out, at the close.
  if (file != nullptr && fclose(file) != 0)
    written = false;
  if (!written)
    fprintf(stderr, "kilnload-sim: could not write %s\n", path);
  return written;
}

// Returns whether a file at path can be opened for writing, leaving none there that was not
// there before.
[[nodiscard]] bool canWriteAt(const char* path) {
  const int created = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (created >= 0) {
    close(created);
    unlink(path);
    return true;
  }
  // Opened as it is, neither emptied nor waited on: a pipe with no reader is refused at once.
  const int found = errno == EEXIST ? open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
  if (found < 0)
    return false;
  close(found);
  return true;
}

// What one sleep on the line brought.
struct LineEvents {
  bool lineReady = false;  // in a session: the terminal has bytes or has hung up
  bool timedOut = false;   // the time-out passed with nothing on the line or the watch
};

// Sleeps until a host opens or closes the terminal, or, in a session, sends bytes or leaves, or a
// stop signal comes, or timeout passes when it is not null; returns false after a message when
// the wait failed.
[[nodiscard]] bool waitOnLine(const ChipLine& line, bool inSession, const timespec* timeout,
                              LineEvents& events) {
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

// Who has the line, and the session it is in. A session lasts from an open that finds no host
// on the terminal until the line has hung up with every byte the session sent read.
struct Sessions {
  int hosts = 0;  // opens less closes seen
  bool current = false;
  bool bytesSinceDump = false;
  long long idleSince = 0;
};

// Ends the current session: the next one starts afresh, and the memories are dumped; returns the
// exit status when the chip is done, 1 after a message when a dump could not be written, or
// nothing to serve on.
std::optional<int> endSession(Sessions& sessions, ChipState& chip, const SessionRules& rules) {
  sessions.current = sessions.bytesSinceDump = false;
  sessions.idleSince = monotonicNanos();
  resetSession(chip);
  const bool program = dumpMemory(rules.dumps.program, chip.program);
  const bool data = dumpMemory(rules.dumps.data, chip.data);
  if (!program || !data)
    return 1;
  if (rules.once)
    return 0;
  return std::nullopt;
}

// Counts the hosts' opens and closes in order; an open that finds none left ends the session
// in progress and begins the next. Two opens the chip has not read between reach it as one (the
// kernel merges equal events in a row), so a host that joins one still holding the line before
// the chip has woken is not counted apart. Returns the exit status when the chip is done, or
// nothing to serve on; sets begun when a session began.
std::optional<int> followHostsFrom(const std::vector<HostEvent>& events, Sessions& sessions,
                                   ChipState& chip, const SessionRules& rules, bool& begun) {
  for (const HostEvent event : events) {
    if (event == HostEvent::closed) {
      sessions.hosts = std::max(0, sessions.hosts - 1);
      continue;
    }
    if (sessions.hosts++ > 0)
      continue;
    if (sessions.current) {
      if (const std::optional<int> status = endSession(sessions, chip, rules))
        return status;
    }
    sessions.current = begun = true;
  }
  return std::nullopt;
}

// Serves host sessions until stopped; returns the exit status. A session in progress is never
// cut short: only the wait for the next one can time out.
//
// The bytes are read before the events that came with them. The kernel reports an open before
// the opener can write, and a close before the line hangs up, so bytes read while no new
// session shows among the events after them are the current session's, and a hang-up read
// with no new session among them means that session has sent all it will. Bytes read when one
// has begun go to the newest: they may begin with the last of the old one's, which the chip
// discards ahead of the new session's first request.
int serveSessions(const ChipLine& line, Wire& wire, ChipState& chip, const SessionRules& rules) {
  Sessions sessions{.idleSince = monotonicNanos()};
  std::vector<HostEvent> events;
  while (!stopRequested) {
    timespec left{};
    const timespec* timeout =
        sessions.current ? nullptr : idleTimeLeft(rules, sessions.idleSince, left);
    LineEvents woke;
    if (!waitOnLine(line, sessions.current, timeout, woke))
      return 1;
    if (woke.timedOut)
      return gaveUpStatus;
    std::uint8_t buffer[4096];
    const ssize_t n = woke.lineReady ? read(line.master, buffer, sizeof buffer) : -1;
    const bool hungUp = woke.lineReady && n < 0 && errno == EIO;
    events.clear();
    bool begun = false;
    if (!readHostEventsInto(line.watch, events))
      return 1;
    if (const std::optional<int> status = followHostsFrom(events, sessions, chip, rules, begun))
      return *status;
    if (n > 0) {
      serveBytesFrom(wire, chip, buffer, static_cast<std::size_t>(n));
      sessions.bytesSinceDump = true;
    }
    if (hungUp && !begun) {
      sessions.hosts = 0;
      if (const std::optional<int> status = endSession(sessions, chip, rules))
        return *status;
    }
  }
  // A stop ends the session in progress as a hang-up would, and serves no other.
  return sessions.bytesSinceDump && endSession(sessions, chip, rules) == 1 ? 1 : 0;
}

// Says where the chip is and serves it on the line, logging to trace; returns the exit status.
int serveWith(const ChipLine& line, const SimOptions& options, FILE* trace) {
  catchStopSignals();
  printf("%s\n", line.path.c_str());
  fflush(stdout);
  Wire wire{line.master, trace, options.lineRate, options.adapterLatencyMs * nanosPerMilli};
  ChipState chip = makeChip(options.device, options.faults);
  return serveSessions(line, wire, chip, options.sessions);
}

// Makes the link, opens the trace and serves the chip; returns the exit status. The dumps' paths
// are tried first, and the link is made before the trace, so that a start they refuse leaves no
// file behind and none emptied; a trace that cannot be opened takes the link away again. A dump
// that is refused only after a session would have cost the host's work.
int serveOn(const ChipLine& line, const SimOptions& options) {
  const char* const dumps[] = {options.sessions.dumps.program, options.sessions.dumps.data};
  const auto* refused = std::find_if(std::begin(dumps), std::end(dumps), [](const char* dump) {
    return dump != nullptr && !canWriteAt(dump);
  });
  if (refused != std::end(dumps)) {
    fprintf(stderr, "kilnload-sim: could not open %s\n", *refused);
    return 1;
  }
  if (options.linkPath != nullptr && !linkTerminalAt(options.linkPath, line.path))
    return 1;
  FILE* trace = options.tracePath != nullptr ? fopen(options.tracePath, "w") : nullptr;
  int status = 1;
  if (options.tracePath != nullptr && trace == nullptr)
    fprintf(stderr, "kilnload-sim: could not open %s\n", options.tracePath);
  else
    status = serveWith(line, options, trace);
  // The trace, flushed after every read, is closed by the exit that follows.
  if (options.linkPath != nullptr)
    removeLinkAt(options.linkPath, line.path);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  if (!parseSimOptionsInto(argc, argv, options)) {
    printSimUsage(stderr);
    return 2;
  }
  if (options.helpWanted) {
    printSimUsage(stdout);
    return 0;
  }
  ChipLine line;
  return openChipLine(line) ? serveOn(line, options) : 1;
}
