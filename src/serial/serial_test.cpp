#include "serial/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using std::chrono::milliseconds;

TEST(Serial, OpensARawLineAndNothingElse) {
  std::string path;
  const int line = openLineInto(path);
  const int fd = openSerialPort(path.c_str());
  termios tio{};
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), B9600);
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_EQ(tio.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS | CLOCAL), tcflag_t(CS8 | CLOCAL));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0U);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0U);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(closeSerialPort(fd), 0);
  EXPECT_EQ(closeSerialPort(fd), -1);
  close(line);
  // What is no terminal leaves no descriptor behind: the next one free stays the same.
  const int next = dup(0);
  close(next);
  EXPECT_EQ(openSerialPort("/dev/null"), -1);
  EXPECT_EQ(dup(0), next);
  close(next);
}

// Each row: what the far end does while the port waits for length bytes ("ms:bytes" sent then,
// "ms:!" hangs up, "ms:~" wakes the waiter with a signal), what the wait returns and in how many
// ms.
TEST(Serial, BoundedReadKeepsItsDeadlineAndSleeps) {
  struct Row {
    int length;
    std::string events, received;
    int atLeast, below;
  };
  const Row rows[] = {
      {25, "0:0123456789", "0123456789", 990, 1200},
      {25, "100:0123 200:456789 300:abcdefghijklmno", "0123456789abcdefghijklmno", 290, 600},
      {25, "400:ab 800:cd 1200:ef", "abcd", 990, 1190},
      {25, "100:!", "", 90, 500},
      {25, "100:~ 300:~", "", 990, 1200},  // nothing comes, and signals cut the sleep short
      {0, "0:x", "", 0, 100},
  };
  signal(SIGUSR1, [](int) {});
  const pthread_t waiter = pthread_self();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.events);
    std::string path;
    int line = openLineInto(path);
    const int fd = openSerialPort(path.c_str());
    const auto start = std::chrono::steady_clock::now();
    std::thread farEnd([&] {
      std::istringstream events(row.events);
      for (std::string event; events >> event;) {
        const std::size_t colon = event.find(':');
        std::this_thread::sleep_until(start + milliseconds(std::stoi(event)));
        if (event.substr(colon + 1) == "!")
          close(std::exchange(line, -1));
        else if (event.substr(colon + 1) == "~")
          pthread_kill(waiter, SIGUSR1);
        else
          (void)!write(line, event.data() + colon + 1, event.size() - colon - 1);
      }
    });
    const std::clock_t cpuBefore = std::clock();
    std::uint8_t buffer[32] = {};
    const int n = readSerialPortUpto(fd, buffer, row.length);
    const auto waited = std::chrono::steady_clock::now() - start;
    farEnd.join();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), std::size_t(n)), row.received);
    EXPECT_GE(waited, milliseconds(row.atLeast));
    EXPECT_LT(waited, milliseconds(row.below));
    EXPECT_LT(std::clock() - cpuBefore, CLOCKS_PER_SEC / 10);  // one that spins burns the wait
    EXPECT_EQ(closeSerialPort(fd), 0);
    if (line >= 0)
      close(line);
  }
}

}  // namespace
