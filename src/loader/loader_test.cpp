#include "loader/loader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "serial/serial.h"

namespace {

// A line whose far end has gone is the one way to make a send fail; the program-memory erase
// reports it, then waits for an answer that cannot come, but not for a whole second.
TEST(Loader, EraseReportsASendThatFailed) {
  std::string path;
  const int line = openLineInto(path);
  const int port = openSerialPort(path.c_str());
  close(line);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(eraseProgramMemory(port));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Serial port wirte error.\nSerial Port: Time Out.\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(closeSerialPort(port), 0);
}

}  // namespace
