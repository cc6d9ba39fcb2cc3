#include "options.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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
  identityOption,
  doubleOption,
  lateOption,
  hangUpOption,
  signalOption,
  staleOption,
  noiseOption,
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
    {"identity", required_argument, nullptr, identityOption},
    {"double", required_argument, nullptr, doubleOption},
    {"late", required_argument, nullptr, lateOption},
    {"hang-up", required_argument, nullptr, hangUpOption},
    {"signal", required_argument, nullptr, signalOption},
    {"stale", required_argument, nullptr, staleOption},
    {"noise", required_argument, nullptr, noiseOption},
    {"help", no_argument, nullptr, helpOption},
    {"exit-after", required_argument, nullptr, exitAfterOption},
    {nullptr, 0, nullptr, 0},
};

// An option whose argument is one whole number: its bounds, whether it is read in hexadecimal
// (else in decimal), what it is called when it is wrong, and where it goes.
struct NumberOption {
  int id;
  long low, high;
  bool hex;
  const char* wanted;
  long* target;
};

// The longest an answer is held back, by --late or --adapter-latency: a minute is far beyond any
// adapter's latency timer.
constexpr long mostMillis = 60000;

// Returns the options whose argument is one whole number, each going to its place in options.
std::array<NumberOption, 9> numberOptionsOf(SimOptions& options) {
  ChipFaults& chip = options.faults;
  LineFaults& line = options.lineFaults;
  const char* const count = "a packet count";
  const char* const byte = "a byte in hex";
  const char* const millis = "a number of milliseconds";
  // A wait of up to 68 years is as good as none, and its nanoseconds still fit a long long.
  const char* const seconds = "a number of seconds";
  return {{{nakOption, 1, LONG_MAX, false, count, &chip.nakPacket},
           {ignoreOption, 1, LONG_MAX, false, count, &chip.ignorePacket},
           {silentAfterOption, 0, LONG_MAX, false, count, &chip.silentAfter},
           {doubleOption, 1, LONG_MAX, false, count, &line.doubleFrom},
           {hangUpOption, 0, LONG_MAX, false, count, &line.hangUpPacket},
           {staleOption, 0, UCHAR_MAX, true, byte, &line.staleByte},
           {noiseOption, 0, UCHAR_MAX, true, byte, &line.noiseByte},
           {exitAfterOption, 1, INT_MAX, false, seconds, &options.sessions.exitAfterSeconds},
           {adapterLatencyOption, 0, mostMillis, false, millis, &options.adapterLatencyMs}}};
}

// Returns the codes of the devices in devs, between and before the last.
std::string listDevices(const char* between, const char* beforeLast) {
  const auto devices = knownDevices();
  std::string list;
  for (const DeviceEntry& device : devices) {
    if (&device != &devices.front())
      list += &device != &devices.back() ? between : beforeLast;
    list += device.name;
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

// Says that text is not what wanted names; returns false.
bool refuseArgument(const char* text, const char* wanted) {
  fprintf(stderr, "kilnload-sim: '%s' is not %s\n", text, wanted);
  return false;
}

// Sets count to the packet count, from low, that text holds before its first colon; returns what
// follows the colon, or null when there is no colon or no such count.
const char* afterCountIn(const char* text, long& count, long low) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr)
    return nullptr;
  return parseNumberInto(count, std::string(text, colon).c_str(), low, LONG_MAX) ? colon + 1
                                                                                 : nullptr;
}

// Returns the number of the signal whose name, without "SIG", is name; 0 when none has it.
int signalNamed(const std::string& name) {
  for (int number = 1; number < NSIG; ++number) {
    const char* abbreviation = sigabbrev_np(number);
    if (abbreviation != nullptr && name == abbreviation)
      return number;
  }
  return 0;
}

// Returns the byte the two hex digits at text spell, -1 when they are not two hex digits.
int hexByteAt(const char* text) {
  const bool hex = std::isxdigit(static_cast<unsigned char>(text[0])) != 0 &&
                   std::isxdigit(static_cast<unsigned char>(text[1])) != 0;
  return hex ? static_cast<int>(strtol(std::string(text, 2).c_str(), nullptr, 16)) : -1;
}

// Sets bytes to those text spells in hex, two digits a byte; returns false when it spells none,
// or anything else.
bool parseHexBytesInto(std::vector<std::uint8_t>& bytes, const char* text) {
  for (; *text != '\0'; text += 2) {
    const int byte = hexByteAt(text);
    if (byte < 0)
      return false;
    bytes.push_back(static_cast<std::uint8_t>(byte));
  }
  return !bytes.empty();
}

