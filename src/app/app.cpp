#include "app/app.h"

#include <unistd.h>

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
  bool optionFault = false;  // an unknown option, or one without its argument
};

// Fills settings from the options; returns false when -h asked for the usage text.
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
      default:  // getopt has said what was wrong; the rest of the line still counts
        settings.optionFault = true;
        break;
    }
  }
  return true;
}

enum class MemoryOutcome { written, failed, imageFailed };

// Reads the hex file at path into an image of size bytes and hands it to write; the image lives
// only for this one memory.
[[nodiscard]] MemoryOutcome loadAndWriteMemory(int port, int device, int size, const char* path,
                                               bool (*write)(int, int, const std::uint8_t*)) {
  const MemoryImage image = allocateMemory(size);
  if (!image || readHexFile(path, size, image.get()) != 1)
    return MemoryOutcome::imageFailed;
  return write(port, device, image.get()) ? MemoryOutcome::written : MemoryOutcome::failed;
}

// Carries out the erases and writes settings ask for, in their fixed order, on the identified
// device; returns whether every one succeeded. A hex image that cannot be had ends the sequence.
[[nodiscard]] bool runActions(int port, int device, const RunSettings& settings) {
  // A refused erase still lets the writes run, but the run as a whole has then failed.
  bool failed = false;
  if (settings.eraseProgram)
    failed |= !eraseProgramMemory(port);
  if (settings.eraseAll)
    failed |= !eraseProgramAndDataMemory(port);

  struct MemoryJob {
    bool requested;
    int size;
    const char* path;
    bool (*write)(int, int, const std::uint8_t*);
  };
  const MemoryJob jobs[] = {
      {settings.writeProgram, pmsize(device), settings.programPath, writeProgramMemoryFrom},
      {settings.writeData, dmsize(device), settings.dataPath, writeDataMemoryFrom},
  };
  for (const MemoryJob& job : jobs) {
    if (!job.requested)
      continue;
    const MemoryOutcome outcome = loadAndWriteMemory(port, device, job.size, job.path, job.write);
    if (outcome == MemoryOutcome::imageFailed)
      return false;
    failed |= outcome == MemoryOutcome::failed;
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
  if (port < 0) {
    fprintf(stderr, "Could not open %s.\n", settings.portPath);
    return 1;
  }
  if (settings.showVersion)
    fputs("kilnload ver.0.1\n", stdout);
  clearInputBuffer(port);
  const int device = identify(port);
  if (device <= 0) {
    (void)closeSerialPort(port);
    return 1;
  }

  const bool succeeded = runActions(port, device, settings);
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
  RunSettings settings;
  if (!parseOptionsInto(argc, argv, settings)) {
    print_help();
    return 1;
  }
  // A script must not go on as if the chip had been written when its command line was wrong,
  // even though what could be understood of it has run.
  const int status = runSequence(settings);
  return settings.optionFault ? 1 : status;
}
