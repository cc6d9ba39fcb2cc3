// The built kilnload against kilnload-sim, each row one run: what the chip is told to be, what
// kilnload is asked to do, and everything that must come out of it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string kilnload = KILNLOAD_BIN;

const std::string usage =
    "\nUsage:\tkilnload [-p device] -c|-a [-w hex-file] [-e hex-file]\n\nOptions:\n"
    "\t-w write program memory\n\t-e write data memory\n\t-c erase program memory\n"
    "\t-a erase program and data memory\n\n";
const std::string version = "kilnload ver.0.1\n", ok842 = "OK: ADI 842 KS 2.3\n",
                  timeOut = "Serial Port: Time Out.\n", read1 = "Read hexfile - @1.\n",
                  read2 = "Read hexfile - @2.\n";
// Requests on the wire, one line each, as the chip's trace shows them.
const std::string ID = "21 5A 00 A6\n", C = "07 0E 01 43 BC\n", A = "07 0E 01 41 BE\n";

// Sixteen copies of a hex pair: the data of one block as it reads in a packet, or in a record.
std::string x16(const std::string& pair, const std::string& between = " ") {
  std::string text = pair;
  for (int i = 1; i < 16; ++i)
    text += between + pair;
  return text;
}

const std::string end = ":00000001FF\n";
const std::string W00 = "07 0E 14 57 00 00 00 " + x16("33") + " 65\n",
                  W10 = "07 0E 14 57 00 00 10 " + x16("33") + " 55\n",
                  W20 = "07 0E 14 57 00 00 20 " + x16("33") + " 45\n",
                  W30 = "07 0E 14 57 00 00 30 " + x16("33") + " 35\n",
                  E00 = "07 0E 14 45 00 00 00 " + x16("01") + " 97\n";
const std::string fourBlocks = ":40000000" + std::string(128, '3') + "00\n" + end,
                  oneBlock = ":10000000" + x16("01", "") + "E0\n" + end;

// A data record of 16 bytes of value at address.
std::string recordOf(int address, int value) {
  char head[16], pair[4], sum[8];
  snprintf(head, sizeof head, ":10%04X00", address);
  snprintf(pair, sizeof pair, "%02X", value);
  snprintf(sum, sizeof sum, "%02X\n", -(16 + (address >> 8) + address + 16 * value) & 0xFF);
  return head + x16(pair, "") + sum;
}

// Returns the parts of text between each separator.
std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) {
    if (!part.empty())
      parts.push_back(part);
  }
  return parts;
}

// Puts the chip's terminal for @P, the files for @1 and @2, a folder for @D, kilnload for @K.
std::string substitute(std::string text, const std::vector<std::string>& names) {
  for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
    const char name = text[at + 1];
    const std::string with = name == 'P'   ? names[0]
                             : name == 'K' ? kilnload
                             : name == 'D' ? scratchDir()
                                           : names.at(std::size_t(name - '0'));
    text.replace(at, 2, with);
    at += with.size();
  }
  return text;
}

std::string hexOf(const std::string& bytes) {
  std::string text;
  char pair[4];
  for (const char byte : bytes) {
    snprintf(pair, sizeof pair, text.empty() ? "%02X" : " %02X", std::uint8_t(byte));
    text += pair;
  }
  return text + "\n";
}

struct Scenario {
  std::string chip;         // kilnload-sim's options, or the test's own play: see playChip
  std::string args, files;  // kilnload's arguments, and the texts of its files parted by '|'
  std::string out, err;
  int status;
  std::string wire;    // the requests the chip received
  std::string dump{};  // when given, what program memory holds after; wire is then its start
};

// Plays the chip on the line's controlling side: for each step of script ("N reply", parted by
// '|') takes a request of N bytes and answers it, or hangs up where the reply is "!"; puts the
// requests in wire, and the time of the hang-up in hungUp.
void playChip(int& line, const std::string& path, const std::string& script, std::string& wire,
              std::chrono::steady_clock::time_point& hungUp) {
  for (const std::string& step : split(script, '|')) {
    std::string request(std::size_t(std::stoi(step)), '\0');
    pollfd ready{line, POLLIN, 0};
    for (std::size_t got = 0; got < request.size();
         got += std::size_t(std::max(0L, read(line, request.data() + got, request.size() - got)))) {
      if (poll(&ready, 1, 2000) != 1)
        return;  // kilnload sent less than it should: what it printed tells why
    }
    if (wire.empty()) {
      const RunResult rival = runCommand(kilnload + " -c -p " + path);
      EXPECT_EQ(rival.out + rival.err + std::to_string(rival.status),
                "Could not open " + path + ".\n1");
    }
    wire += hexOf(request);
    const std::string reply = step.substr(step.find(' ') + 1);
    if (reply == "!") {
      close(std::exchange(line, -1));
      hungUp = std::chrono::steady_clock::now();
      return;
    }
    ASSERT_EQ(write(line, reply.data(), reply.size()), ssize_t(reply.size()));
  }
}

