// kilnload-sim: a stand-in chip with the download loader, on a pseudo-terminal. Start-up, and the
// loop that serves one host session after another.
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>

#include "chip.h"
#include "options.h"
#include "outputs.h"
#include "serial/serial.h"
#include "terminal.h"
#include "wire.h"

namespace {

// The exit status when --exit-after gave up waiting for a host.
constexpr int gaveUpStatus = 3;

// How long a host that begins a session has to set the line up (its echo off) before any noise.
constexpr long long noiseDelayNanos = 10 * nanosPerMilli;

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) {
  stopRequested = 1;
}

// The stop signals are let through only while the chip sleeps in ppoll, so that a stop is never
// missed between a check of stopRequested and the sleep. A hang-up of the terminal the chip was
// started from stops it as cleanly as an interrupt: the dumps are written, the link removed. A
// reader of its output that has gone stops nothing: the path it was to read may be the link's.
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
  signal(SIGPIPE, SIG_IGN);
}

// Who has the line, and the session it is in. A session lasts from an open that finds no host
// on the terminal until the line has hung up with every byte the session sent read.
struct Sessions {
  int hosts = 0;  // opens less closes seen
  bool current = false;
  bool bytesSinceDump = false;
  long long idleSince = 0;
};

// What the chip serves: the line, the wire its answers go by, the chip and its command line.
struct Served {
  const ChipLine& line;
  Wire wire;
  ChipState chip;
  const SimOptions& options;
};

// Ends the current session: the next one starts afresh, and the memories are dumped; returns the
// exit status when the chip is done, 1 after a message when a dump or the trace could not be
// written, or nothing to serve on.
std::optional<int> endSession(Sessions& sessions, Served& served) {
  sessions.current = sessions.bytesSinceDump = false;
  sessions.idleSince = monotonicNanos();
  resetSession(served.chip);
  const OutputPaths& outputs = served.options.outputs;
  const bool program = dumpMemory(outputs.program, served.chip.program);
  const bool data = dumpMemory(outputs.data, served.chip.data);
  if (!program || !data || !traceWritten(served.wire.trace, outputs.trace))
    return 1;
  if (served.options.sessions.once)
    return 0;
  return std::nullopt;
}

// Counts the hosts' opens and closes waiting on the watch, in order; an open that finds none left
// ends the session in progress and begins the next, and each open has the wire's stale byte. Two
// opens the chip has not read between reach it as one (the kernel merges equal events in a row),
// so a host that joins one still holding the line before the chip has woken is not counted apart.
// Returns the exit status when the chip is done, or nothing to serve on; sets begun when a
// session began.
std::optional<int> followHosts(Served& served, Sessions& sessions, bool& begun) {
  std::vector<HostEvent> events;
  if (!readHostEventsInto(served.line.watch, events))
    return 1;
  for (const HostEvent event : events) {
    if (event == HostEvent::closed) {
      sessions.hosts = std::max(0, sessions.hosts - 1);
      continue;
    }
    sendStaleByte(served.wire);
    if (sessions.hosts++ > 0)
      continue;
    if (sessions.current) {
      if (const std::optional<int> status = endSession(sessions, served))
        return status;
    }
    sessions.current = begun = true;
    served.wire.noiseAt = monotonicNanos() + noiseDelayNanos;
  }
  return std::nullopt;
}

// Serves the count bytes a host sent in the current session; returns the exit status when the
// wire dropped the line at one of its requests, or nothing to serve on.
std::optional<int> serveBytes(Served& served, Sessions& sessions, const std::uint8_t* bytes,
                              std::size_t count) {
  sessions.bytesSinceDump = true;
  if (serveBytesFrom(served.wire, served.chip, bytes, count))
    return std::nullopt;
  // As an adapter pulled out: the host's terminal hangs up at once, and nothing more is served.
  close(served.line.master);
  return endSession(sessions, served).value_or(0);
}

// Returns when the chip gives up waiting for a host, idle since idleSince, as a time-out filled
// into left; null when it waits as long as it takes.
const timespec* idleTimeLeft(const SessionRules& rules, long long idleSince, timespec& left) {
  if (rules.exitAfterSeconds == 0)
    return nullptr;
  return timeLeftInto(left, idleSince + rules.exitAfterSeconds * nanosPerSecond);
}

