#include "app/app.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "app/help.h"
#include "hex/hex.h"
#include "loader/loader.h"
#include "serial/control.h"
#include "serial/serial.h"

namespace {

// The leading '+' stops glibc's and the BSDs' getopt_long from reordering arguments: parsing must
// stop at the first operand.
constexpr const char* optionString = "+w:e:p:cahv";

// What getopt_long returns for a long option that has no letter: past every byte a letter can be.
enum LongOption { ignoreChecksumsOption = 256, enterOption, exitOption, helpOption, versionOption };

const option longOptions[] = {
    {"ignore-checksums", no_argument, nullptr, ignoreChecksumsOption},
    {"enter", required_argument, nullptr, enterOption},
    {"exit", required_argument, nullptr, exitOption},
    {"help", no_argument, nullptr, helpOption},
    {"version", no_argument, nullptr, versionOption},
    {nullptr, 0, nullptr, 0},
};

// The actions a run can carry out, in the fixed order they run in, whatever the command line's.
enum Action { eraseProgram, eraseAll, writeProgram, writeData, actionCount };

constexpr const char* versionLine = "kilnload ver.0.1\n";

// What --enter=default and --exit=default stand for: the usual circuit, DTR to the reset pin and
// RTS to the download pin, each pin low while its line is asserted. The chip comes out of a
// 50 ms reset with its download pin held low, which it reads as it starts, so it starts its
// loader; a reset with the pin released starts its program.
constexpr const char* defaultEnter = "dtr+,rts+,50,dtr-,100,rts-";
constexpr const char* defaultExit = "rts-,dtr+,50,dtr-";

struct RunSettings {
  const char* portPath = "/dev/ttyS0";
  const char* programPath = nullptr;
  const char* dataPath = nullptr;
  bool requested[actionCount] = {};
  bool showVersion = false;
  bool checkSums = true;
  bool optionFault = false;        // an unknown option, one without its argument, a bad sequence
  const char* leftOver = nullptr;  // the first argument after the options
  LineSequence enter, exit;        // the control-line steps around the run, none when empty
  int answer = 0;                  // 'h', helpOption or versionOption: what to print instead
};

// Fills steps from the argument of --enter or --exit, the name "default" standing for
// defaultText; returns false after a message when it is no sequence.
[[nodiscard]] bool parseSequenceInto(LineSequence& steps, const char* text, const char* option,
                                     const char* defaultText) {
  if (parseLineSequenceInto(std::strcmp(text, "default") == 0 ? defaultText : text, steps))
    return true;
  fprintf(stderr,
          "kilnload: invalid sequence '%s' for %s (steps dtr+ dtr- rts+ rts- or a pause of 1 "
          "to %d ms, parted by commas)\n",
          text, option, longestPauseMillis);
  return false;
}

// Fills settings from the whole command line; returns false when -h, --help or --version asked
// for a text instead of a run.
[[nodiscard]] bool parseOptionsInto(int argc, char** argv, RunSettings& settings) {
  int option = 0;
  while ((option = getopt_long(argc, argv, optionString, longOptions, nullptr)) != -1) {
    switch (option) {
      case 'w':
        settings.requested[writeProgram] = true;
        settings.programPath = optarg;
        break;
      case 'e':
        settings.requested[writeData] = true;
        settings.dataPath = optarg;
        break;
      case 'p':
        settings.portPath = optarg;
        break;
      case 'c':
        settings.requested[eraseProgram] = true;
        break;
      case 'a':
        settings.requested[eraseAll] = true;
        break;
      case 'v':
        settings.showVersion = true;
        break;
      case ignoreChecksumsOption:
        settings.checkSums = false;
        break;
      case enterOption:
        settings.optionFault |= !parseSequenceInto(settings.enter, optarg, "--enter", defaultEnter);
        break;
      case exitOption:
        settings.optionFault |= !parseSequenceInto(settings.exit, optarg, "--exit", defaultExit);
        break;
      case 'h':
      case helpOption:
      case versionOption:
        settings.answer = option;
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

// Catches every signal whose default action would end the run with the line left raw (Ctrl-\, a
// full ulimit -f, a timer), so that the run ends between exchanges with the line given back,
// unless one was ignored when the run began (nohup, a script's trap '' INT, a background job of a
// non-interactive shell): that choice is the caller's. One blocked by the caller is let through,
// so that a signal already pending still stops the run before the port is opened. A reader of
// the output that goes away must not end the run either, with the chip half written and no exit
// status to tell.
void catchSignals() {
  sigset_t caught;
  sigemptyset(&caught);
  for (const int each : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                         SIGPROF, SIGXCPU, SIGXFSZ}) {
    struct sigaction found {};
    // Without SA_RESTART, so that a read of an image from a pipe that has stalled gives way.
    struct sigaction action {};
    action.sa_handler = requestStop;
    if (sigaction(each, nullptr, &found) == 0 && found.sa_handler != SIG_IGN) {
      sigaction(each, &action, nullptr);
      sigaddset(&caught, each);
    }
  }
  sigprocmask(SIG_UNBLOCK, &caught, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Gives a closed standard stream /dev/null: left closed, it would be the descriptor the port
// gets, and the messages meant for it would go to the chip. Returns false when one cannot be had.
[[nodiscard]] bool openClosedStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    // open takes the lowest free descriptor, which is fd: all below it are open by now.
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)  // NOLINT(android-cloexec-open)
      return false;
  }
  return true;
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

// The images of the two memories, program then data; none where no write is asked for.
struct Images {
  MemoryImage program, data;
};

// Reads the image of a requested write of one memory of size bytes from path into image; returns
// false after the messages when it cannot be read, or a stop signal came.
[[nodiscard]] bool readImageInto(MemoryImage& image, bool requested, const char* path, int size,
                                 bool checkSums) {
  if (!requested)
    return true;
  image = allocateMemory(size);
  return readHexFile(path, size, image.data(), checkSums) == 1;
}

// Carries out action on the identified device; returns whether it succeeded.
[[nodiscard]] bool runAction(Action action, int port, int device, const Images& images) {
  switch (action) {
    case eraseProgram:
      return eraseProgramMemory(port);
    case eraseAll:
      return eraseProgramAndDataMemory(port);
    case writeProgram:
      return writeProgramMemoryFrom(port, device, images.program.data());
    default:
      return writeDataMemoryFrom(port, device, images.data.data());
  }
}

// Reads every image settings name, then carries out the erases and writes they ask for, in their
// fixed order, on the identified device; returns whether every one succeeded. An image that
// cannot be had leaves the chip untouched: erasing first would leave it blank, writing one memory
// of two would leave it half old, half new.
[[nodiscard]] bool runActions(int port, int device, const RunSettings& settings) {
  Images images;
  if (stopSignal != 0 ||
      !readImageInto(images.program, settings.requested[writeProgram], settings.programPath,
                     pmsize(device), settings.checkSums) ||
      !readImageInto(images.data, settings.requested[writeData], settings.dataPath, dmsize(device),
                     settings.checkSums))
    return false;
  // A refused erase or write still lets the later actions run, but the run as a whole has then
  // failed. After a stop signal no action starts.
  bool failed = false;
  for (int action = 0; action < actionCount; ++action) {
    if (stopSignal != 0)
      return false;
    if (settings.requested[action])
      failed |= !runAction(static_cast<Action>(action), port, device, images);
  }
  return !failed;
}

// Returns whether port can make the control-line sequences settings ask for, true when they ask
// for none; false after a message when its driver has no such lines.
[[nodiscard]] bool checkControlLines(int port, const RunSettings& settings) {
  if ((settings.enter.empty() && settings.exit.empty()) || canSetControlLines(port))
    return true;
  fprintf(stderr,
          "%s has no DTR and RTS to set (a pseudo-terminal?): --enter and --exit need a serial "
          "port's control lines.\n",
          settings.portPath);
  return false;
}

// Makes steps on port at path; returns whether all were made, false after a message when the
// driver refused one, or silently after a stop signal.
[[nodiscard]] bool playSequence(int port, const char* path, const LineSequence& steps) {
  if (playLineSequenceFrom(port, steps))
    return true;
  if (stopSignal == 0)
    fprintf(stderr, "Could not set DTR and RTS on %s.\n", path);
  return false;
}

// Puts the chip on port into its loader by the entry sequence of settings, after checking that
// the port has control lines if any sequence is asked for, so that one without them has been
// sent nothing; returns whether the chip is to be identified, false after a message or a stop
// signal.
[[nodiscard]] bool enterLoader(int port, const RunSettings& settings) {
  return stopSignal == 0 && checkControlLines(port, settings) &&
         playSequence(port, settings.portPath, settings.enter);
}

// Prints what answer, -h, --help or --version, asks for; returns the exit status, 1 for -h as ever.
int printAnswerTo(int answer) {
  if (answer == helpOption)
    printFullHelp();
  else if (answer == versionOption)
    fputs(versionLine, stdout);
  else
    print_help();
  return answer == 'h' ? 1 : 0;
}

// Opens the line, identifies the chip and runs the actions settings ask for, in their fixed
// order; returns the exit status. A stop signal that came before the port is opened leaves it
// unopened: opening alone resets a board that watches DTR.
[[nodiscard]] int runSequence(const RunSettings& settings) {
  if (std::none_of(std::begin(settings.requested), std::end(settings.requested),
                   [](bool wanted) { return wanted; }) &&
      !settings.showVersion) {
    print_help();
    return 0;
  }
  if (stopSignal != 0)
    return 1;
  const int port = openSerialPort(settings.portPath);
  if (port == -1) {
    const int cause = errno;
    fprintf(stderr, "Could not open %s.\n", settings.portPath);
    explainOpenFailure(settings.portPath, cause);
    return 1;
  }
  if (settings.showVersion)
    fputs(versionLine, stdout);
  const int device = enterLoader(port, settings) ? identify(port) : 0;
  // After a failure the chip stays in its loader: a half-written program must not start.
  const bool succeeded = device != 0 && runActions(port, device, settings) &&
                         playSequence(port, settings.portPath, settings.exit);
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
  if (!openClosedStreams()) {
    fputs("Could not open /dev/null.\n", stderr);
    return 1;
  }
  catchSignals();
  // With both streams in one log, lines must appear in the order they were issued, also when
  // standard output is a pipe.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  RunSettings settings;
  if (!parseOptionsInto(argc, argv, settings))
    return printAnswerTo(settings.answer);
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
