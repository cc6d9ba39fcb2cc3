// kilnload-sim: a stand-in chip with the download loader, on a pseudo-terminal.
#include <fcntl.h>
#include <getopt.h>
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
#include <ctime>
#include <memory>
#include <string>

#include "chip.h"
#include "loader/loader.h"

namespace {

// A 9600-baud 8N1 byte is ten bit times on the wire.
constexpr long byteNanos = 10L * 1000000000L / 9600L;
constexpr long eraseNanos = 20L * 1000000L;
constexpr long programNanos = 2L * 1000000L;

struct SimOptions {
  int part = 2;
  const char* link = nullptr;
  bool once = false;
  bool lineRate = false;
  const char* dumpProgram = nullptr;
  const char* dumpData = nullptr;
  const char* trace = nullptr;
  ChipFaults faults;
};

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) {
  stopRequested = 1;
}

void printUsage(FILE* to) {
  fputs(
      "Usage: kilnload-sim [options]\n"
      "A stand-in chip with the serial download loader, on a pseudo-terminal. Prints the path\n"
      "of the terminal side on its first line, then serves one host session after another\n"
      "until SIGINT or SIGTERM.\n"
      "\n"
      "Options:\n"
      "  --part 814|842        the part it identifies as (default 842)\n"
      "  --link PATH           also make a symbolic link to the terminal at PATH, removed on exit\n"
      "  --once                serve only the first host session\n"
      "  --line-rate           pace both directions as a 9600-baud 8N1 line, add 20 ms per\n"
      "                        erase and 2 ms per 16-byte block programmed\n"
      "  --dump-program FILE   write program memory as Intel HEX when a session ends\n"
      "  --dump-data FILE      write data memory as Intel HEX when a session ends\n"
      "  --trace FILE          log every request (>) and reply (<) in hex, one per line;\n"
      "                        bytes that start no request are logged with ?\n"
      "  --nak N               refuse the N-th Loader packet of each session\n"
      "  --silent-after N      answer nothing after N Loader packets of each session\n"
      "  --reply N:BYTE        answer the N-th Loader packet with BYTE (hex), doing nothing\n"
      "  --ignore N            answer the N-th Loader packet with nothing, doing nothing\n"
      "  --refuse-erase        refuse every erase\n"
      "  --help                print this text\n",
      to);
}

// Returns the whole decimal or hexadecimal number text holds within [low, high], or -1.
long parseNumber(const char* text, int base, long low, long high) {
  if (text == nullptr || *text == '\0')
    return -1;
  errno = 0;
  char* end = nullptr;
  const long value = strtol(text, &end, base);
  if (errno != 0 || *end != '\0' || value < low || value > high)
    return -1;
  return value;
}