// Sleeps until the line, the watch or a signal wakes the chip, sending noise meanwhile when the
// wire makes it and a session is on; returns the exit status when the chip is done, or nothing to
// serve what came on.
std::optional<int> awaitLine(Served& served, const Sessions& sessions, LineEvents& woke) {
  timespec left{};
  const timespec* timeout = sessions.current
                                ? noiseTimeLeft(served.wire, left)
                                : idleTimeLeft(served.options.sessions, sessions.idleSince, left);
  if (!waitOnLine(served.line, sessions.current, timeout, woke))
    return 1;
  // A session in progress is never cut short: only the wait for the next one can time out.
  if (woke.timedOut && !sessions.current)
    return gaveUpStatus;
  if (sessions.current)
    sendNoiseDue(served.wire);
  return std::nullopt;
}

// Waits once and serves what came, the bytes read before the events that came with them. The
// kernel reports an open before the opener can write, and a close before the line hangs up, so
// bytes read while no new session shows among the events after them are the current session's,
// and a hang-up read with no new session among them means that session has sent all it will.
// Bytes read when one has begun go to the newest: they may begin with the last of the old one's,
// which the chip discards ahead of the new session's first request. Returns the exit status when
// the chip is done, or nothing to serve on.
std::optional<int> serveWakeUp(Served& served, Sessions& sessions) {
  LineEvents woke;
  if (const std::optional<int> status = awaitLine(served, sessions, woke))
    return status;
  std::uint8_t buffer[4096];
  const ssize_t n = woke.lineReady ? read(served.line.master, buffer, sizeof buffer) : -1;
  const bool hungUp = woke.lineReady && n < 0 && errno == EIO;
  bool begun = false;
  if (const std::optional<int> status = followHosts(served, sessions, begun))
    return status;
  const std::optional<int> status =
      n > 0 ? serveBytes(served, sessions, buffer, static_cast<std::size_t>(n)) : std::nullopt;
  if (status || !hungUp || begun)
    return status;
  sessions.hosts = 0;
  return endSession(sessions, served);
}

// Serves host sessions until stopped; returns the exit status.
int serveSessions(Served& served) {
  Sessions sessions{.idleSince = monotonicNanos()};
  while (!stopRequested) {
    if (const std::optional<int> status = serveWakeUp(served, sessions))
      return *status;
  }
  // A stop ends the session in progress as a hang-up would, and serves no other.
  if (sessions.bytesSinceDump)
    return endSession(sessions, served) == 1 ? 1 : 0;
  return traceWritten(served.wire.trace, served.options.outputs.trace) ? 0 : 1;
}

// Says where the chip is and serves it on the line, logging to trace; returns the exit status.
int serveWith(const ChipLine& line, const SimOptions& options, FILE* trace) {
  catchStopSignals();
  // A paced line times each answer to the microsecond; the timer's default slack of 50 us would
  // make every one late, and a whole image late by a quarter of a second.
  if (options.lineRate)
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  printf("%s\n", line.path.c_str());
  fflush(stdout);
  Served served{line,
                {line.master, trace, options.lineRate, options.adapterLatencyMs * nanosPerMilli,
                 options.lineFaults},
                makeChip(options.device, options.faults),
                options};
  return serveSessions(served);
}

// Makes the link, opens the trace and serves the chip; returns the exit status. The dumps' paths
// are tried first, and the link is made before the trace, so that a start they refuse leaves no
// file behind and none emptied; a trace that cannot be opened takes the link away again. A dump
// that is refused only after a session would have cost the host's work.
int serveOn(const ChipLine& line, const SimOptions& options) {
  const OutputPaths& outputs = options.outputs;
  if (!canWriteDumps(outputs))
    return 1;
  if (outputs.link != nullptr && !linkTerminalAt(outputs.link, line.path))
    return 1;
  FILE* trace = outputs.trace != nullptr ? fopen(outputs.trace, "w") : nullptr;
  int status = 1;
  if (outputs.trace != nullptr && trace == nullptr)
    fprintf(stderr, "kilnload-sim: could not open %s\n", outputs.trace);
  else
    status = serveWith(line, options, trace);
  // The trace, flushed after every read, is closed by the exit that follows.
  if (outputs.link != nullptr)
    removeLinkAt(outputs.link, line.path);
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
