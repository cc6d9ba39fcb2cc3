// The built kilnload against kilnload-sim, or against a pseudo-terminal nobody answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "loader/loader.h"
#include "pty.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const std::string kilnload = KILNLOAD_BIN;
const std::string simBin = KILNLOAD_SIM_BIN;

const std::string usage =
    "\nUsage:\tkilnload [-p device] -c|-a [-w hex-file] [-e hex-file]\n\nOptions:\n"
    "\t-w write program memory\n\t-e write data memory\n\t-c erase program memory\n"
    "\t-a erase program and data memory\n\n";
const std::string ok842 = "OK: ADI 842 KS 2.3\n";
const std::string ok814 = "OK: ADI 814 KS 2.3\n";
const std::string identifyLine = "21 5A 00 A6";

RunResult runTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv{kilnload};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv);
}

std::string hexOf(const Bytes& bytes) {
  std::string text;
  char pair[4];
  for (std::uint8_t b : bytes) {
    snprintf(pair, sizeof pair, text.empty() ? "%02X" : " %02X", b);
    text += pair;
  }
  return text;
}

// One Intel HEX data record, with its checksum.
std::string recordOf(int address, const Bytes& data) {
  Bytes fields = {static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
                  static_cast<std::uint8_t>(address), 0};
  fields.insert(fields.end(), data.begin(), data.end());
  fields.push_back(
      static_cast<std::uint8_t>(checkSum(fields.data(), static_cast<int>(fields.size()))));
  std::string text = ":";
  for (char c : hexOf(fields)) {
    if (c != ' ')
      text += c;
  }
  return text + "\n";
}

const std::string endRecord = ":00000001FF\n";

std::string writeRequest(std::uint8_t command, int address, const Bytes& block) {
  Bytes packet(writePacketLength);
  fillWritePacketInto(packet.data(), command, address, block.data());
  return hexOf(packet);
}

// A stand-in chip serving one session, with its trace and dumps in a fresh directory.
struct Chip {
  SimProcess sim;
  std::string dir;
};

Chip startChip(const std::vector<std::string>& extra = {}) {
  Chip chip;
  chip.dir = makeTempDir();
  std::vector<std::string> args = {"--once",
                                   "--trace",
                                   chip.dir + "/trace",
                                   "--dump-program",
                                   chip.dir + "/program.hex",
                                   "--dump-data",
                                   chip.dir + "/data.hex"};
  args.insert(args.end(), extra.begin(), extra.end());
  chip.sim = startSim(simBin, args);
  return chip;
}

std::string writeFile(const Chip& chip, const std::string& name, const std::string& text) {
  std::string path = chip.dir + "/" + name;
  FILE* file = fopen(path.c_str(), "w");
  if (file != nullptr) {
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
  }
  return path;
}

// Waits for the chip's session to end; returns the requests it received, one hex line each.
std::vector<std::string> requestsTo(const Chip& chip) {
  EXPECT_EQ(waitProcess(chip.sim.pid), 0);
  std::vector<std::string> requests;
  std::istringstream trace(readFileText(chip.dir + "/trace"));
  for (std::string line; std::getline(trace, line);) {
    if (line.rfind("> ", 0) == 0)
      requests.push_back(line.substr(2));
  }
  return requests;
}

