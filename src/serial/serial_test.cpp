#include "serial/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "harness.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Whatever the line was, it is raw 9600 8N1 without flow control once open.
TEST(Serial, OpensARawLineAndNothingElse) {
  std::string path;
  const int line = openLineInto(path);
  termios cooked{};
  tcgetattr(line, &cooked);
  cfsetspeed(&cooked, B1200);
  cooked.c_cflag = (cooked.c_cflag & ~tcflag_t(CREAD | CLOCAL | CSIZE)) | CS7 | CSTOPB | PARENB |
                   PARODD | CRTSCTS;
  cooked.c_iflag |= IXON | IXOFF | IXANY | ICRNL;
  ASSERT_EQ(tcsetattr(line, TCSANOW, &cooked), 0);  // the controlling side sets the terminal's
  const int fd = openSerialPort(path.c_str());
  termios tio{};
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), B9600);
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_EQ(tio.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | CLOCAL | CREAD),
            tcflag_t(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0U);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0U);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(closeSerialPort(fd), 0);
  close(line);
  // What is no terminal leaves no descriptor behind: the next one free stays the same.
  const int next = dup(0);
  close(next);
  EXPECT_EQ(openSerialPort("/dev/null"), -1);
  EXPECT_EQ(dup(0), next);
  close(next);
}

// Plays the far end of line from start: "ms:bytes" sends bytes then, "ms:!" hangs up.
void playFarEnd(int& line, const std::string& events, steady_clock::time_point start) {
  std::istringstream in(events);
  for (std::string event; in >> event;) {
    const std::string what = event.substr(event.find(':') + 1);
    std::this_thread::sleep_until(start + milliseconds(std::stoi(event)));
    if (what == "!")
      close(std::exchange(line, -1));
    else
      (void)!write(line, what.data(), what.size());
  }
}

// Each row: what the far end does while the port waits for 25 bytes, what the wait returns and
// in how many ms. Bytes that trickle in do not move the deadline, and those past the 25th stay
// on the line; a hang-up ends the wait.
TEST(Serial, BoundedReadKeepsItsDeadlineAndSleeps) {
  const std::tuple<std::string, std::string, int, int> rows[] = {
      {"100:0123 200:456789 300:abcdefghijklmnoXYZ", "0123456789abcdefghijklmno", 290, 600},
      {"400:ab 800:cd 1200:ef", "abcd", 990, 1190},
      {"100:!", "", 90, 500},
  };
  for (const auto& [events, received, atLeast, below] : rows) {
    SCOPED_TRACE(events);
    std::string path;
    int line = openLineInto(path);
    const int fd = openSerialPort(path.c_str());
    const auto start = steady_clock::now();
    std::thread farEnd(playFarEnd, std::ref(line), events, start);
    const std::clock_t cpuBefore = std::clock();
    std::uint8_t buffer[32] = {};
    const int n = readSerialPortUpto(fd, buffer, 25);
    const auto waited = steady_clock::now() - start;
    farEnd.join();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), std::size_t(n)), received);
    EXPECT_GE(waited, milliseconds(atLeast));
    EXPECT_LT(waited, milliseconds(below));
    EXPECT_LT(std::clock() - cpuBefore, CLOCKS_PER_SEC / 10);  // one that spins burns the wait
    EXPECT_EQ(closeSerialPort(fd), 0);
    if (line >= 0)
      close(line);
  }
}

}  // namespace
