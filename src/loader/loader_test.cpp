#include "loader/loader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pty.h"
#include "serial/serial.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void queueAnswer(const PortOnLine& chip, const std::string& bytes) {
  ASSERT_EQ(write(chip.line.master, bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
}

// Everything the host has sent since the last call. The terminal hands bytes on to its far end
// a moment after they are written, so a pause of 100 ms marks the end.
Bytes sentBy(const PortOnLine& chip) {
  Bytes sent;
  std::uint8_t buffer[4096];
  pollfd ready{chip.line.master, POLLIN, 0};
  while (poll(&ready, 1, 100) > 0 && (ready.revents & POLLIN) != 0) {
    const ssize_t n = read(chip.line.master, buffer, sizeof buffer);
    if (n <= 0)
      break;
    sent.insert(sent.end(), buffer, buffer + n);
  }
  return sent;
}

struct Printed {
  std::string out;
  std::string err;
};

template <typename F>
Printed capture(F&& call) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  call();
  fflush(stdout);
  Printed printed;
  printed.out = testing::internal::GetCapturedStdout();
  printed.err = testing::internal::GetCapturedStderr();
  return printed;
}

std::string reply25(std::string text) {
  text.resize(25, ' ');
  return text;
}

Bytes writePacket(std::uint8_t command, int address, const Bytes& block) {
  Bytes packet(writePacketLength);
  fillWritePacketInto(packet.data(), command, address, block.data());
  return packet;
}

TEST(Loader, ChecksumAndFixedPackets) {
  const std::uint8_t erase[2] = {0x01, 'C'};
  EXPECT_EQ(checkSum(erase, 2), 0xBC);
  const std::uint8_t eraseAll[2] = {0x01, 'A'};
  EXPECT_EQ(checkSum(eraseAll, 2), 0xBE);
  EXPECT_EQ(checkSum(nullptr, 0), 0);
  const std::uint8_t wraps[2] = {0x80, 0x80};
  EXPECT_EQ(checkSum(wraps, 2), 0);

  const Bytes packet = writePacket('W', 0, Bytes(16, 0x01));
  const Bytes expected = {0x07, 0x0E, 0x14, 0x57, 0x00, 0x00, 0x00, 1, 1, 1, 1, 1,
                          1,    1,    1,    1,    1,    1,    1,    1, 1, 1, 1, 0x85};
  EXPECT_EQ(packet, expected);
  const Bytes high = writePacket('E', 0x12345, Bytes(16, 0));
  EXPECT_EQ(high[4], 0x01);
  EXPECT_EQ(high[5], 0x23);
  EXPECT_EQ(high[6], 0x45);
}

TEST(Loader, DeviceTable) {
  EXPECT_EQ(identifyDevice("842"), 2);
  EXPECT_EQ(identifyDevice("814xyz"), 1);
  EXPECT_EQ(identifyDevice("815"), 0);
  EXPECT_EQ(identifyDevice(""), 0);
  EXPECT_EQ(identifyDevice("84"), 0);
  EXPECT_EQ(pmsize(1), 8192);
  EXPECT_EQ(dmsize(1), 160);
  EXPECT_EQ(pmsize(2), 63488);
  EXPECT_EQ(dmsize(2), 4096);
}

