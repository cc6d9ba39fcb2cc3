#include "loader/loader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "serial/serial.h"

namespace {

// A line whose far end has gone is the one way to make a send fail; each erase reports it its
// own way, and neither waits out its second.
TEST(Loader, EachEraseReportsASendThatFailedItsOwnWay) {
  const std::pair<bool (*)(int), std::string> rows[] = {
      {eraseProgramMemory, "Serial port wirte error.\nSerial Port: Time Out.\n"},
  };
  for (const auto& [erase, err] : rows) {
    std::string path;
    const int line = openLineInto(path);
    const int port = openSerialPort(path.c_str());
    close(line);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(erase(port));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), err);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(closeSerialPort(port), 0);
  }
}

}  // namespace
