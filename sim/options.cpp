#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "loader/loader.h"

namespace {

// The part the chip is unless told otherwise.
constexpr const char* defaultPart = "842";

// What getopt_long returns for each option; --help has the short form -h.
enum OptionId {
  partOption = 1,
  linkOption,
  onceOption,
  lineRateOption,
  dumpProgramOption,
  dumpDataOption,
  traceOption,
  nakOption,
  silentAfterOption,
  replyOption,
  ignoreOption,
  refuseEraseOption,
  exitAfterOption,
  adapterLatencyOption,
  helpOption = 'h',
};

const option longOptions[] = {
    {"part", required_argument, nullptr, partOption},
    {"link", required_argument, nullptr, linkOption},
    {"once", no_argument, nullptr, onceOption},
    {"line-rate", no_argument, nullptr, lineRateOption},
    {"adapter-latency", required_argument, nullptr, adapterLatencyOption},
    {"dump-program", required_argument, nullptr, dumpProgramOption},
    {"dump-data", required_argument, nullptr, dumpDataOption},
    {"trace", required_argument, nullptr, traceOption},
    {"nak", required_argument, nullptr, nakOption},
    {"silent-after", required_argument, nullptr, silentAfterOption},
    {"reply", required_argument, nullptr, replyOption},
    {"ignore", required_argument, nullptr, ignoreOption},
    {"refuse-erase", no_argument, nullptr, refuseEraseOption},
    {"help", no_argument, nullptr, helpOption},
    {"exit-after", required_argument, nullptr, exitAfterOption},
    {nullptr, 0, nullptr, 0},
};

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

// Where an option's value goes: a path it names, a flag it sets or a packet count of the faults;
// none of them for the part and the reply, which have their own parsers.
struct OptionTarget {
  const char** path = nullptr;
  bool* flag = nullptr;
  long* packetCount = nullptr;
};

OptionTarget targetOf(SimOptions& options, int option) {
  switch (option) {
    case linkOption:
      return {.path = &options.linkPath};
    case dumpProgramOption:
      return {.path = &options.sessions.dumps.program};
    case dumpDataOption:
      return {.path = &options.sessions.dumps.data};
    case traceOption:
      return {.path = &options.tracePath};
    case onceOption:
      return {.flag = &options.sessions.once};
    case lineRateOption:
      return {.flag = &options.lineRate};
    case refuseEraseOption:
      return {.flag = &options.faults.refuseErase};
    case helpOption:
      return {.flag = &options.helpWanted};
    case nakOption:
      return {.packetCount = &options.faults.nakPacket};
    case ignoreOption:
      return {.packetCount = &options.faults.ignorePacket};
    case silentAfterOption:
      return {.packetCount = &options.faults.silentAfter};
    default:
      return {};
  }
}

bool parsePartInto(int& partRow, const char* text) {
  partRow = identifyDevice(text);
  if (partRow == 0 || std::strlen(text) != 3) {
    fprintf(stderr, "kilnload-sim: unknown part '%s' (814 or 842)\n", text);
    return false;
  }
  return true;
}

bool parsePacketCountInto(long& count, const char* text, long least) {
  count = parseNumber(text, 10, least, LONG_MAX);
  if (count < 0) {
    fprintf(stderr, "kilnload-sim: '%s' is not a packet count\n", text);
    return false;
  }
  return true;
}

bool parseReplyInto(ChipFaults& faults, const char* text) {
  const std::string whole = text;
  const std::size_t colon = whole.find(':');
  const long packet = parseNumber(whole.substr(0, colon).c_str(), 10, 1, LONG_MAX);
  const long byte =
      colon == std::string::npos ? -1 : parseNumber(whole.c_str() + colon + 1, 16, 0, 255);
  if (packet < 0 || byte < 0) {
    fprintf(stderr, "kilnload-sim: '%s' is not N:BYTE\n", text);
    return false;
  }
  faults.replyPacket = packet;
  faults.replyByte = static_cast<std::uint8_t>(byte);
  return true;
}

// A wait of up to 68 years is as good as none, and its nanoseconds still fit a long long.
bool parseSecondsInto(long& seconds, const char* text) {
  seconds = parseNumber(text, 10, 1, INT_MAX);
  if (seconds < 0) {
    fprintf(stderr, "kilnload-sim: '%s' is not a number of seconds\n", text);
    return false;
  }
  return true;
}

// A minute is far beyond any adapter's latency timer.
bool parseMillisecondsInto(long& milliseconds, const char* text) {
  milliseconds = parseNumber(text, 10, 0, 60000);
  if (milliseconds < 0) {
    fprintf(stderr, "kilnload-sim: '%s' is not a number of milliseconds\n", text);
    return false;
  }
  return true;
}

// Takes one option and its argument into options; returns false after a message when it is wrong.
bool applyOptionTo(SimOptions& options, int option, const char* argument) {
  const OptionTarget target = targetOf(options, option);
  if (target.path != nullptr) {
    *target.path = argument;
    return true;
  }
  if (target.flag != nullptr) {
    *target.flag = true;
    return true;
  }
  if (target.packetCount != nullptr)
    return parsePacketCountInto(*target.packetCount, argument, option == silentAfterOption ? 0 : 1);
  if (option == partOption)
    return parsePartInto(options.partRow, argument);
  if (option == replyOption)
    return parseReplyInto(options.faults, argument);
  if (option == exitAfterOption)
    return parseSecondsInto(options.sessions.exitAfterSeconds, argument);
  if (option == adapterLatencyOption)
    return parseMillisecondsInto(options.adapterLatencyMs, argument);
  return false;  // getopt_long has said what was wrong
}

}  // namespace