TEST(Loader, IdentifyJudgesEveryReply) {
  struct Case {
    std::string reply;
    int device;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {reply25("ADI 842 xxL2.0 trailing"), 2, "OK: ADI 842 xxL2.0\n", ""},
      {reply25("ADI-814-abc2efgh"), 1, "OK: ADI-814-abc2ef\n", ""},
      {reply25("ADJ 842 xxL2.0"), 0, "Not supported: Product id = ADJ 842 xx\n", ""},
      {reply25("adi 842 xxL2.0"), 0, "Not supported: Product id = adi 842 xx\n", ""},
      {reply25("ADI 999 xxL2.0"), 0, "ADI 999  is not supported.\n", ""},
      {reply25(std::string("ADI ") + '\0' + "42 xxL2.0"), 0, "ADI  is not supported.\n", ""},
      {reply25("ADI 842 xxL1.0"), 0, "L1.0 Loder is not supported.\n", ""},
      {reply25(std::string("ADI 842") + '\0' + "xxL2.0"), 2, "OK: ADI 842\n", ""},
      {std::string("ADI 842 xx L2.0 24 bytes."), 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    PortOnLine chip = openPortOnLine();
    ASSERT_GE(chip.port, 0);
    std::string answer = c.reply;
    const bool short24 = c.device == 0 && c.out.empty();
    if (short24)
      answer.resize(24);
    queueAnswer(chip, answer);
    int device = -1;
    const Printed printed = capture([&] { device = identify(chip.port); });
    EXPECT_EQ(device, c.device);
    if (short24) {
      EXPECT_EQ(printed.out, "");
      EXPECT_EQ(printed.err, "Serial Port: Time Out.\n");
    } else {
      EXPECT_EQ(printed.out, c.out);
      EXPECT_EQ(printed.err, c.err);
    }
    EXPECT_EQ(sentBy(chip), (Bytes{0x21, 0x5A, 0x00, 0xA6}));
    closePortOnLine(chip);
  }
}

TEST(Loader, EraseReportsTheLoadersAnswer) {
  struct Case {
    bool all;
    std::string answer;
    bool erased;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {false, "\x06", true, "Program memory erased.\n", ""},
      {false, "\x07", false, "Fail to erase program memory.\n", ""},
      {false, "\x15", false, "Unknown response.\n", ""},
      {false, "", false, "", "Serial Port: Time Out.\n"},
      {true, "\x06", true, "Program and data memory erased.\n", ""},
      {true, "\x07", false, "Fail to erase program and data memory.\n", ""},
      {true, "\x15", false, "Unknown response.\n", ""},
      {true, "", false, "", "Serial Port: Time Out.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out + c.err);
    PortOnLine chip = openPortOnLine();
    ASSERT_GE(chip.port, 0);
    queueAnswer(chip, c.answer);
    bool erased = !c.erased;
    const Printed printed = capture([&] {
      erased = c.all ? eraseProgramAndDataMemory(chip.port) : eraseProgramMemory(chip.port);
    });
    EXPECT_EQ(erased, c.erased);
    EXPECT_EQ(printed.out, c.out);
    EXPECT_EQ(printed.err, c.err);
    EXPECT_EQ(sentBy(chip), c.all ? (Bytes{0x07, 0x0E, 0x01, 0x41, 0xBE})
                                  : (Bytes{0x07, 0x0E, 0x01, 0x43, 0xBC}));
    closePortOnLine(chip);
  }
}

TEST(Loader, ASendThatFailsIsReportedAsEachSenderShould) {
  struct Case {
    const char* name;
    bool (*send)(int port);
    std::string out;
    std::string err;
  };
  // The end-to-end tests cover the answers a live chip gives; a line whose far end has gone is
  // the one way to make the send itself fail.
  static const std::vector<std::uint8_t> image(8192, 0x11);
  const Case cases[] = {
      {"erase program", eraseProgramMemory, "",
       "Serial port wirte error.\nSerial Port: Time Out.\n"},
      {"erase all", eraseProgramAndDataMemory, "", "Serial Port: Time Out.\n"},
      {"write data", [](int port) { return writeDataMemoryFrom(port, 1, image.data()); },
       "Serial write error.\nFail to write data memory.\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PortOnLine chip = openPortOnLine();
    ASSERT_GE(chip.port, 0);
    close(chip.line.master);
    chip.line.master = -1;
    bool done = true;
    const Printed printed = capture([&] { done = c.send(chip.port); });
    EXPECT_FALSE(done);
    EXPECT_EQ(printed.out, c.out);
    EXPECT_EQ(printed.err, c.err);
    closePortOnLine(chip);
  }
}

TEST(Loader, AnAllZeroImageSendsNothingAndIsWritten) {
  const Bytes image(8192, 0);
  PortOnLine chip = openPortOnLine();
  ASSERT_GE(chip.port, 0);
  bool written = false;
  const Printed printed =
      capture([&] { written = writeProgramMemoryFrom(chip.port, 1, image.data()); });
  EXPECT_TRUE(written);
  EXPECT_EQ(printed.out, "\nProgram memory written.\n");
  EXPECT_EQ(printed.err, "");
  EXPECT_TRUE(sentBy(chip).empty());
  closePortOnLine(chip);
}

}  // namespace