// Returns the byte that the escape at text, just after its backslash, stands for, and sets length
// to the characters after the backslash it takes; -1 when it is not \xHH, \r, \n or \\.
int escapedByteAt(const char* text, int& length) {
  length = 1;
  switch (text[0]) {
    case 'r':
      return '\r';
    case 'n':
      return '\n';
    case '\\':
      return '\\';
    case 'x':
      length = 3;
      return hexByteAt(text + 1);
    default:
      return -1;
  }
}

// Sets bytes to text with its escapes undone; returns false when one is not \xHH, \r, \n or \\.
bool unescapeInto(std::string& bytes, const char* text) {
  for (; *text != '\0'; ++text) {
    int length = 0;
    const int byte =
        *text == '\\' ? escapedByteAt(text + 1, length) : static_cast<unsigned char>(*text);
    if (byte < 0)
      return false;
    bytes += static_cast<char>(byte);
    text += length;
  }
  return true;
}

bool takePart(const char* text, SimOptions& options) {
  options.device = std::strlen(text) == 3 ? identifyDevice(text) : 0;
  if (options.device == 0) {
    fprintf(stderr, "kilnload-sim: unknown part '%s' (%s)\n", text,
            listDevices(", ", " or ").c_str());
  }
  return options.device != 0;
}

bool takeReply(const char* text, ChipFaults& faults) {
  const char* bytes = afterCountIn(text, faults.replyPacket, 1);
  return (bytes != nullptr && parseHexBytesInto(faults.replyBytes, bytes)) ||
         refuseArgument(text, "N:BYTES");
}

bool takeLate(const char* text, LineFaults& faults) {
  const char* millis = afterCountIn(text, faults.latePacket, 1);
  return (millis != nullptr && parseNumberInto(faults.lateMillis, millis, 0, mostMillis)) ||
         refuseArgument(text, "N:MS");
}

bool takeSignal(const char* text, LineFaults& faults) {
  const char* name = afterCountIn(text, faults.signalPacket, 0);
  const char* colon = name != nullptr ? std::strchr(name, ':') : nullptr;
  faults.signalNumber = colon != nullptr ? signalNamed(std::string(name, colon)) : 0;
  faults.signalPidPath = colon != nullptr ? colon + 1 : nullptr;
  return (faults.signalNumber != 0 && *faults.signalPidPath != '\0') ||
         refuseArgument(text, "N:SIGNAL:FILE");
}

bool takeIdentity(const char* text, ChipFaults& faults) {
  return (unescapeInto(faults.identity, text) && !faults.identity.empty()) ||
         refuseArgument(text, "a text with \\xHH, \\r, \\n or \\\\ escapes");
}

// Takes the argument text of the option with id if its argument is one whole number; returns
// false after a message when it is wrong or the option is none such (getopt_long has said what
// was wrong).
bool takeNumber(int id, const char* text, SimOptions& options) {
  const std::array<NumberOption, 9> numbers = numberOptionsOf(options);
  const auto* number = std::find_if(numbers.begin(), numbers.end(),
                                    [id](const NumberOption& each) { return each.id == id; });
  if (number == numbers.end())
    return false;
  const NumberOption& chosen = *number;
  return parseNumberInto(*chosen.target, text, chosen.low, chosen.high, chosen.hex ? 16 : 10) ||
         refuseArgument(text, chosen.wanted);
}

// Takes the option with id and its argument text; returns false after a message when either is
// wrong.
bool takeOption(int id, const char* text, SimOptions& options) {
  switch (id) {
    case partOption:
      return takePart(text, options);
    case linkOption:
      options.outputs.link = text;
      return true;
    case traceOption:
      options.outputs.trace = text;
      return true;
    case dumpProgramOption:
      options.outputs.program = text;
      return true;
    case dumpDataOption:
      options.outputs.data = text;
      return true;
    case onceOption:
      return options.sessions.once = true;
    case lineRateOption:
      return options.lineRate = true;
    case refuseEraseOption:
      return options.faults.refuseErase = true;
    case helpOption:
      return options.helpWanted = true;
    case replyOption:
      return takeReply(text, options.faults);
    case lateOption:
      return takeLate(text, options.lineFaults);
    case signalOption:
      return takeSignal(text, options.lineFaults);
    case identityOption:
      return takeIdentity(text, options.faults);
    default:
      return takeNumber(id, text, options);
  }
}

