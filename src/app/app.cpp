#include "app/app.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "hex/hex.h"
#include "loader/loader.h"
#include "serial/serial.h"

namespace {

// glibc reorders arguments unless told otherwise; parsing must stop at the first operand.
#if defined(__GLIBC__)
constexpr const char* optionString = "+w:e:p:cahv";
#else
constexpr const char* optionString = "w:e:p:cahv";
#endif

struct RunSettings {
  const char* portPath = "/dev/ttyS0";
  const char* programPath = nullptr;
  const char* dataPath = nullptr;
  bool writeProgram = false;
  bool writeData = false;
  bool eraseProgram = false;
  bool eraseAll = false;
  bool showVersion = false;
  bool optionFault = false;        // an unknown option, or one without its argument
  const char* leftOver = nullptr;  // the first argument after the options
};

// Fills settings from the whole command line; returns false when -h asked for the usage text.
[[nodiscard]] bool parseOptionsInto(int argc, char** argv, RunSettings& settings) {
  int option = 0;
  while ((option = getopt(argc, argv, optionString)) != -1) {
    switch (option) {
      case 'w':
        settings.writeProgram = true;
        settings.programPath = optarg;
        break;
      case 'e':
        settings.writeData = true;
        settings.dataPath = optarg;
        break;
      case 'p':
        settings.portPath = optarg;
        break;
      case 'c':
        settings.eraseProgram = true;
        break;
      case 'a':
        settings.eraseAll = true;
        break;
      case 'v':
        settings.showVersion = true;
        break;
      case 'h':
        return false;
      default:  // getopt has said what was wrong
        settings.optionFault = true;
        break;
    }
  }
  settings.leftOver = argv[optind];  // argv[argc] is null: nothing is left
  return true;
}

void requestStop(int signal) {
  stopSignal = signal;
}

// Catches the stop signals, so that a run ends between exchanges with the line given back,
// unless one was ignored when the run began (nohup, a script's trap '' INT, a background job of a
// non-interactive shell): that choice is the caller's. A reader of the output that goes away
// must not end the run either, with the chip half written and no exit status to tell.
void catchSignals() {
  for (const int each : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction found {};
    // Without SA_RESTART, so that a read of an image from a pipe that has stalled gives way.
    struct sigaction action {};
    action.sa_handler = requestStop;
    if (sigaction(each, nullptr, &found) == 0 && found.sa_handler != SIG_IGN)
      sigaction(each, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
}

// A standard stream left closed would be the descriptor the port gets, and the messages meant
// for it would go to the chip.
void openClosedStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    // open takes the lowest free descriptor, which is fd: all below it are open by now.
    if (fcntl(fd, F_GETFD) < 0)
      (void)open("/dev/null", O_RDWR);  // NOLINT(android-cloexec-open)
  }
}

// Ends a run that a stop signal cut short by that signal's own default action, after saying so,
// so that a shell sees 128+N and a script's trap runs; returns status when none came.
int endBy(int status) {
  if (stopSignal != 0) {
    fputs("Interrupted.\n", stderr);
    signal(stopSignal, SIG_DFL);
    raise(stopSignal);
  }
  return status;
}

// One memory to write, and its image, read before anything touches the chip.
struct MemoryJob {
  bool requested;
  int size;
  const char* path;
  bool (*write)(int, int, const std::uint8_t*);
  MemoryImage image;
};

// Reads the image of every requested job, in order, until a stop signal comes; returns false
// after the messages of the first one that cannot be had, whose later jobs are not read.
[[nodiscard]] bool readImagesInto(MemoryJob (&jobs)[2]) {
  for (MemoryJob& job : jobs) {
    if (!job.requested || stopSignal != 0)
      continue;
    job.image = allocateMemory(job.size);
    if (!job.image || readHexFile(job.path, job.size, job.image.get()) != 1)
      return false;
  }
  return true;
}

// Reads every image settings name, then carries out the erases and writes they ask for, in their
// fixed order, on the identified device; returns whether every one succeeded. An image that
// cannot be had leaves the chip untouched: erasing first would leave it blank, writing one memory
// of two would leave it half old, half new.
[[nodiscard]] bool runActions(int port, int device, const RunSettings& settings) {
  MemoryJob jobs[] = {
      {settings.writeProgram, pmsize(device), settings.programPath, writeProgramMemoryFrom, {}},
      {settings.writeData, dmsize(device), settings.dataPath, writeDataMemoryFrom, {}},
  };
  if (!readImagesInto(jobs))
    return false;

  // A refused erase or write still lets the later actions run, but the run as a whole has then
  // failed. After a stop signal no action starts.
  bool failed = false;
  if (settings.eraseProgram && stopSignal == 0)
    failed |= !eraseProgramMemory(port);
  if (settings.eraseAll && stopSignal == 0)
    failed |= !eraseProgramAndDataMemory(port);
  for (const MemoryJob& job : jobs) {
    if (job.requested && stopSignal == 0)
      failed |= !job.write(port, device, job.image.get());
  }
  return !failed;
}

// Opens the line, identifies the chip and runs the actions settings ask for, in their fixed
// order; returns the exit status.
[[nodiscard]] int runSequence(const RunSettings& settings) {
  if (!settings.writeProgram && !settings.writeData && !settings.eraseProgram &&
      !settings.eraseAll && !settings.showVersion) {
    print_help();
    return 0;
  }

  const int port = openSerialPort(settings.portPath);
  if (port == -1) {
    fprintf(stderr, "Could not open %s.\n", settings.portPath);
    return 1;
  }
  if (settings.showVersion)
    fputs("kilnload ver.0.1\n", stdout);
  const int device = stopSignal == 0 ? identify(port) : 0;
  const bool succeeded = device != 0 && runActions(port, device, settings);
  const int closed = closeSerialPort(port);
  if (!succeeded)
    return 1;
  return closed == 0 ? 0 : 255;
}

}  // namespace

void print_help() {
  fputs("\nUsage:", stdout);
  fputs("\tkilnload [-p device] -c|-a [-w hex-file] [-e hex-file]\n", stdout);
  fputs("\n", stdout);
  fputs("Options:\n", stdout);
  fputs("\t-w write program memory\n", stdout);
  fputs("\t-e write data memory\n", stdout);
  fputs("\t-c erase program memory\n", stdout);
  fputs("\t-a erase program and data memory\n\n", stdout);
}

int runKilnload(int argc, char** argv) {
  openClosedStreams();
  catchSignals();
  // With both streams in one log, lines must appear in the order they were issued, also when
  // standard output is a pipe.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  RunSettings settings;
  if (!parseOptionsInto(argc, argv, settings)) {
    print_help();
    return 1;
  }
  // A command line that was not understood whole may be missing the very -w that makes its erase
  // safe: nothing of it runs.
  if (settings.leftOver != nullptr)
    fprintf(stderr, "%s: unexpected argument '%s'\n", argv[0], settings.leftOver);
  if (settings.optionFault || settings.leftOver != nullptr) {
    print_help();
    return 1;
  }
  return endBy(runSequence(settings));
}