bool parseSimOptionsInto(int argc, char** argv, SimOptions& options) {
  options.partRow = identifyDevice(defaultPart);
  int option = 0;
  while ((option = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1) {
    if (!applyOptionTo(options, option, optarg))
      return false;
  }
  if (optind < argc) {
    fprintf(stderr, "kilnload-sim: unexpected argument '%s'\n", argv[optind]);
    return false;
  }
  return true;
}

void printSimUsage(FILE* file) {
  fputs(
      "Usage: kilnload-sim [options]\n"
      "A stand-in chip with the serial download loader, on a pseudo-terminal. Prints the path\n"
      "of the terminal side on its first line, then serves one host session after another\n"
      "until SIGINT or SIGTERM (or --exit-after gives up waiting for the next).\n"
      "\n"
      "Options:\n"
      "  --part 814|842        the part it identifies as (default 842)\n"
      "  --link PATH           also make a symbolic link to the terminal at PATH, removed on "
      "exit;\n"
      "                        only a link an earlier run left there, to a terminal that has\n"
      "                        gone, is replaced: anything else at PATH stops it (status 1)\n"
      "  --once                serve only the first host session\n"
      "  --exit-after SECONDS  give up, with status 3, when no host session has begun within\n"
      "                        SECONDS of the start or of the end of the last session\n"
      "  --line-rate           pace both directions as a 9600-baud 8N1 line, add 20 ms per\n"
      "                        erase and 2 ms per 16-byte block programmed\n"
      "  --adapter-latency MS  hand each reply to the host MS milliseconds (0 to 60000) after\n"
      "                        it has left the chip, as a USB serial adapter's latency timer\n"
      "                        does; on top of --line-rate\n"
      "  --dump-program FILE   write program memory as Intel HEX when a session ends\n"
      "  --dump-data FILE      write data memory as Intel HEX when a session ends\n"
      "  --trace FILE          log every request (>) and reply (<) in hex, one per line;\n"
      "                        bytes that start no request are logged with ?\n"
      "  --nak N               refuse the N-th Loader packet of each session\n"
      "  --silent-after N      answer nothing after N Loader packets of each session\n"
      "  --reply N:BYTE        answer the N-th Loader packet with BYTE (hex), doing nothing\n"
      "  --ignore N            answer the N-th Loader packet with nothing, doing nothing\n"
      "  --refuse-erase        refuse every erase\n"
      "  -h, --help            print this text\n"
      "\n"
      "Exit status: 0 when the session of --once has ended or SIGINT or SIGTERM stopped it;\n"
      "1 when the terminal, the trace, the link or a dump could not be made, or something\n"
      "other than a link an earlier run left stands at the --link path; 2 for a wrong\n"
      "command line; 3 when --exit-after gave up waiting for a host.\n",
      file);
}