// Runs each row against kilnload-sim, or with played, against the test playing the chip on a
// line that holds stale bytes (left there raw, so unechoed) while a second kilnload finds the line
// taken.
void runScenarios(const std::vector<Scenario>& rows, bool played = false) {
  for (const Scenario& row : rows) {
    SCOPED_TRACE(row.chip + " | " + row.args);
    const std::string trace = scratchDir() + "/trace", dump = scratchDir() + "/dump";
    std::vector<std::string> names(1);
    pid_t sim = -1;
    int line = -1, holder = -1;
    if (played) {
      line = openLineInto(names[0]);
      holder = open(names[0].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      termios raw{};
      cfmakeraw(&raw);
      ASSERT_EQ(tcsetattr(holder, TCSANOW, &raw), 0);
      ASSERT_EQ(write(line, "ADI 814 stale", 13), 13);
      pollfd stale{holder, POLLIN, 0};
      ASSERT_EQ(poll(&stale, 1, 1000), 1);
    } else {
      std::vector<std::string> argv = {KILNLOAD_SIM_BIN, "--once", "--trace", trace,
                                       "--dump-program", dump};
      for (const std::string& option : split(row.chip, ' '))
        argv.push_back(option);
      sim = startReadingLineInto(argv, names[0]);
      ASSERT_GT(sim, 0);
    }
    for (const std::string& text : split(row.files, '|'))
      names.push_back(writeScratchFile(text));
    std::string wire;
    auto hungUp = std::chrono::steady_clock::time_point::max();
    std::thread chip([&] {
      if (played)
        playChip(line, names[0], row.chip, wire, hungUp);
    });
    const RunResult run = runCommand(kilnload + " " + substitute(row.args, names));
    const auto ended = std::chrono::steady_clock::now();
    chip.join();
    EXPECT_EQ(run.out, substitute(row.out, names));
    EXPECT_EQ(run.err, substitute(row.err, names));
    EXPECT_EQ(run.status, row.status);
    // Nothing more can come from a chip that is gone: kilnload must not wait out its second.
    EXPECT_LT(ended - std::min(hungUp, ended), std::chrono::milliseconds(500));
    if (played) {
      close(holder);
      if (line >= 0)
        close(line);
    } else {
      // A chip whose terminal was never opened waits for a session; one that served it is done.
      kill(sim, SIGTERM);
      EXPECT_EQ(waitProcess(sim), 0);
      for (const std::string& traced : split(readFileText(trace), '\n')) {
        if (traced.starts_with("> "))
          wire += traced.substr(2) + "\n";
      }
    }
    if (!row.dump.empty()) {
      EXPECT_EQ(readFileText(dump), row.dump);
      wire.resize(std::min(wire.size(), row.wire.size()));
    }
    EXPECT_EQ(wire, row.wire);
  }
}

TEST(Scenario, CommandLine) {
  runScenarios(
      {{"", "", "", usage, "", 0, ""},
       {"", "-p @P", "", usage, "", 0, ""},
       {"", "-p @P -c -h -v", "", usage, "", 1, ""},
       {"", "-w", "", usage, "@K: option requires an argument -- 'w'\n", 1, ""},
       {"", "-p @P -a -w", "", ok842 + "Program and data memory erased.\n",
        "@K: option requires an argument -- 'w'\n", 1, ID + A},
       {"", "-p @P --all", "", ok842 + "Program and data memory erased.\n",
        "@K: invalid option -- '-'\n@K: invalid option -- 'l'\n@K: invalid option -- 'l'\n", 1,
        ID + A},
       {"", "-p @P @1 -c", oneBlock, usage, "", 0, ""},
       {"", "-x -v -p /nonexistent/port", "", "",
        "@K: invalid option -- 'x'\nCould not open /nonexistent/port.\n", 1, ""},
       {"", "-v -p @D", "", "", "Could not open @D.\n", 1, ""}});
}

TEST(Scenario, IdentifyAndErase) {
  const std::string erased = "Program memory erased.\n",
                    allErased = "Program and data memory erased.\n";
  runScenarios(
      {{"", "-v -p @P", "", version + ok842, "", 0, ID},
       {"--part 814", "-p @P -v", "", version + "OK: ADI 814 KS 2.3\n", "", 0, ID},
       {"--silent-after 0", "-v -p @P", "", version, timeOut, 1, ID},
       {"", "-a -p @P -c", "", ok842 + erased + allErased, "", 0, ID + C + A},
       {"--refuse-erase", "-p @P -w @1 -c", fourBlocks,
        ok842 + "Fail to erase program memory.\n" + read1 + "....\nProgram memory written.\n", "",
        1, ID + C + W00 + W10 + W20 + W30},
       {"--nak 1", "-p @P -a", "", ok842 + "Fail to erase program and data memory.\n", "", 1,
        ID + A},
       {"--reply 1:15", "-p @P -a", "", ok842 + "Unknown response.\n", "", 1, ID + A},
       {"--ignore 1", "-p @P -c -a", "", ok842 + allErased, timeOut, 1, ID + C + A}});
}

TEST(Scenario, WriteSendsTheBlocksThatAreNotZeroProgramMemoryFirst) {
  std::string whole;
  for (int address = 0; address < 0xF800; address += 16)
    whole += recordOf(address, 1 + (address >> 4) % 0xFE);
  const std::string data814 = ":100000000102030405060708090A0B0C0D0E0F1068\n" + recordOf(0x40, 0) +
                              recordOf(0x90, 0xC3) + end;
  runScenarios({{"--part 814", "-e @2 -p @P -w @1", recordOf(0x1FF0, 0x77) + end + "|" + data814,
                 "OK: ADI 814 KS 2.3\n" + read1 + ".\nProgram memory written.\n" + read2 +
                     "..\nData memory written.\n",
                 "", 0,
                 ID + "07 0E 14 57 00 1F F0 " + x16("77") + " 16\n" +
                     "07 0E 14 45 00 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 1F\n" +
                     "07 0E 14 45 00 00 90 " + x16("C3") + " E7\n"},
                {"", "-p @P -w @1 -w @2", "not a hex file|" + recordOf(0xF7F0, 0x42) + end,
                 ok842 + read2 + ".\nProgram memory written.\n", "", 0,
                 ID + "07 0E 14 57 00 F7 F0 " + x16("42") + " 8E\n"},
                {"", "-p @P -w @1", recordOf(0, 0) + end,
                 ok842 + read1 + "\nProgram memory written.\n", "", 0, ID},
                {"", "-p @P -c -w @1", whole + end,
                 ok842 + "Program memory erased.\n" + read1 + std::string(3968, '.') +
                     "\nProgram memory written.\n",
                 "", 0, ID + C, whole + end}});
}

TEST(Scenario, TheFirstFailedBlockEndsThatMemorysWrite) {
  const std::string files = fourBlocks + "|" + oneBlock, before = ok842 + read1,
                    failed = "Fail to write program memory.\n" + read2,
                    written = ".\nData memory written.\n", args = "-p @P -w @1 -e @2";
  runScenarios(
      {{"--nak 1", args, files, before + "NAK recieved.\n" + failed + written, "", 1,
        ID + W00 + E00},
       {"--reply 2:15", args, files, before + ".Unknown response.\n" + failed + written, "", 1,
        ID + W00 + W10 + E00},
       {"--ignore 4", args, files, before + "..." + failed + written, timeOut, 1,
        ID + W00 + W10 + W20 + W30 + E00},
       {"--silent-after 3", args, files, before + "..." + failed + "Fail to write data memory.\n",
        timeOut + timeOut, 1, ID + W00 + W10 + W20 + W30 + E00}});
}

TEST(Scenario, AFaultyHexFileEndsTheRunBeforeAnythingIsWritten) {
  const std::string ended = "File ended while reading.\n";
  std::vector<Scenario> rows = {
      {"", "-p @P -w /dev/null", "", ok842 + "Read hexfile - /dev/null.\nHex read error.\n", ended,
       1, ID},
      {"", "-p @P -w @D", "", ok842 + "Read hexfile - @D.\n", "Could not open hexfile - @D.\n", 1,
       ID},
      {"", "-p @P -w @D/none -e @1", oneBlock, ok842 + "Read hexfile - @D/none.\n",
       "Could not open hexfile - @D/none.\n", 1, ID}};
  const std::pair<std::string, std::string> faults[] = {
      {recordOf(0, 9), ended},
      {std::string(8 << 20, 'x'), ended},
      {std::string(":1000\0"
                   "0000\n",
                   11),
       "Could not read record data.\n"},
      {recordOf(0xF800, 1) + end, "Out of Memory.\n"},
      {":020000040001F9\n" + oneBlock, "Extended address is not supported.\n"},
      {":00000006FA\n" + end, "Unknown record type.\n"},
      {":0400000012ABCDEF\n" + end, "Check sum was not found.\n"},
      {":0400000012ABCD\n" + end, "Line terminated at wrong point.\n"}};
  for (const auto& [text, err] : faults)
    rows.push_back({"", "-p @P -e @2 -w @1", text + "|" + oneBlock,
                    ok842 + read1 + "Hex read error.\n", err, 1, ID});
  runScenarios(rows);
}

TEST(PlayedChip, IdentificationVerdictsAndAChipThatVanishes) {
  const std::string identity = "ADI 842 KS 2.3 kiln-sim\r\n", ack = "\x06", nul(1, '\0');
  runScenarios(
      {{"4 ADI 842 xxL2.0 trailing..", "-v -p @P", "", version + "OK: ADI 842 xxL2.0\n", "", 0, ID},
       {"4 ADI-814-abc2efgh         ", "-v -p @P", "", version + "OK: ADI-814-abc2ef\n", "", 0, ID},
       {"4 ADI 842" + nul + "xxL2.0           ", "-v -p @P", "", version + "OK: ADI 842\n", "", 0,
        ID},
       {"4 ADJ 842 xxL2.0           ", "-v -p @P", "",
        version + "Not supported: Product id = ADJ 842 xx\n", "", 1, ID},
       {"4 adi 842 xxL2.0           ", "-v -p @P", "",
        version + "Not supported: Product id = adi 842 xx\n", "", 1, ID},
       {"4 ADI 999 xxL2.0           ", "-v -p @P", "", version + "ADI 999  is not supported.\n", "",
        1, ID},
       {"4 ADI " + nul + "42 xxL2.0           ", "-v -p @P", "",
        version + "ADI  is not supported.\n", "", 1, ID},
       {"4 ADI 842 xxL1.0           ", "-v -p @P", "", version + "L1.0 Loder is not supported.\n",
        "", 1, ID},
       {"4 ADI 842 xxL2.0 24 bytes.", "-v -p @P", "", version, timeOut, 1, ID},
       {"4 !", "-v -p @P", "", version, timeOut, 1, ID},
       {"4 " + identity + "|5 !", "-c -p @P", "", ok842, timeOut, 1, ID + C},
       {"4 " + identity + "|24 " + ack + "|24 " + ack + "|24 " + ack + "|24 !", "-p @P -w @1 -e @2",
        fourBlocks + "|" + oneBlock,
        ok842 + read1 + "...Fail to write program memory.\n" + read2 +
            "Serial write error.\nFail to write data memory.\n",
        timeOut, 1, ID + W00 + W10 + W20 + W30}},
      true);
}

// kilnload-sim alone: --link replaces only a link to a terminal that has gone, and leaves all
// else as it stood; --exit-after gives up on a host that never comes; -h is --help.
TEST(Sim, LinksOnlyWhatItMayAndGivesUp) {
  const std::string sim = KILNLOAD_SIM_BIN, link = scratchDir() + "/link", file = link + ".file";
  const auto standingAtLink = [&] {
    if (std::filesystem::is_symlink(link))
      return "-> " + std::filesystem::read_symlink(link).string();
    return std::filesystem::exists(link) ? "file " + readFileText(link) : "nothing";
  };
  std::string live;
  const int line = openLineInto(live);
  const std::string refused =
      "kilnload-sim: will not replace " + link + ": not a link left by an earlier kilnload-sim\n";
  const std::tuple<std::string, std::string, int, std::string> rows[] = {
      {file, refused, 1, "-> " + file},
      {live, refused, 1, "-> " + live},
      {"", refused, 1, "file keep"},
      {"/dev/pts/9999", "", 3, "nothing"},
  };
  for (const auto& [target, err, status, after] : rows) {
    SCOPED_TRACE(target);
    std::filesystem::remove(link);
    std::ofstream(target.empty() ? link : file) << "keep";
    if (!target.empty())
      std::filesystem::create_symlink(target, link);
    const RunResult run = runCommand(sim + " --exit-after 1 --link " + link);
    EXPECT_EQ(run.out.starts_with("/dev/pts/"), status == 3);
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(standingAtLink(), after);
  }
  close(line);
  const RunResult help = runCommand(sim + " --help"), h = runCommand(sim + " -h");
  EXPECT_EQ(h.out + h.err + std::to_string(h.status), help.out + "0");
  EXPECT_TRUE(help.out.starts_with("Usage: kilnload-sim [options]\n"));
}

}  // namespace