// Fills options from the command line; returns false after a message when it is wrong.
bool parseSimOptionsInto(int argc, char** argv, SimOptions& options, bool& help) {
  enum {
    partOpt = 1,
    linkOpt,
    onceOpt,
    rateOpt,
    dumpPOpt,
    dumpDOpt,
    traceOpt,
    nakOpt,
    silentOpt,
    replyOpt,
    ignoreOpt,
    refuseOpt,
    helpOpt
  };
  static const option longOptions[] = {
      {"part", required_argument, nullptr, partOpt},
      {"link", required_argument, nullptr, linkOpt},
      {"once", no_argument, nullptr, onceOpt},
      {"line-rate", no_argument, nullptr, rateOpt},
      {"dump-program", required_argument, nullptr, dumpPOpt},
      {"dump-data", required_argument, nullptr, dumpDOpt},
      {"trace", required_argument, nullptr, traceOpt},
      {"nak", required_argument, nullptr, nakOpt},
      {"silent-after", required_argument, nullptr, silentOpt},
      {"reply", required_argument, nullptr, replyOpt},
      {"ignore", required_argument, nullptr, ignoreOpt},
      {"refuse-erase", no_argument, nullptr, refuseOpt},
      {"help", no_argument, nullptr, helpOpt},
      {nullptr, 0, nullptr, 0},
  };
  int opt = 0;
  while ((opt = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
    switch (opt) {
      case partOpt:
        options.part = identifyDevice(optarg);
        if (options.part == 0 || std::strlen(optarg) != 3) {
          fprintf(stderr, "kilnload-sim: unknown part '%s' (814 or 842)\n", optarg);
          return false;
        }
        break;
      case linkOpt:
        options.link = optarg;
        break;
      case onceOpt:
        options.once = true;
        break;
      case rateOpt:
        options.lineRate = true;
        break;
      case dumpPOpt:
        options.dumpProgram = optarg;
        break;
      case dumpDOpt:
        options.dumpData = optarg;
        break;
      case traceOpt:
        options.trace = optarg;
        break;
      case refuseOpt:
        options.faults.refuseErase = true;
        break;
      case helpOpt:
        help = true;
        break;
      case nakOpt:
      case ignoreOpt:
      case silentOpt: {
        const long n = parseNumber(optarg, 10, opt == silentOpt ? 0 : 1, LONG_MAX);
        if (n < 0) {
          fprintf(stderr, "kilnload-sim: '%s' is not a packet count\n", optarg);
          return false;
        }
        long& count = opt == nakOpt      ? options.faults.nakPacket
                      : opt == ignoreOpt ? options.faults.ignorePacket
                                         : options.faults.silentAfter;
        count = n;
        break;
      }
      case replyOpt: {
        const std::string text = optarg;
        const std::size_t colon = text.find(':');
        const long n = parseNumber(text.substr(0, colon).c_str(), 10, 1, LONG_MAX);
        const long byte =
            colon == std::string::npos ? -1 : parseNumber(text.c_str() + colon + 1, 16, 0, 255);
        if (n < 0 || byte < 0) {
          fprintf(stderr, "kilnload-sim: '%s' is not N:BYTE\n", optarg);
          return false;
        }
        options.faults.replyPacket = n;
        options.faults.replyByte = static_cast<std::uint8_t>(byte);
        break;
      }
      default:
        return false;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "kilnload-sim: unexpected argument '%s'\n", argv[optind]);
    return false;
  }
  return true;
}

timespec nowMonotonic() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

long long nanosOf(const timespec& t) {
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void sleepUntil(long long nanos) {
  const timespec until{static_cast<time_t>(nanos / 1000000000LL),
                       static_cast<long>(nanos % 1000000000LL)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

void traceBytes(FILE* trace, char mark, const std::vector<std::uint8_t>& bytes) {
  fputc(mark, trace);
  for (std::uint8_t b : bytes)
    fprintf(trace, " %02X", b);
  fputc('\n', trace);
}

bool dumpMemory(const char* path, const std::vector<std::uint8_t>& memory) {
  if (path == nullptr)
    return true;
  File file(fopen(path, "w"));
  const bool written = file && writeDumpInto(file.get(), memory);
  if (!written)
    fprintf(stderr, "kilnload-sim: could not write %s\n", path);
  return written;
}

// The wire as the host would see it: when the last byte received so far is through.
struct LinePace {
  long long receivedUntil = 0;
};

// Answers what the host sent, at the pace of the line when asked to.
void serveBytes(int master, ChipState& chip, const SimOptions& options, FILE* trace, LinePace& pace,
                const std::uint8_t* bytes, std::size_t count) {
  if (options.lineRate) {
    pace.receivedUntil = std::max(pace.receivedUntil, nanosOf(nowMonotonic())) +
                         static_cast<long long>(count) * byteNanos;
  }
  std::vector<ChipExchange> exchanges;
  feedChipFrom(chip, bytes, count, exchanges);
  for (const ChipExchange& exchange : exchanges) {
    if (trace != nullptr)
      traceBytes(trace, exchange.discarded ? '?' : '>', exchange.request);
    if (exchange.reply.empty())
      continue;
    if (options.lineRate) {
      long long done = pace.receivedUntil;
      if (exchange.work == ChipWork::erase)
        done += eraseNanos;
      if (exchange.work == ChipWork::program)
        done += programNanos;
      done += static_cast<long long>(exchange.reply.size()) * byteNanos;
      sleepUntil(done);
      pace.receivedUntil = done;
    }
    (void)!write(master, exchange.reply.data(), exchange.reply.size());
    if (trace != nullptr)
      traceBytes(trace, '<', exchange.reply);
  }
  if (trace != nullptr)
    fflush(trace);
}

// Whether path is still the symbolic link to terminal that this run made.
bool linksTo(const char* path, const std::string& terminal) {
  char target[PATH_MAX] = {};
  const ssize_t n = readlink(path, target, sizeof target - 1);
  return n > 0 && terminal == std::string(target, static_cast<std::size_t>(n));
}

bool endSession(ChipState& chip, const SimOptions& options) {
  resetSession(chip);
  const bool program = dumpMemory(options.dumpProgram, chip.program);
  const bool data = dumpMemory(options.dumpData, chip.data);
  return program && data;
}

// Serves host sessions until stopped; returns the exit status.
int serveChip(int master, int watch, const SimOptions& options, FILE* trace) {
  ChipState chip = makeChip(options.part, options.faults);
  LinePace pace;
  bool inSession = false;
  bool dumped = true;
  sigset_t waitMask;
  sigemptyset(&waitMask);
  std::uint8_t buffer[4096];
  while (!stopRequested) {
    // With no host on the line the terminal reports a hang-up without end, so it is watched only
    // while a host has it open; the watch on the terminal's node says when one opens it.
    pollfd fds[2] = {{watch, POLLIN, 0}, {master, POLLIN, 0}};
    const nfds_t count = inSession ? 2 : 1;
    if (ppoll(fds, count, nullptr, &waitMask) < 0) {
      if (errno == EINTR)
        continue;
      perror("kilnload-sim: waiting for the host");
      return 1;
    }
    if (fds[0].revents & POLLIN) {
      alignas(inotify_event) char events[4096];
      const ssize_t n = read(watch, events, sizeof events);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if (event->mask & IN_OPEN)
          inSession = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    if (!inSession)
      continue;
    if (fds[1].revents & POLLIN) {
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) {
        dumped = false;
        serveBytes(master, chip, options, trace, pace, buffer, static_cast<std::size_t>(n));
        continue;
      }
    }
    if (fds[1].revents & (POLLHUP | POLLERR)) {
      inSession = false;
      dumped = true;
      if (!endSession(chip, options))
        return 1;
      if (options.once)
        return 0;
    }
  }
  if (!dumped && !endSession(chip, options))
    return 1;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  bool help = false;
  if (!parseSimOptionsInto(argc, argv, options, help)) {
    printUsage(stderr);
    return 2;
  }
  if (help) {
    printUsage(stdout);
    return 0;
  }

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
    perror("kilnload-sim: pseudo-terminal");
    return 1;
  }
  const std::string terminal = ptsname(master);
  const int watch = inotify_init1(IN_CLOEXEC);
  if (watch < 0 || inotify_add_watch(watch, terminal.c_str(), IN_OPEN) < 0) {
    perror("kilnload-sim: watching the terminal");
    return 1;
  }
  File trace;
  if (options.trace != nullptr) {
    trace.reset(fopen(options.trace, "w"));
    if (!trace) {
      fprintf(stderr, "kilnload-sim: could not open %s\n", options.trace);
      return 1;
    }
  }
  if (options.link != nullptr) {
    // Only a link left behind by an earlier run is replaced: whatever else stands there, a file
    // or a real serial device, is not ours to remove.
    struct stat existing {};
    if (lstat(options.link, &existing) == 0 && S_ISLNK(existing.st_mode))
      unlink(options.link);
    if (symlink(terminal.c_str(), options.link) != 0) {
      fprintf(stderr, "kilnload-sim: could not link %s: %s\n", options.link, strerror(errno));
      return 1;
    }
  }

  // The stop signals are let through only while the chip sleeps in ppoll.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  printf("%s\n", terminal.c_str());
  fflush(stdout);
  const int status = serveChip(master, watch, options, trace.get());
  if (options.link != nullptr && linksTo(options.link, terminal))
    unlink(options.link);
  close(watch);
  close(master);
  return status;
}
