// The built kilnload against a chip on a real line, each row one run in a scratch folder where the
// chip's terminal is "tty" and the row's files are "1.hex" and "2.hex": what the chip is, what
// kilnload is asked, and everything that must come out of it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"

namespace {

const std::string dir = scratchDir(), tty = dir + "/tty";

const std::string usage =
    "\nUsage:\tkilnload [-p device] -c|-a [-w hex-file] [-e hex-file]\n\nOptions:\n"
    "\t-w write program memory\n\t-e write data memory\n\t-c erase program memory\n"
    "\t-a erase program and data memory\n\n";
const std::string version = "kilnload ver.0.1\n", ok842 = "OK: ADI 842 KS 2.3\n",
                  timeOut = "Serial Port: Time Out.\n", read1 = "Read hexfile - 1.hex.\n",
                  read2 = "Read hexfile - 2.hex.\n", erased = "Program memory erased.\n",
                  allErased = "Program and data memory erased.\n",
                  noEnd = "File ended while reading.\n";

// Requests, one line each, as the chip's trace shows them.
const std::string ID = "21 5A 00 A6\n", C = "07 0E 01 43 BC\n", A = "07 0E 01 41 BE\n",
                  x33 = "33 33 33 33 33 33 33 33 33 33 33 33 33 33 33 33",
                  W00 = "07 0E 14 57 00 00 00 " + x33 + " 65\n",
                  W10 = "07 0E 14 57 00 00 10 " + x33 + " 55\n",
                  W20 = "07 0E 14 57 00 00 20 " + x33 + " 45\n",
                  W30 = "07 0E 14 57 00 00 30 " + x33 + " 35\n",
                  E00 = "07 0E 14 45 00 00 00 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 97\n";

const std::string end = ":00000001FF\n",
                  oneBlock = ":1000000001010101010101010101010101010101E0\n" + end,
                  fourBlocks = ":40000000" + std::string(128, '3') + "00\n" + end;

// Returns the parts of text between separators, empty ones included.
std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);)
    parts.push_back(part);
  return parts;
}

struct Scenario {
  std::string chip;         // kilnload-sim's options
  std::string args, files;  // kilnload's arguments, and the texts of 1.hex and 2.hex, parted by |
  std::string out, err;
  int status;
  std::string wire{};   // the requests kilnload-sim received, one line each as its trace has them
  bool locked = false;  // the test holds the line under its lock: kilnload must be refused
};

// Runs kilnload behind the shim, with a USB adapter's DTR and RTS, whose trace ends its standard
// error; in the plain tables too.
const std::string shimmed = "LD_PRELOAD=" SERIAL_SHIM
                            " SERIAL_SHIM_LINES= SERIAL_SHIM_FLAGS=0 SERIAL_SHIM_REFUSE= kilnload ";

// Runs the command line after it on a terminal of its own, both streams there, and prints the
// final screen, where a carriage return goes back to the start of the line to be written over.
const std::string onTerminal =
    "term() { script -qec \"$*\" /dev/null >raw; s=$?; col -bx <raw; return $s; }; term ";

