#include "hex/hex.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The writer serves the stand-in chip's dumps, which a run can only compare with what the same
// writer made.
TEST(HexRecords, AppendsARecordWithItsChecksum) {
  const std::uint8_t data[] = {0x01, 0x02, 0xFE, 0xFF};
  std::string text = "x";
  appendHexRecordInto(text, dataRecord, 0xF7F0, data, 4);
  appendHexRecordInto(text, endRecord, 0, nullptr, 0);
  EXPECT_EQ(text, "x:04F7F0000102FEFF15\n:00000001FF\n");
}

}  // namespace
