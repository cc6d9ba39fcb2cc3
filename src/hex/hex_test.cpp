#include "hex/hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string end = ":00000001FF\n";
const std::string good = ":0400000012ABCDEF83\n";   // four bytes at address 0
const std::string after = ":0400400012ABCDEF43\n";  // shows whether a read went on

// Each row: a file's text, read into the 160-byte data memory of an "814" part, the message the
// reader gives, and what the image then holds: the address of its first byte that is not zero,
// then every byte that is not zero, 32 bytes past its end included. A fault on a line of its own
// is followed by a good record, to show that the read ended there.
TEST(HexRecords, TextInBytesOrMessageOut) {
  struct Row {
    std::string text, err, stored;
  };
  const std::string ok = "00 12ABCDEF", short1 = "Check sum was not found.\n",
                    short2 = "Line terminated at wrong point.\n",
                    noFields = "Could not read record data.\n", outside = "Out of Memory.\n",
                    extended = "Extended address is not supported.\n";
  const std::string r90 = ":10009000" + std::string(32, 'A') + "C0\n";
  const Row rows[] = {
      {good + end, "", ok},
      {":0400000012abcdef83\n:00000001ff\n", "", ok},
      {":0400000012ABCDEF83\r\n:00000001FF\r\n", "", ok},
      {"\n\n# by hand\r\n\n" + good + "\nmore words\n" + end, "", ok},
      {"label:0400000012ABCDEF83 and more\n" + end, "", ok},
      {":0400000012ABCDEF830102 junk\n" + end, "", ok},
      {":0400000012ABCDEF00\n" + end, "", ok},
      {": 04 0000 00 12\tAB\r\nCD EF 83\n" + end, "", ok},
      {std::string("\0junk\0\n", 7) + good + end, "", ok},
      {good + end + ":ZZ\n:0400\n" + after, "", ok},
      {good + ":FF123401", "", ok},
      {":0000A00060\n" + good + end, "", ok},
      {":0400100300001234A3\n:04001005DEADBEEFAF\n" + good + end, "", ok},
      {":020010020000EC\n:020010040000EA\n" + good + end, "", ok},
      {r90 + end, "", "90 " + std::string(32, 'A')},
      {"", "File ended while reading.\n", ""},
      {":0400000012ABCDEF83", "File ended while reading.\n", ok},
      {":0400000012ABCDEF\n", short1, ok},
      {":0400000012ABCD\n", short2, "00 12ABCD"},
      {":040000001\n", short2, "00 01"},
      {":0400000012ABCDEF", short1, ok},
      {":0400000012AB", short2, "00 12AB"},
      {"see: below\n", noFields, ""},
      {":+400000012ABCDEF83\n", noFields, ""},
      {":0x0400000012ABCDEF83\n", noFields, ""},
      {":040x000012ABCDEF83\n", noFields, ""},
      {":040000-012ABCDEF83\n", noFields, ""},
      {":04000000+1ABCDEF83\n", short2, ""},
      {":0400000012-1CDEF83\n", short2, "00 12"},
      {":0400000012ABCD0XEF83\n", short2, "00 12ABCD"},
      {":0400000012ABCDEF0x83\n", short1, ok},
      {":020000021000EC\n", extended, ""},
      {":020000040001F9\n", extended, ""},
      {":04000005DEADBE\n", short2, ""},
      {":0000000600\n", "Unknown record type.\n", ""},
      {":000000FF01\n", "Unknown record type.\n", ""},
      {":1000A000" + std::string(32, 'A') + "B0\n", outside, ""},
      {":11009000" + std::string(34, 'A') + "15\n", outside, ""},
      {":0000A10000\n", outside, ""},
      {":FFFFFF00" + std::string(510, 'A'), outside, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text.substr(0, 60));
    std::string text = row.text + (row.err.empty() || !row.text.ends_with('\n') ? "" : after + end);
    FILE* file = fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(file, nullptr);
    std::vector<std::uint8_t> image(0xA0 + 32, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(readFromHexInto(file, 0xA0, image.data()), row.err.empty() ? 0 : -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), row.err);
    fclose(file);
    std::string stored;
    char hex[4];
    for (std::size_t at = 0; at < image.size(); ++at) {
      if (image[at] == 0)
        continue;
      if (stored.empty() && snprintf(hex, sizeof hex, "%02zX ", at) > 0)
        stored += hex;
      snprintf(hex, sizeof hex, "%02X", image[at]);
      stored += hex;
    }
    EXPECT_EQ(stored, row.stored);
  }
}

}  // namespace