TEST(CommandLine, UsageVersionAndParsing) {
  {
    const RunResult run = runTool({});
    EXPECT_EQ(run.out, usage);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
  {
    const RunResult run = runTool({"-p", "/nonexistent/port"});
    EXPECT_EQ(run.out, usage);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
  {
    // -h ends the run before any port is opened, whatever came before it.
    const RunResult run = runTool({"-p", "/nonexistent/port", "-c", "-h", "-v"});
    EXPECT_EQ(run.out, usage);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 1);
  }
  {
    const RunResult run = runTool({"-p", "/nonexistent/port", "-w"});
    EXPECT_EQ(run.out, usage);
    EXPECT_EQ(run.err, kilnload + ": option requires an argument -- 'w'\n");
    EXPECT_EQ(run.status, 0);
  }
  {
    // Parsing stops at the first operand: the -c after it is no option.
    const RunResult run = runTool({"-p", "/nonexistent/port", "image.hex", "-c"});
    EXPECT_EQ(run.out, usage);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
  {
    // An unknown option is reported and parsing goes on.
    const RunResult run = runTool({"-x", "-v", "-p", "/nonexistent/port"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, kilnload + ": invalid option -- 'x'\nCould not open /nonexistent/port.\n");
    EXPECT_EQ(run.status, 1);
  }
  {
    const std::string dir = makeTempDir();
    const RunResult run = runTool({"-v", "-p", dir});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Could not open " + dir + ".\n");
    EXPECT_EQ(run.status, 1);
    rmdir(dir.c_str());
  }
}

TEST(Identify, TheStandInChipAndASilentLine) {
  {
    const Chip chip = startChip();
    ASSERT_GT(chip.sim.pid, 0);
    const RunResult run = runTool({"-v", "-p", chip.sim.path});
    EXPECT_EQ(run.out, "kilnload ver.0.1\n" + ok842);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(requestsTo(chip), std::vector<std::string>{identifyLine});
  }
  {
    const std::string link = makeTempDir() + "/ttyKILN";
    const Chip chip = startChip({"--part", "814", "--link", link});
    ASSERT_GT(chip.sim.pid, 0);
    const RunResult run = runTool({"-p", link, "-v"});
    EXPECT_EQ(run.out, "kilnload ver.0.1\n" + ok814);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(waitProcess(chip.sim.pid), 0);
    struct stat gone {};
    EXPECT_NE(lstat(link.c_str(), &gone), 0);
  }
  {
    const SilentLine line = openSilentLine();
    ASSERT_GE(line.master, 0);
    const auto start = Clock::now();
    const RunResult run = runTool({"-v", "-p", line.path});
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(990));
    EXPECT_EQ(run.out, "kilnload ver.0.1\n");
    EXPECT_EQ(run.err, "Serial Port: Time Out.\n");
    EXPECT_EQ(run.status, 1);
    close(line.master);
  }
}

TEST(Erase, AlwaysProgramFirstWhateverTheOrderOfOptions) {
  {
    const Chip chip = startChip();
    const RunResult run = runTool({"-a", "-p", chip.sim.path, "-c"});
    EXPECT_EQ(run.out, ok842 + "Program memory erased.\nProgram and data memory erased.\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(requestsTo(chip),
              (std::vector<std::string>{identifyLine, "07 0E 01 43 BC", "07 0E 01 41 BE"}));
  }
  {
    // A refused erase fails the run, but the write still goes ahead.
    const Chip chip = startChip({"--refuse-erase"});
    const std::string image = writeFile(chip, "p.hex", recordOf(0x20, Bytes(16, 0x5A)) + endRecord);
    const RunResult run = runTool({"-p", chip.sim.path, "-w", image, "-c"});
    EXPECT_EQ(run.out, ok842 + "Fail to erase program memory.\nRead hexfile - " + image +
                           ".\n.\nProgram memory written.\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> requests = requestsTo(chip);
    ASSERT_EQ(requests.size(), 3U);
    EXPECT_EQ(requests[2], writeRequest('W', 0x20, Bytes(16, 0x5A)));
  }
  {
    const Chip chip = startChip({"--reply", "1:15"});
    const RunResult run = runTool({"-p", chip.sim.path, "-a"});
    EXPECT_EQ(run.out, ok842 + "Unknown response.\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(requestsTo(chip).size(), 2U);
  }
}

TEST(Write, ProgramMemoryBeforeDataMemoryAndOnlyBlocksThatAreNotZero) {
  {
    const Chip chip = startChip({"--part", "814"});
    const Bytes first = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const std::string data = writeFile(chip, "d.hex",
                                       recordOf(0x00, first) + recordOf(0x40, Bytes(16, 0)) +
                                           recordOf(0x90, Bytes(16, 0xC3)) + endRecord);
    const std::string program =
        writeFile(chip, "p.hex", recordOf(0x1FF0, Bytes(16, 0x77)) + endRecord);
    const RunResult run = runTool({"-e", data, "-p", chip.sim.path, "-w", program});
    EXPECT_EQ(run.out, ok814 + "Read hexfile - " + program + ".\n.\nProgram memory written.\n" +
                           "Read hexfile - " + data + ".\n..\nData memory written.\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(requestsTo(chip), (std::vector<std::string>{
                                    identifyLine,
                                    writeRequest('W', 0x1FF0, Bytes(16, 0x77)),
                                    writeRequest('E', 0x00, first),
                                    writeRequest('E', 0x90, Bytes(16, 0xC3)),
                                }));
    EXPECT_EQ(readFileText(chip.dir + "/data.hex"),
              recordOf(0x00, first) + recordOf(0x90, Bytes(16, 0xC3)) + endRecord);
  }
  {
    // Only the last -w counts.
    const Chip chip = startChip();
    const std::string first = writeFile(chip, "first.hex", "not a hex file");
    const std::string second =
        writeFile(chip, "second.hex", recordOf(0xF7F0, Bytes(16, 0x42)) + endRecord);
    const RunResult run = runTool({"-p", chip.sim.path, "-w", first, "-w", second});
    EXPECT_EQ(run.out, ok842 + "Read hexfile - " + second + ".\n.\nProgram memory written.\n");
    EXPECT_EQ(run.status, 0);
    const std::vector<std::string> requests = requestsTo(chip);
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[1].substr(0, 20), "07 0E 14 57 00 F7 F0");
  }
}

TEST(Write, AWholeProgramImageLandsInTheChipAsItStands) {
  const Chip chip = startChip();
  std::string image;
  for (int address = 0; address < 63488; address += 16) {
    Bytes block(16);
    for (int i = 0; i < 16; ++i)
      block[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((address / 16 + i * 7) & 0x7F);
    image += recordOf(address, block);
  }
  image += endRecord;
  const std::string path = writeFile(chip, "whole.hex", image);
  const RunResult run = runTool({"-p", chip.sim.path, "-c", "-w", path});
  EXPECT_EQ(run.out, ok842 + "Program memory erased.\nRead hexfile - " + path + ".\n" +
                         std::string(3968, '.') + "\nProgram memory written.\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(requestsTo(chip).size(), 2U + 3968U);
  EXPECT_EQ(readFileText(chip.dir + "/program.hex"), image);
}

TEST(Write, TheFirstFailureEndsThatMemorysWriteAndFailsTheRun) {
  std::string image;
  for (int address = 0; address < 0x80; address += 16)
    image += recordOf(address, Bytes(16, 0x33));
  image += endRecord;
  struct Case {
    std::vector<std::string> faults;
    std::string out;
    std::string err;
    std::size_t requests;
  };
  const Case cases[] = {
      {{"--nak", "1"}, "NAK recieved.\nFail to write program memory.\n", "", 2},
      {{"--silent-after", "3"},
       "...Fail to write program memory.\n",
       "Serial Port: Time Out.\n",
       5},
      {{"--reply", "2:15"}, ".Unknown response.\nFail to write program memory.\n", "", 3},
      {{"--ignore", "8"}, ".......Fail to write program memory.\n", "Serial Port: Time Out.\n", 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults[0]);
    const Chip chip = startChip(c.faults);
    const std::string path = writeFile(chip, "p.hex", image);
    const std::string data = writeFile(chip, "d.hex", recordOf(0, Bytes(16, 1)) + endRecord);
    const RunResult run = runTool({"-p", chip.sim.path, "-w", path, "-e", data});
    // The data memory is still written after the program memory failed, unless the chip is gone.
    const bool silent = c.faults[0] == "--silent-after";
    const std::string dataOutcome =
        silent ? "Fail to write data memory.\n" : ".\nData memory written.\n";
    EXPECT_EQ(run.out, ok842 + "Read hexfile - " + path + ".\n" + c.out + "Read hexfile - " + data +
                           ".\n" + dataOutcome);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, silent ? c.err + c.err : c.err);
    EXPECT_EQ(requestsTo(chip).size(), c.requests + 1);
  }
}

TEST(Write, AFaultyImageEndsTheRunBeforeAnythingIsWritten) {
  struct Case {
    std::string name;
    std::string text;  // empty: the path itself is odd
    std::string err;
  };
  const std::string good = recordOf(0, Bytes(16, 9));
  const Case cases[] = {
      {"missing", "", ""},
      {"directory", "", ""},
      {"devnull", "", "File ended while reading.\n"},
      {"noend", good, "File ended while reading.\n"},
      {"nul", std::string(":1000") + '\0' + "0000\n", "Could not read record data.\n"},
      {"wide", ":" + std::string(100, '0') + "FFFF\n", "File ended while reading.\n"},
      {"outside", recordOf(0xF800, Bytes(16, 1)) + endRecord, "Out of Memory.\n"},
      {"extended", ":020000040001F9\n" + good + endRecord, "Extended address is not supported.\n"},
      {"type", ":00000006FA\n" + endRecord, "Unknown record type.\n"},
      {"big", std::string(8 << 20, 'x') + "\n", "File ended while reading.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Chip chip = startChip();
    std::string path = chip.dir + "/missing.hex";
    if (c.name == "directory")
      path = chip.dir;
    if (c.name == "devnull")
      path = "/dev/null";
    if (!c.text.empty())
      path = writeFile(chip, c.name + ".hex", std::string(c.text));
    const std::string data = writeFile(chip, "d.hex", good + endRecord);
    const RunResult run = runTool({"-p", chip.sim.path, "-e", data, "-w", path});
    const bool unopened = c.name == "missing" || c.name == "directory";
    EXPECT_EQ(run.out,
              ok842 + "Read hexfile - " + path + ".\n" + (unopened ? "" : "Hex read error.\n"));
    EXPECT_EQ(run.err, unopened ? "Could not open hexfile - " + path + ".\n" : c.err);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(requestsTo(chip), std::vector<std::string>{identifyLine});
  }
}

TEST(Port, OneWriterAtATime) {
  const SilentLine line = openSilentLine();
  ASSERT_GE(line.master, 0);
  const StartedProgram first = startProgram({kilnload, "-v", "-p", line.path});
  ASSERT_GT(first.pid, 0);
  // Its identification request on the line means the first one holds the port.
  char request[4];
  std::size_t got = 0;
  while (got < sizeof request) {
    const ssize_t n = read(line.master, request + got, sizeof request - got);
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
  }
  const RunResult second = runTool({"-c", "-p", line.path});
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "Could not open " + line.path + ".\n");
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(readToEnd(first.out), "kilnload ver.0.1\n");
  EXPECT_EQ(readToEnd(first.err), "Serial Port: Time Out.\n");
  EXPECT_EQ(waitProcess(first.pid), 1);
  close(first.out);
  close(first.err);
  close(line.master);
}

// A stand-in chip whose trace comes through a pipe, so the test sees each request as it lands.
struct WatchedChip {
  SimProcess sim;
  int trace = -1;
};

WatchedChip startWatchedChip(const std::vector<std::string>& extra) {
  WatchedChip chip;
  const std::string fifo = makeTempDir() + "/trace";
  if (mkfifo(fifo.c_str(), 0600) != 0)
    return chip;
  chip.trace = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  std::vector<std::string> args = {"--once", "--trace", fifo};
  args.insert(args.end(), extra.begin(), extra.end());
  chip.sim = startSim(simBin, args);
  fcntl(chip.trace, F_SETFL, 0);
  return chip;
}

TEST(VanishingChip, EachExchangeEndsPromptlyWhenTheChipIsKilled) {
  struct Case {
    std::vector<std::string> faults;
    std::vector<std::string> args;
    std::string lastRequest;  // the chip dies once this has reached it
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {{"--silent-after", "0"},
       {"-v"},
       identifyLine,
       "kilnload ver.0.1\n",
       "Serial Port: Time Out.\n"},
      {{"--ignore", "1"}, {"-c"}, "07 0E 01 43 BC", ok842, "Serial Port: Time Out.\n"},
      {{"--ignore", "4"},
       {"-w", "image"},
       writeRequest('W', 0x30, Bytes(16, 0x66)),
       ok842 + "Read hexfile - image.\n...Fail to write program memory.\n",
       "Serial Port: Time Out.\n"},
  };
  std::string image;
  for (int address = 0; address < 0x100; address += 16)
    image += recordOf(address, Bytes(16, 0x66));
  image += endRecord;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lastRequest);
    const WatchedChip chip = startWatchedChip(c.faults);
    ASSERT_GT(chip.sim.pid, 0);
    const std::string dir = makeTempDir();
    ASSERT_EQ(chdir(dir.c_str()), 0);
    FILE* file = fopen("image", "w");
    fputs(image.c_str(), file);
    fclose(file);
    std::vector<std::string> argv = {kilnload, "-p", chip.sim.path};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const StartedProgram tool = startProgram(argv);
    ASSERT_GT(tool.pid, 0);
    const std::string seen = readUntil(chip.trace, "> " + c.lastRequest + "\n");
    ASSERT_NE(seen.find(c.lastRequest), std::string::npos) << seen;
    kill(chip.sim.pid, SIGKILL);
    const auto killed = Clock::now();
    const std::string out = readToEnd(tool.out);
    const std::string err = readToEnd(tool.err);
    EXPECT_EQ(waitProcess(tool.pid), 1);
    EXPECT_LT(Clock::now() - killed, std::chrono::milliseconds(1500));
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(err, c.err);
    waitProcess(chip.sim.pid);
    close(tool.out);
    close(tool.err);
    close(chip.trace);
  }
}

}  // namespace
