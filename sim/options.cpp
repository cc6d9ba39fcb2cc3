#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "loader/loader.h"

namespace {

// The device the chip is unless --part names another.
constexpr const char* defaultDevice = "842";

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

// Returns the codes of the devices in devs, between and before the last.
std::string listDevices(const char* between, const char* beforeLast) {
  std::string list;
  for (int device = 1; devs[device].name[0] != '\0'; ++device) {
    if (device > 1)
      list += devs[device + 1].name[0] != '\0' ? between : beforeLast;
    list += devs[device].name;
  }
  return list;
}

// Sets value to the whole number text holds in base; returns false when there is none, or it lies
// outside [low, high].
[[nodiscard]] bool parseNumberInto(long& value, const char* text, long low, long high,
                                   int base = 10) {
  errno = 0;
  char* end = nullptr;
  value = strtol(text, &end, base);
  return *text != '\0' && errno == 0 && *end == '\0' && value >= low && value <= high;
}

}  // namespace

bool parseSimOptionsInto(int argc, char** argv, SimOptions& options) {
  options.device = identifyDevice(defaultDevice);
  int option = 0;
  while ((option = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1) {
    bool valid = true;
    const char* wanted = nullptr;  // what an argument that is not valid should have been
    switch (option) {
      case partOption:
        options.device = std::strlen(optarg) == 3 ? identifyDevice(optarg) : 0;
        if (options.device == 0) {
          fprintf(stderr, "kilnload-sim: unknown part '%s' (%s)\n", optarg,
                  listDevices(", ", " or ").c_str());
          return false;
        }
        break;
      case linkOption:
        options.linkPath = optarg;
        break;
      case dumpProgramOption:
        options.sessions.dumps.program = optarg;
        break;
      case dumpDataOption:
        options.sessions.dumps.data = optarg;
        break;
      case traceOption:
        options.tracePath = optarg;
        break;
      case onceOption:
        options.sessions.once = true;
        break;
      case lineRateOption:
        options.lineRate = true;
        break;
      case refuseEraseOption:
        options.faults.refuseErase = true;
        break;
      case helpOption:
        options.helpWanted = true;
        break;
      case nakOption:
        valid = parseNumberInto(options.faults.nakPacket, optarg, 1, LONG_MAX);
        wanted = "a packet count";
        break;
      case ignoreOption:
        valid = parseNumberInto(options.faults.ignorePacket, optarg, 1, LONG_MAX);
        wanted = "a packet count";
        break;
      case silentAfterOption:
        valid = parseNumberInto(options.faults.silentAfter, optarg, 0, LONG_MAX);
        wanted = "a packet count";
        break;
      case replyOption: {
        const std::string text = optarg;
        const std::size_t colon = text.find(':');
        long byte{};
        valid = colon != std::string::npos &&
                parseNumberInto(options.faults.replyPacket, text.substr(0, colon).c_str(), 1,
                                LONG_MAX) &&
                parseNumberInto(byte, text.c_str() + colon + 1, 0, 255, 16);
        options.faults.replyByte = static_cast<std::uint8_t>(byte);
        wanted = "N:BYTE";
        break;
      }
      case exitAfterOption:
        // A wait of up to 68 years is as good as none, and its nanoseconds still fit a long long.
        valid = parseNumberInto(options.sessions.exitAfterSeconds, optarg, 1, INT_MAX);
        wanted = "a number of seconds";
        break;
      case adapterLatencyOption:
        // A minute is far beyond any adapter's latency timer.
        valid = parseNumberInto(options.adapterLatencyMs, optarg, 0, 60000);
        wanted = "a number of milliseconds";
        break;
      default:  // getopt_long has said what was wrong
        return false;
    }
    if (!valid) {
      fprintf(stderr, "kilnload-sim: '%s' is not %s\n", optarg, wanted);
      return false;
    }
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
      "until SIGINT, SIGTERM or SIGHUP (or --exit-after gives up waiting for the next).\n"
      "\n"
      "Options:\n",
      file);
  fprintf(file, "  --part %-14s the part it identifies as (default %s)\n",
          listDevices("|", "|").c_str(), defaultDevice);
  fputs(
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
      "                        bytes it discards are logged with ?: any that start no request,\n"
      "                        and any ahead of the first request of a session that checks out\n"
      "  --nak N               refuse the N-th Loader packet of each session\n"
      "  --silent-after N      answer nothing after N Loader packets of each session\n"
      "  --reply N:BYTE        answer the N-th Loader packet with BYTE (hex), doing nothing\n"
      "  --ignore N            answer the N-th Loader packet with nothing, doing nothing\n"
      "  --refuse-erase        refuse every erase\n"
      "  -h, --help            print this text\n"
      "\n"
      "Exit status: 0 when the session of --once has ended or SIGINT, SIGTERM or SIGHUP\n"
      "stopped it; 1 when the terminal, the trace, the link or a dump could not be made, or\n"
      "something other than a link an earlier run left stands at the --link path; 2 for a\n"
      "wrong command line; 3 when --exit-after gave up waiting for a host.\n",
      file);
}