// Runs each row against kilnload-sim on a line at tty. The test holds the line throughout, which
// keeps it up before kilnload has it, with settings of its own that no run may change: 1200 baud,
// two stop bits, even parity. A row that signals kilnload has it write its number to "pid".
void runScenarios(const std::vector<Scenario>& rows) {
  for (const Scenario& row : rows) {
    SCOPED_TRACE(row.chip + " | " + row.args);
    const std::string simLine =
        "cd " + dir + " && timeout -k 5 60 kilnload-sim --once --link tty --trace trace " +
        row.chip;
    FILE* sim = popen(simLine.c_str(), "re");  // NOLINT(cert-env33-c)
    char simPath[64] = {};
    // The chip is ready once it has printed its terminal.
    ASSERT_TRUE(fgets(simPath, sizeof simPath, sim));
    const int held = open(tty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios before{};
    cfmakeraw(&before);
    cfsetspeed(&before, B1200);
    before.c_cflag |= CSTOPB | PARENB;
    ASSERT_EQ(tcsetattr(held, TCSANOW, &before) | tcgetattr(held, &before), 0);
    ASSERT_EQ(row.locked ? flock(held, LOCK_EX) : 0, 0);
    const std::vector<std::string> files = split(row.files, '|');
    for (std::size_t i = 0; i < files.size(); ++i)
      std::ofstream(dir + "/" + std::to_string(i + 1) + ".hex") << files[i];
    // A row that names kilnload is a whole shell line.
    const RunResult run = runInScratchDir(
        row.args.find("kilnload ") == std::string::npos ? "kilnload " + row.args : row.args);
    EXPECT_EQ(std::tie(run.out, run.err, run.status), std::tie(row.out, row.err, row.status));
    termios after{};
    // A line that has hung up keeps no settings.
    if (tcgetattr(held, &after) == 0) {
      EXPECT_EQ(std::tie(after.c_iflag, after.c_oflag, after.c_cflag, after.c_lflag),
                std::tie(before.c_iflag, before.c_oflag, before.c_cflag, before.c_lflag));
    }
    close(held);  // the session ends: the chip is done
    EXPECT_EQ(pclose(sim), 0);
    // Requests, and any stray bytes, which the trace marks with "?".
    EXPECT_EQ(runInScratchDir("sed -n 's/^> //p; /^?/p' trace", false).out, row.wire);
    std::filesystem::remove(tty);
  }
}

TEST(Scenario, CommandLine) {
  const std::string noArgument = "kilnload: option requires an argument -- 'w'\n",
                    invalid = "kilnload: invalid option -- ";
  runScenarios(
      {{"", "", "", usage, "", 0},
       {"", "-p tty -c -h -v", "", usage, "", 1},
       {"", "-p tty -a -w", "", usage, noArgument, 1},
       {"", "-p tty -c 1.hex -w 2.hex", oneBlock + "|" + oneBlock, usage,
        "kilnload: unexpected argument '1.hex'\n", 1},
       {"", "-p /nonexistent stray -c", "", usage, "kilnload: unexpected argument 'stray'\n", 1},
       {"", "-x -v -p /nonexistent/port", "", usage, invalid + "'x'\n", 1},
       {"", "-v -p .", "", "", "Could not open ..\n", 1},
       {"", "-p tty -c --enter=dtr+,10001", "", usage,
        "kilnload: invalid sequence 'dtr+,10001' for --enter (steps dtr+ dtr- rts+ rts- or a "
        "pause of 1 to 10000 ms, parted by commas)\n",
        1},
       {"", "kilnload --version -v && kilnload -c --help -x >/dev/null", "", version, "", 0},
       {"", "-v --exit=default -p tty", "", version,
        "tty has no DTR and RTS to set (a pseudo-terminal?): --enter and --exit need a serial "
        "port's control lines.\n",
        1}});
}

// On a terminal, a second line says why the port did not open, and a write shows one line
// updated in place, which a message ends. A wrapper cannot reach the terminal's own shell: the
// wrapped runs leave these rows out.
TEST(Scenario, OnATerminal) {
  if (getenv("KILNLOAD_WRAPPER") != nullptr)
    GTEST_SKIP() << "no wrapper reaches a terminal's own shell";
  std::vector<Scenario> rows = {
      {"", onTerminal + "'kilnload -c -p tty; kilnload -c -p 1.hex; kilnload -c -p /no'", "x",
       "Could not open tty.\nIn use: another program holds tty (fuser -v tty names it).\nCould "
       "not open 1.hex.\nNot a terminal: 1.hex is not a serial device.\nCould not open /no.\nNo "
       "such device: is the adapter plugged in? ls /dev/serial/by-id/ lists those that are.\n",
       "", 1, "", true},
      {"--nak 2", onTerminal + "kilnload -p tty -w 1.hex -e 2.hex", fourBlocks + "|" + oneBlock,
       ok842 + read1 + read2 +
           " 25%  1/4 blocks   0:01 left\nNAK recieved.\nFail to write "
           "program memory.\n100%  1/1 blocks   0:00 left\nData memory written.\n",
       "", 1, ID + W00 + W10 + E00}};
  const std::string denied =
      "Could not open p.\nPermission denied: p belongs to the group dialout, and you are not in "
      "it: sudo usermod -aG dialout \"$USER\", then log in again.\nCould not open q.\nPermission "
      "denied: only its owner may open q.\n";
  if (getuid() == 0)  // as root, without the capabilities that override a file's mode
    rows.push_back({"",
                    onTerminal +
                        "\"setpriv --bounding-set=-dac_override,-dac_read_search sh -c "
                        "'touch p q; chgrp dialout p; chmod 060 p; chmod 0 q; kilnload -c -p p; "
                        "kilnload -c -p q'\"",
                    "", denied, "", 1});
  runScenarios(rows);
}

// A USB adapter's DTR and RTS, which a pseudo-terminal lacks, come from the shim, which traces
// them. The chip leaves its loader only when every action succeeded. The lines stay as the last
// step left them, unless the line's settings have HUPCL, which drops them at the close. A stop
// signal ends a sequence in its pause, and nothing is sent.
TEST(Scenario, ControlLines) {
  if (*SERIAL_SHIM == '\0')
    GTEST_SKIP() << "this build has no shim";
  const std::string hupcl = "trap 'stty -F tty -hupcl' EXIT; stty -F tty hupcl; " + shimmed +
                            "-c -p tty --exit=rts-,10000 --enter=rts+,99,1,50,dtr-",
                    stopped = "(exec env " + shimmed +
                              "-c -p tty --enter=rts+,3000,rts-) & sleep 0.5; kill $!; wait $!";
  runScenarios({{"", shimmed + "-v -p tty --enter=default --exit=default", "", version + ok842,
                 "dtr+ rts+ 50 dtr- 100 rts- | rts- dtr+ 50 dtr- close\n", 0, ID},
                {"--nak 1", hupcl, "", ok842 + "Fail to erase program memory.\n",
                 "rts+ 150 dtr- | close rts-\n", 1, ID + C},
                {"", stopped, "", "", "rts+ close\nInterrupted.\nTerminated\n", 143}});
}

// Closed standard streams and a reader that goes away at once change nothing on the wire. A closed
// standard stream is the descriptor an open would hand out next: the port must not take it, and
// /dev/stdin must not read the line. That row runs unwrapped (exec): valgrind needs its own
// standard error. Each verdict on an identity shows what the chip sent, its control bytes
// escaped, and a byte behind it is dropped before the first request; a byte an earlier run left
// in flight is not taken for the identity, nor is a line that floods; a stop signal, during the
// identification, lets no action start; a hang-up ends a run that leads its own session as any
// other. The runs that take a signal are started by exec, as the shell's own process, so that the
// chip knows whom to signal; no wrapper reaches them.
TEST(Scenario, IdentifyAndErase) {
  const std::string flooded =
      R"(Not supported: Product id = \xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF)"
      "\n";
  runScenarios({{"", "-v -p tty", "", version + ok842, "", 0, ID},
                {"--silent-after 0", "-v -p tty", "", version, timeOut, 1, ID},
                {"--hang-up 0", "-v -p tty", "", version, timeOut, 1, ID},
                {"--identity 'ADI 842 xxL2.0 trailing..\\x06'", "-v -c -p tty", "",
                 version + "OK: ADI 842 xxL2.0\n" + erased, "", 0, ID + C},
                {"--identity 'adi 842 xx\\x002.0           '", "-c -p tty", "",
                 "Not supported: Product id = adi 842 xx\n", "", 1, ID},
                {"--identity 'ADI 999 xxL2.0           '", "-c -p tty", "",
                 "ADI 999  is not supported.\n", "", 1, ID},
                {"--identity 'ADI 842 xxL1.0           '", "-c -p tty", "",
                 "L1.0 Loder is not supported.\n", "", 1, ID},
                {"--identity 'ADI 842 xxL2.0 24 bytes.'", "-v -p tty", "", version, timeOut, 1, ID},
                {R"(--identity '\x1B[2J\x1B]0;x\x07ADI 842 KS 2.3 kiln\r\n')", "-c -p tty", "",
                 R"(Not supported: Product id = \x1B[2J\x1B]0;x\x07)"
                 "\n",
                 "", 1, ID},
                {"--stale 00", "-v -p tty", "", version + ok842, "", 0, ID},
                {"--noise FF", "-c -p tty", "", flooded, "", 1, ID},
                {"--noise 00 --signal 0:INT:pid", "echo $$ >pid; exec kilnload -c -p tty", "",
                 "Not supported: Product id = \n", "Interrupted.\n", 130, ID},
                {"--signal 0:INT:pid", "echo $$ >pid; exec kilnload -p tty -c -a -w 1.hex",
                 oneBlock, ok842, "Interrupted.\n", 130, ID},
                {"--hang-up 1", "setsid -w kilnload -c -p tty", "", ok842, timeOut, 1, ID + C},
                {"", "exec kilnload -p tty -a -w /dev/stdin <&- >&- 2>&-", "", "", "", 1, ID},
                {"", "{ kilnload -p tty -a -w 1.hex; echo $? >&2; } | true", fourBlocks, "", "0\n",
                 0, ID + A + W00 + W10 + W20 + W30},
                {"--refuse-erase", "-p tty -w 1.hex -c", fourBlocks,
                 ok842 + read1 + "Fail to erase program memory.\n....\nProgram memory written.\n",
                 "", 1, ID + C + W00 + W10 + W20 + W30},
                {"--nak 1", "-p tty -a", "", ok842 + "Fail to erase program and data memory.\n", "",
                 1, ID + A},
                {"--reply 1:00", "-p tty -a", "", ok842 + "Unknown response.\n", "", 1, ID + A},
                {"--ignore 1", "-p tty -c -a", "", ok842 + allErased, timeOut, 1, ID + C + A},
                {"", "-c -p tty", "", "", "Could not open tty.\n", 1, "", true}});
}

TEST(Scenario, WriteSendsTheBlocksThatAreNotZeroProgramMemoryFirst) {
  runScenarios(
      {{"--part 814", "-e 2.hex -p tty -a -w 1.hex -c",
        ":101FF000" + std::string(32, '7') + "71\n" + end +
            "|:100000000102030405060708090A0B0C0D0E0F1068\n:10004000" + std::string(32, '0') +
            "B0\n:10009000C3C3C3C3C3C3C3C3C3C3C3C3C3C3C3C330\n" + end,
        "OK: ADI 814 KS 2.3\n" + read1 + read2 + erased + allErased +
            ".\nProgram memory written.\n..\nData memory written.\n",
        "", 0,
        ID + C + A + "07 0E 14 57 00 1F F0 77 77 77 77 77 77 77 77 77 77 77 77 77 77 77 77 16\n" +
            "07 0E 14 45 00 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 1F\n" +
            "07 0E 14 45 00 00 90 C3 C3 C3 C3 C3 C3 C3 C3 C3 C3 C3 C3 C3 C3 C3 C3 E7\n"},
       {"", "-p tty -w 1.hex -w 2.hex",
        "not a hex file|:10F7F00042424242424242424242424242424242E9\n" + end,
        ok842 + read2 + ".\nProgram memory written.\n", "", 0,
        ID + "07 0E 14 57 00 F7 F0 42 42 42 42 42 42 42 42 42 42 42 42 42 42 42 42 8E\n"},
       {"", "-p tty -w 1.hex", ":10000000" + std::string(32, '0') + "F0\n:01001000AB44\n" + end,
        ok842 + read1 + ".\nProgram memory written.\n", "", 0,
        ID + "07 0E 14 57 00 00 10 AB 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 DA\n"},
       // An image is read once, so a pipe will do. Both are read before the chip is touched, a
       // bad one leaves it as it was, and a log of both streams keeps the order of issue.
       {"", "cat 1.hex | kilnload -p tty -a -w /dev/stdin", fourBlocks,
        ok842 + "Read hexfile - /dev/stdin.\n" + allErased + "....\nProgram memory written.\n", "",
        0, ID + A + W00 + W10 + W20 + W30},
       {"", "{ kilnload -p tty -a -c -e 2.hex -w 1.hex; echo $?; } 2>&1 | cat", oneBlock + "|junk",
        ok842 + read1 + read2 + noEnd + "Hex read error.\n1\n", "", 0, ID}});
}

// A byte that comes after an answer, at once or a little later, answers no request; an answer
// that comes after the time-out is not taken for the next request's. A stop signal ends the run
// after the exchange in flight, with nothing sent after it, so that the next run finds the chip as
// ever, unless the run began with it ignored; each acknowledged block's mark is out before the
// next block is answered.
TEST(Scenario, TheFirstFailedBlockEndsThatMemorysWrite) {
  const std::string files = fourBlocks + "|" + oneBlock, head = ok842 + read1 + read2,
                    failed = "Fail to write program memory.\n",
                    written = ".\nData memory written.\n", args = "-p tty -w 1.hex -e 2.hex",
                    unknown = head + ".Unknown response.\n" + failed + written,
                    unexpected = "Unexpected response.\n", all = W00 + W10 + W20 + W30 + E00,
                    signalled = "echo $$ >pid; exec kilnload " + args;
  runScenarios(
      {{"--nak 1", args, files, head + "NAK recieved.\n" + failed + written, "", 1, ID + W00 + E00},
       {"--reply 2:FF", args, files, unknown, "", 1, ID + W00 + W10 + E00},
       {"--reply 2:00", args, files, unknown, "", 1, ID + W00 + W10 + E00},
       {"--reply 1:0606", args, files, head + "." + unexpected + failed + written, "", 1,
        ID + W00 + E00},
       {"--double 4", "-p tty -w 1.hex", fourBlocks, ok842 + read1 + "...." + unexpected + failed,
        "", 1, ID + W00 + W10 + W20 + W30},
       {"--late 2:1050 --nak 2", args, files, head + "." + failed + written, timeOut, 1,
        ID + W00 + W10 + E00},
       {"--silent-after 3", args, files, head + "..." + failed + "Fail to write data memory.\n",
        timeOut + timeOut, 1, ID + all},
       {"--hang-up 4", args, files,
        head + "..." + failed + "Serial write error.\nFail to write data memory.\n", timeOut, 1,
        ID + W00 + W10 + W20 + W30},
       {"--signal 2:INT:pid", "sh -c '" + signalled + "'; echo $?; kilnload -v -p tty", files,
        head + ".." + failed + "130\n" + version + ok842, "Interrupted.\n", 0, ID + W00 + W10 + ID},
       {"--signal 1:TERM:pid --ignore 1", signalled, files, head + failed,
        timeOut + "Interrupted.\nTerminated\n", 143, ID + W00},
       {"--signal 2:INT:pid", "trap '' INT; " + signalled, files,
        head + "....\nProgram memory written.\n" + written, "", 0, ID + all},
       {"--signal 2:USR1:pid --late 2:300",
        "trap 'cp out seen' USR1; echo $$ >pid; kilnload " + args + " & wait; wait; cat seen",
        files, head + "....\nProgram memory written.\n" + written + head + ".", "", 0, ID + all}});
}

// Files for the hex reader, each with the message that refuses it, or none.
const std::string good = ":0400000012ABCDEF83\n", short1 = "Check sum was not found.\n",
                  short2 = "Line terminated at wrong point.\n",
                  fields = "Could not read record data.\n", outside = "Out of Memory.\n",
                  extended = "Extended address is not supported.\n",
                  mismatch = "Check sum does not match.\n";
const std::pair<std::string, std::string> hexFiles[] = {
    {good + end, ""},
    {":0400000012abcdef83\r\n:00000001ff\r\n", ""},
    {"label:0400000012ABCDEF83 and more\n" + end, ""},
    {":0400000012ABCDEF83x\n" + end, ""},
    {":0400000012ABCDEF830102 junk\n:00000001AA\n", ""},
    {": 04 0000 0 12\tAB\r\nCD EF 83\n" + end, ""},
    {std::string("\0junk\0\n", 7) + good + end + ":ZZ\n", ""},
    {":00F8000008\n:0400100300001234A3\n:04001005DEADBEEFAF\n" + good + end, ""},
    {":020010020000EC\n:020010040000EA\n" + good + end, ""},
    {":0400000012ABCDEF83", noEnd},
    {":0400000012ABCDEF\n", short1},
    {":0400000012ABCDEF0x83\n", short1},
    {":0400000012ABCD\n", short2},
    {"see: below\n", fields},
    {":1000" + std::string(1, '\0') + "0000\n", fields},
    {":020000021000EC\n", extended},
    {":020000040001F9\n", extended},
    {":00000006FA\n", "Unknown record type.\n"},
    {":0400000012ABCDEF84\n", mismatch},
    {":020000021000EB\n", mismatch},
    {":000000FF00\n", mismatch},
    {":11F7F000" + std::string(34, 'A') + "BE\n", outside},
    {":00F8010007\n", outside}};

// The hex reader's rules as a run shows them. A file it accepts sends the four bytes 12 AB CD EF
// at address 0; one it refuses, with its message, stops the run before anything is written. A
// fault on a line of its own is followed by a good file, to show that the read ended there.
TEST(Scenario, HexFiles) {
  std::vector<Scenario> rows = {
      {"", "-p tty -w /dev/null", "", ok842 + "Read hexfile - /dev/null.\nHex read error.\n", noEnd,
       1, ID},
      {"", "-ptty -w .", "", ok842 + "Read hexfile - ..\n", "Could not open hexfile - ..\n", 1, ID},
      {"", "-p tty -w none -e 1.hex", oneBlock, ok842 + "Read hexfile - none.\n",
       "Could not open hexfile - none.\n", 1, ID},
      {"", "-p tty --ignore-checksums -w 1.hex", ":0400000012ABCDEF00\n:020000020000FB\n" + end,
       ok842 + read1 + ".\nProgram memory written.\n", "", 0,
       ID + "07 0E 14 57 00 00 00 12 AB CD EF 00 00 00 00 00 00 00 00 00 00 00 00 1C\n"}};
  const std::string sent =
      "07 0E 14 57 00 00 00 12 AB CD EF 00 00 00 00 00 00 00 00 00 00 00 00 1C\n";
  for (const auto& [text, err] : hexFiles) {
    if (err.empty())
      rows.push_back({"", "-p tty -w 1.hex", text, ok842 + read1 + ".\nProgram memory written.\n",
                      "", 0, ID + sent});
    else
      rows.push_back({"", "-p tty -e 2.hex -w 1.hex",
                      text + (text.ends_with('\n') ? good + end : "") + "|" + oneBlock,
                      ok842 + read1 + "Hex read error.\n", err, 1, ID});
  }
  runScenarios(rows);
}

// Whatever comes, a run ends with the line given back and a status that tells: a signal while an
// image is read, from a file that never ends or a pipe that stalls, ends the read at once and
// blames nothing on the file; any signal whose default ends a process ends the run after the
// exchange in flight (here a packet the chip ignores); one pending at the start, before the port
// is opened; and a closed standard stream with no /dev/null to fill it, before the port is opened.
// The signalled runs are started by sh -c ... exec, so that $! is kilnload itself.
TEST(Scenario, SignalsAndClosedStreamsEndARunCleanly) {
  // Runs kilnload with args in the background, sends it stop once out holds seen, then waits; the
  // shell's own word on how its job ended comes when it likes, so it is left out.
  const auto signalled = [](const std::string& args, const std::string& seen,
                            const std::string& stop) {
    return "{ sh -c 'exec kilnload " + args + " 2>e' & until grep -q '" + seen +
           "' out; do sleep 0.02; done; kill -" + stop +
           " $!; wait $!; echo $?; } 2>/dev/null; cat e >&2";
  };
  runScenarios(
      {{"", signalled("-p tty -w /dev/zero", "zero", "TERM $!; sleep 0.5; kill -KILL"), "",
        ok842 + "Read hexfile - /dev/zero.\n143\n", "Interrupted.\n", 0, ID},
       {"", "mkfifo f; sleep 2 >f & " + signalled("-p tty -w f", "hexfile - f", "TERM"), "",
        ok842 + "Read hexfile - f.\n143\n", "Interrupted.\n", 0, ID},
       {"--ignore 3", signalled("-p tty -w 1.hex -e 2.hex", "^[.][.]", "USR1"),
        fourBlocks + "|" + oneBlock,
        ok842 + read1 + read2 + "..Fail to write program memory.\n138\n",
        timeOut + "Interrupted.\n", 0, ID + W00 + W10 + W20},
       {"", "(ulimit -f 0; exec kilnload -p tty -v >v); echo $?", "", "153\n",
        "File size limit exceeded\n", 0},
       {"", "env --block-signal=TERM sh -c 'kill -TERM $$; exec kilnload -p tty -c'", "", "",
        "Interrupted.\nTerminated\n", 143},
       {"",
        "unshare -m sh -c 'mount --bind /dev/null /dev/null && mount -o remount,bind,nodev "
        "/dev/null && exec kilnload -p tty -c <&-'",
        "", "", "Could not open /dev/null.\n", 1}});
}

}  // namespace

int main(int argc, char** argv) {
  // Both programs by name, as a user runs them.
  const std::string bin = std::filesystem::path(KILNLOAD_BIN).parent_path();
  setenv("PATH", (bin + ":" + getenv("PATH")).c_str(), 1);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
