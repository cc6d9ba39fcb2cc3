// kilnload-sim: a stand-in chip with the download loader, on a pseudo-terminal. Start-up, and the
// loop that serves one host session after another.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "chip.h"
#include "hex/hex.h"
#include "options.h"
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
// missed between a check of stopRequested and the sleep.
void catchStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// What one sleep on the line brought.
struct LineEvents {
  bool hostOpened = false;    // a host opened the terminal
  bool bytesWaiting = false;  // the host sent bytes
  bool hungUp = false;        // the last host closed the terminal
  bool timedOut = false;      // the time-out passed with none of these
};

// With --exit-after, fills left with the time the chip still waits for a host after idleSince
// and returns it; returns null when it waits as long as it takes.
const timespec* idleTimeLeft(const SessionRules& rules, long long idleSince, timespec& left) {
  if (rules.exitAfterSeconds == 0)
    return nullptr;
  const long long giveUpAt = idleSince + rules.exitAfterSeconds * 1000000000LL;
  left = timespecOfNanos(std::max(0LL, giveUpAt - monotonicNanos()));
  return &left;
}

// Sleeps until a host opens the terminal, or, in a session, sends bytes or leaves, or a stop
// signal comes, or timeout passes when it is not null; returns false after a message when the
// wait failed.
[[nodiscard]] bool waitOnLine(const ChipLine& line, bool inSession, const timespec* timeout,
                              LineEvents& events) {
  // With no host on the line the terminal reports a hang-up without end, so it is watched only
  // while a host has it open; the watch on the terminal's node says when one opens it.
  pollfd fds[2] = {{line.watch, POLLIN, 0}, {line.master, POLLIN, 0}};
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
  events.hostOpened = (fds[0].revents & POLLIN) != 0 && hostOpenedFrom(line.watch);
  events.bytesWaiting = (fds[1].revents & POLLIN) != 0;
  events.hungUp = (fds[1].revents & (POLLHUP | POLLERR)) != 0;
  return true;
}

// Reads what the host sent and answers it; returns whether any bytes came.
bool serveWaitingBytes(Wire& wire, ChipState& chip) {
  std::uint8_t buffer[4096];
  const ssize_t n = read(wire.master, buffer, sizeof buffer);
  if (n <= 0)
    return false;
  serveBytesFrom(wire, chip, buffer, static_cast<std::size_t>(n));
  return true;
}

// Ends a host session: the next one starts afresh, and the memories are dumped; returns false
// after a message when a dump could not be written.
bool endSession(ChipState& chip, const DumpPaths& dumps) {
  resetSession(chip);
  const bool program = dumpMemoryInto(dumps.program, chip.program);
  const bool data = dumpMemoryInto(dumps.data, chip.data);
  return program && data;
}

// Serves host sessions until stopped; returns the exit status. A session in progress is never
// cut short: only the wait for the next one can time out.
int serveSessions(const ChipLine& line, Wire& wire, ChipState& chip, const SessionRules& rules) {
  bool inSession = false;
  bool bytesSinceDump = false;
  long long idleSince = monotonicNanos();
  while (!stopRequested) {
    timespec left{};
    const timespec* timeout = inSession ? nullptr : idleTimeLeft(rules, idleSince, left);
    LineEvents events;
    if (!waitOnLine(line, inSession, timeout, events))
      return 1;
    if (events.timedOut)
      return gaveUpStatus;
    inSession = inSession || events.hostOpened;
    if (!inSession)
      continue;
    if (events.bytesWaiting && serveWaitingBytes(wire, chip)) {
      bytesSinceDump = true;
      continue;
    }
    if (events.hungUp) {
      inSession = false;
      bytesSinceDump = false;
      if (!endSession(chip, rules.dumps))
        return 1;
      if (rules.once)
        return 0;
      idleSince = monotonicNanos();
    }
  }
  if (bytesSinceDump && !endSession(chip, rules.dumps))
    return 1;
  return 0;
}

// Opens the trace, makes the link, says where the chip is and serves it; returns the exit status.
int serveOn(const ChipLine& line, const SimOptions& options) {
  FilePointer trace;
  if (options.tracePath != nullptr) {
    trace.reset(fopen(options.tracePath, "w"));
    if (!trace) {
      fprintf(stderr, "kilnload-sim: could not open %s\n", options.tracePath);
      return 1;
    }
  }
  if (options.linkPath != nullptr && !linkTerminalAt(options.linkPath, line.path))
    return 1;
  catchStopSignals();
  printf("%s\n", line.path.c_str());
  fflush(stdout);
  Wire wire{line.master, trace.get(), options.lineRate};
  ChipState chip = makeChip(options.partRow, options.faults);
  const int status = serveSessions(line, wire, chip, options.sessions);
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
  const int status = openChipLine(line) ? serveOn(line, options) : 1;
  closeChipLine(line);
  return status;
}
