#include "serial/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "pty.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The lowest free descriptor: opening and failing must leave it where it was.
int nextDescriptor() {
  const int fd = dup(0);
  close(fd);
  return fd;
}

void writeAll(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

TEST(Serial, OpenConfiguresARawLineAndRefusesWhatIsNoTerminal) {
  {
    const SilentLine line = openSilentLine();
    ASSERT_GE(line.master, 0);
    const int fd = openSerialPort(line.path.c_str());
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(cfgetispeed(&tio), B9600);
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (CSTOPB | PARENB | CRTSCTS), 0U);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0U);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0U);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0U);
    EXPECT_EQ(tio.c_oflag & OPOST, 0U);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(closeSerialPort(fd), 0);
    close(line.master);
  }
  {
    const int before = nextDescriptor();
    EXPECT_EQ(openSerialPort("/nonexistent/kilnload-port"), -1);
    EXPECT_EQ(nextDescriptor(), before);
  }
  {
    const std::string dir = makeTempDir();
    const std::string file = dir + "/regular";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    const int before = nextDescriptor();
    EXPECT_EQ(openSerialPort(file.c_str()), -1);
    EXPECT_EQ(nextDescriptor(), before);
    unlink(file.c_str());
    rmdir(dir.c_str());
  }
  { EXPECT_EQ(closeSerialPort(nextDescriptor()), -1); }
}

TEST(Serial, APortIsHeldByOneOpenerAtATime) {
  const SilentLine line = openSilentLine();
  ASSERT_GE(line.master, 0);
  const int first = openSerialPort(line.path.c_str());
  ASSERT_GE(first, 0);
  const int before = nextDescriptor();
  EXPECT_EQ(openSerialPort(line.path.c_str()), -1);
  EXPECT_EQ(nextDescriptor(), before);
  EXPECT_EQ(closeSerialPort(first), 0);
  const int again = openSerialPort(line.path.c_str());
  EXPECT_GE(again, 0);
  EXPECT_EQ(closeSerialPort(again), 0);
  close(line.master);
}

TEST(Serial, BoundedReadWaitsOneSecondInAllAndSleepsWhileItWaits) {
  const PortOnLine opened = openPortOnLine();
  ASSERT_GE(opened.port, 0);
  const SilentLine& line = opened.line;
  const int fd = opened.port;
  std::uint8_t buffer[25] = {};
  {
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    EXPECT_EQ(readSerialPortUpto(fd, buffer, 25), 0);
    const double waited = secondsSince(start);
    EXPECT_GE(waited, 0.99);
    EXPECT_LT(waited, 1.5);
    // A loop that polls without sleeping burns the whole second.
    EXPECT_LT(cpuSeconds() - cpuBefore, 0.25);
  }
  {
    writeAll(line.master, std::string(10, 'x'));
    const auto start = Clock::now();
    EXPECT_EQ(readSerialPortUpto(fd, buffer, 25), 10);
    EXPECT_GE(secondsSince(start), 0.99);
  }
  {
    const auto start = Clock::now();
    EXPECT_EQ(readSerialPortUpto(fd, buffer, 0), 0);
    EXPECT_LT(secondsSince(start), 0.1);
  }
  {
    // Pieces arrive over 0.6 s: the deadline stays where it was set, and the call returns as soon
    // as the count is complete.
    std::thread sender([&] {
      for (const char* piece : {"0123", "456789", "abcdefghijklmno"}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        writeAll(line.master, piece);
      }
    });
    const auto start = Clock::now();
    EXPECT_EQ(readSerialPortUpto(fd, buffer, 25), 25);
    const double waited = secondsSince(start);
    sender.join();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 25), "0123456789abcdefghijklmno");
    EXPECT_GE(waited, 0.55);
    EXPECT_LT(waited, 0.95);
  }
  {
    std::thread sender([&] {
      for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        writeAll(line.master, "ab");
      }
    });
    const auto start = Clock::now();
    EXPECT_EQ(readSerialPortUpto(fd, buffer, 25), 4);
    EXPECT_LT(secondsSince(start), 1.3);
    sender.join();
  }
  EXPECT_EQ(closeSerialPort(fd), 0);
  close(line.master);
}

TEST(Serial, ClearDiscardsStaleInputWithoutWaiting) {
  const PortOnLine opened = openPortOnLine();
  ASSERT_GE(opened.port, 0);
  const SilentLine& line = opened.line;
  const int fd = opened.port;
  std::uint8_t byte = 0;
  {
    writeAll(line.master, std::string(100, 's'));
    const auto start = Clock::now();
    clearInputBuffer(fd);
    EXPECT_LT(secondsSince(start), 0.1);
    EXPECT_EQ(readSerialPortInto(fd, 1, &byte), 0);
  }
  {
    const auto start = Clock::now();
    clearInputBuffer(fd);
    EXPECT_LT(secondsSince(start), 0.1);
  }
  {
    writeAll(line.master, "Z");
    EXPECT_EQ(readSerialPortUpto(fd, &byte, 1), 1);
    EXPECT_EQ(byte, 'Z');
  }
  EXPECT_EQ(closeSerialPort(fd), 0);
  close(line.master);
}

TEST(Serial, WriteReachesTheFarEndAndAVanishedEndEndsTheWaitAtOnce) {
  const PortOnLine opened = openPortOnLine();
  ASSERT_GE(opened.port, 0);
  const SilentLine& line = opened.line;
  const int fd = opened.port;
  const std::uint8_t packet[5] = {0x07, 0x0E, 0x01, 0x43, 0xBC};
  EXPECT_EQ(writeSerialPortFrom(fd, 5, packet), 5);
  char seen[5] = {};
  ASSERT_EQ(read(line.master, seen, 5), 5);
  EXPECT_EQ(std::string(seen, 5), std::string(reinterpret_cast<const char*>(packet), 5));

  close(line.master);
  std::uint8_t buffer[25] = {};
  const double cpuBefore = cpuSeconds();
  const auto start = Clock::now();
  EXPECT_EQ(readSerialPortUpto(fd, buffer, 25), 0);
  EXPECT_LT(secondsSince(start), 0.5);
  EXPECT_LT(cpuSeconds() - cpuBefore, 0.25);
  EXPECT_EQ(writeSerialPortFrom(fd, 5, packet), 0);
  EXPECT_EQ(closeSerialPort(fd), 0);
}

}  // namespace