// Returns false after a message when two of outputs name the same file: the one written last
// would overwrite what the other wrote, or the trace the link.
bool keepsOutputsApart(const OutputPaths& outputs) {
  const std::pair<const char*, const char*> named[] = {{"--link", outputs.link},
                                                       {"--trace", outputs.trace},
                                                       {"--dump-program", outputs.program},
                                                       {"--dump-data", outputs.data}};
  for (auto first = std::begin(named); first != std::end(named); ++first) {
    for (auto second = first + 1; second != std::end(named); ++second) {
      if (first->second != nullptr && second->second != nullptr &&
          std::filesystem::path(first->second).lexically_normal() ==
              std::filesystem::path(second->second).lexically_normal()) {
        fprintf(stderr, "kilnload-sim: %s and %s both name '%s'\n", first->first, second->first,
                second->second);
        return false;
      }
    }
  }
  return true;
}

// Returns false after a message when argv holds an argument after the options.
bool leavesNoArgument(int argc, char** argv) {
  if (optind < argc)
    fprintf(stderr, "kilnload-sim: unexpected argument '%s'\n", argv[optind]);
  return optind >= argc;
}

constexpr const char* usageHead =
    "Usage: kilnload-sim [options]\n"
    "A stand-in chip with the serial download loader, on a pseudo-terminal. Prints the path\n"
    "of the terminal side on its first line, then serves one host session after another\n"
    "until SIGINT, SIGTERM or SIGHUP (or --exit-after gives up waiting for the next).\n"
    "\n"
    "Options:\n";

constexpr const char* usageOptions =
    "  --link PATH           also make a symbolic link to the terminal at PATH, removed on exit;\n"
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
    "\n"
    "Faults, counted in the Loader packets of each session from 1 (0: the identification):\n"
    "  --nak N               refuse the N-th Loader packet\n"
    "  --silent-after N      answer nothing after N Loader packets\n"
    "  --reply N:BYTES       answer the N-th Loader packet with BYTES (hex, two digits a\n"
    "                        byte), doing nothing\n"
    "  --ignore N            answer the N-th Loader packet with nothing, doing nothing\n"
    "  --refuse-erase        refuse every erase\n"
    "  --identity TEXT       answer the identification with TEXT, whose escapes \\xHH, \\r,\n"
    "                        \\n and \\\\ stand for the bytes they name\n"
    "  --double N            send the answer to the N-th Loader packet and to every later one\n"
    "                        twice, 5 ms apart\n"
    "  --late N:MS           hold the answer to the N-th Loader packet back MS milliseconds\n"
    "                        (0 to 60000)\n"
    "  --hang-up N           drop the line when the N-th Loader packet (0: the identification)\n"
    "                        arrives, unanswered, and end\n"
    "  --signal N:SIG:FILE   when the N-th Loader packet (0: the identification) arrives, send\n"
    "                        the signal SIG (INT, TERM, ...) to the process whose number FILE\n"
    "                        holds, then answer\n"
    "  --stale BYTE          send BYTE (hex) 10 ms after each open of the terminal, as an\n"
    "                        answer an earlier run left in flight\n"
    "  --noise BYTE          send BYTE (hex) about once a byte's time on the line while a host\n"
    "                        has it, answering nothing\n"
    "  -h, --help            print this text\n"
    "\n"
    "Exit status: 0 when the session of --once or --hang-up has ended or SIGINT, SIGTERM or\n"
    "SIGHUP stopped it; 1 when the terminal, the trace, the link or a dump could not be made\n"
    "or written, or something other than a link an earlier run left stands at the --link\n"
    "path; 2 for a wrong command line, two outputs naming one file among them; 3 when\n"
    "--exit-after gave up waiting for a host.\n";

}  // namespace

bool parseSimOptionsInto(int argc, char** argv, SimOptions& options) {
  options.device = identifyDevice(defaultDevice);
  int option = 0;
  while ((option = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1) {
    if (!takeOption(option, optarg, options))
      return false;
  }
  return leavesNoArgument(argc, argv) && keepsOutputsApart(options.outputs);
}

void printSimUsage(FILE* file) {
  fputs(usageHead, file);
  fprintf(file, "  --part %-14s the part it identifies as (default %s)\n",
          listDevices("|", "|").c_str(), defaultDevice);
  fputs(usageOptions, file);
}
