#include "hex/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pty.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The "814" data memory, the smallest image the tool ever fills, and bytes past it that a reader
// storing out of bounds would change.
constexpr int smallImage = 0xA0;
constexpr std::size_t guarded = smallImage + 32;

const std::string endRecord = ":00000001FF\n";
// Four bytes at address 0, with letters among the digits.
const std::string goodRecord = ":0400000012ABCDEF83\n";
const std::string outOfMemory = "Out of Memory.\n";
const std::string noRecordData = "Could not read record data.\n";
const std::string lineTerminated = "Line terminated at wrong point.\n";
const std::string noCheckSum = "Check sum was not found.\n";
const std::string fileEnded = "File ended while reading.\n";

// Returns a guarded small image holding only goodRecord's bytes.
Bytes goodImage() {
  Bytes image(guarded, 0);
  std::copy_n(Bytes{0x12, 0xAB, 0xCD, 0xEF}.begin(), 4, image.begin());
  return image;
}

// Returns a data record of count bytes of value at address, its checksum right.
std::string dataRecord(unsigned count, unsigned address, unsigned value) {
  char field[16];
  snprintf(field, sizeof field, ":%02X%04X00", count, address);
  std::string text = field;
  const unsigned sum = count + (address >> 8U) + (address & 0xFFU) + count * value;
  for (unsigned i = 0; i < count; ++i) {
    snprintf(field, sizeof field, "%02X", value);
    text += field;
  }
  snprintf(field, sizeof field, "%02X\n", (0U - sum) & 0xFFU);
  return text + field;
}

struct Outcome {
  int result = 99;
  Bytes image;
  std::string err;
};

// Runs the record reader over text into a zero-filled guarded small image; returns its result,
// the image and what it wrote to standard error.
Outcome readRecordsFrom(const std::string& text) {
  Outcome outcome{99, Bytes(guarded, 0), ""};
  std::string buffer = text;
  FILE* file = fmemopen(buffer.data(), buffer.size(), "r");
  if (file == nullptr) {
    ADD_FAILURE() << "fmemopen failed";
    return outcome;
  }
  testing::internal::CaptureStderr();
  outcome.result = readFromHexInto(file, smallImage, outcome.image.data());
  outcome.err = testing::internal::GetCapturedStderr();
  fclose(file);
  return outcome;
}

// Returns how many descriptors this process holds open.
long countOpenDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

TEST(HexFile, NamesTheFileReportsEachFaultOnItsStreamAndClosesTheFile) {
  const std::string dir = makeTempDir();
  ASSERT_FALSE(dir.empty());
  int written = 0;
  auto fileWith = [&](const std::string& content) {
    std::string path = dir + "/" + std::to_string(++written) + ".hex";
    std::ofstream(path, std::ios::binary) << content;
    return path;
  };
  struct Case {
    std::string path;
    std::string err;
    bool hexReadError;
  };
  const Case cases[] = {
      {fileWith(goodRecord + endRecord), "", false},
      {fileWith(goodRecord), fileEnded, true},
      {fileWith(""), fileEnded, true},
      {"/dev/null", fileEnded, true},
      {fileWith(std::string(8U << 20U, 'A')), fileEnded, true},
      {fileWith(":\n" + endRecord), noRecordData, true},
      {fileWith(":G400000012ABCDEF83\n" + endRecord), noRecordData, true},
      {fileWith(":04\n" + endRecord), noRecordData, true},
      {fileWith(":04Z0000012ABCDEF83\n" + endRecord), noRecordData, true},
      {fileWith(":040000\n" + endRecord), noRecordData, true},
      {fileWith(":040000Q012ABCDEF83\n" + endRecord), noRecordData, true},
      {fileWith(dataRecord(16, 0xA0, 0x11) + endRecord), outOfMemory, true},
      {fileWith(":0400000012ABCD\n" + endRecord), lineTerminated, true},
      {fileWith(std::string(":0400000012\0ABCDEF83\n", 21) + endRecord), lineTerminated, true},
      {fileWith(":0400000012ABCDEF\n" + endRecord), noCheckSum, true},
      {dir + "/absent.hex", "Could not open hexfile - " + dir + "/absent.hex.\n", false},
      {dir, "Could not open hexfile - " + dir + ".\n", false},
  };
  const long descriptorsBefore = countOpenDescriptors();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Bytes image(guarded, 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = readHexFile(c.path.c_str(), smallImage, image.data());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Read hexfile - " + c.path + ".\n" + (c.hexReadError ? "Hex read error.\n" : ""));
    EXPECT_EQ(result, c.err.empty() ? 1 : 0);
    if (result == 1) {
      EXPECT_EQ(image, goodImage());
    }
  }
  EXPECT_EQ(countOpenDescriptors(), descriptorsBefore);
  std::filesystem::remove_all(dir);
}

TEST(HexRecords, LenientInputIsAccepted) {
  const std::string cases[] = {
      goodRecord + endRecord,
      ":0400000012abcdef83\n:00000001ff\n",
      ":0400000012ABCDEF83\r\n:00000001FF\r\n",
      "\n\n# made by hand\r\n\n" + goodRecord + "\nmore words\n" + endRecord,
      "label:0400000012ABCDEF83 and more\n" + endRecord,
      ":0400000012ABCDEF830102 junk\n" + endRecord,
      ":0400000012ABCDEF00\n" + endRecord,
      ": 04 0000 00 12\tAB\r\nCD EF 83\n" + endRecord,
      std::string("\0junk\0\n", 7) + goodRecord + endRecord,
      // Nothing after the end record is read, and none of its own fields but the type.
      goodRecord + endRecord + ":ZZ\n:0400\n" + dataRecord(16, 0xF0, 0xAA),
      goodRecord + ":FF123401",
      dataRecord(0, 0xA0, 0) + goodRecord + endRecord,
      // Start records, and base records that leave the base at zero, are skipped.
      ":0400100300001234A3\n" + goodRecord + endRecord,
      ":04001005DEADBEEFAF\n" + goodRecord + endRecord,
      ":020010020000EC\n" + goodRecord + endRecord,
      ":020010040000EA\n" + goodRecord + endRecord,
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    const Outcome outcome = readRecordsFrom(text);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.image, goodImage());
  }
}

TEST(HexRecords, AFaultEndsTheReadWithTheMessageOfItsField) {
  struct Case {
    std::string text;
    std::string err;
    long stored;  // non-zero bytes in the image when the read ends
  };
  const Case cases[] = {
      // Short records run on into the next line, or the end of the file.
      {":0400000012ABCDEF\n", noCheckSum, 4},
      {":0400000012ABCDEF\r\n", noCheckSum, 4},
      {":0400000012ABCD\n", lineTerminated, 3},
      {":040000001\n", lineTerminated, 1},
      // A ':' inside text starts a record all the same.
      {"see: below\n", noRecordData, 0},
      // Signs and "0x" prefixes are refused by the field being scanned.
      {":+400000012ABCDEF83\n", noRecordData, 0},
      {":0x0400000012ABCDEF83\n", noRecordData, 0},
      {":040x000012ABCDEF83\n", noRecordData, 0},
      {":040000-012ABCDEF83\n", noRecordData, 0},
      {":0400000X0012ABCDEF83\n", noRecordData, 0},
      {":04000000+1ABCDEF83\n", lineTerminated, 0},
      {":0400000012-1CDEF83\n", lineTerminated, 1},
      {":0400000012ABCD0XEF83\n", lineTerminated, 3},
      {":0400000012ABCDEF+1\n", noCheckSum, 4},
      {":0400000012ABCDEF0x83\n", noCheckSum, 4},
      // Records of other types.
      {":020000021000EC\n", "Extended address is not supported.\n", 0},
      {":020000040001F9\n", "Extended address is not supported.\n", 0},
      {":04000005DEADBE\n", lineTerminated, 0},
      {":0000000600\n", "Unknown record type.\n", 0},
      {":000000FF01\n", "Unknown record type.\n", 0},
      // Records that reach beyond the image store nothing.
      {dataRecord(16, 0xA0, 0x5A), outOfMemory, 0},
      {dataRecord(17, 0x90, 0x5A), outOfMemory, 0},
      {dataRecord(0, 0xA1, 0), outOfMemory, 0},
      {dataRecord(255, 0xFFFF, 0x5A), outOfMemory, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    // The good record after the fault shows whether the read went on.
    const Outcome outcome = readRecordsFrom(c.text + ":0400400012ABCDEF43\n" + endRecord);
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(std::count_if(outcome.image.begin(), outcome.image.end(),
                            [](std::uint8_t b) { return b != 0; }),
              c.stored);
  }
  // The same when the file ends inside a record.
  EXPECT_EQ(readRecordsFrom(":0400000012ABCDEF").err, noCheckSum);
  EXPECT_EQ(readRecordsFrom(":0400000012AB").err, lineTerminated);
}

TEST(HexRecords, ARecordEndingAtTheEndOfTheImageIsStoredWhole) {
  const Outcome outcome = readRecordsFrom(dataRecord(16, 0x90, 0x5A) + endRecord);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.err, "");
  Bytes expected(guarded, 0);
  std::fill_n(expected.begin() + 0x90, 16, 0x5A);
  EXPECT_EQ(outcome.image, expected);
}

TEST(HexImage, AllocatedImagesAreZeroFilledEvenWhereMemoryWasUsedBefore) {
  for (int size : {smallImage, 0xF800}) {
    // Leave dirty memory behind for the next allocation of the same size to reuse.
    MemoryImage dirty = allocateMemory(size);
    ASSERT_TRUE(dirty);
    std::fill_n(dirty.get(), size, 0xA5);
    dirty.reset();
    const MemoryImage image = allocateMemory(size);
    ASSERT_TRUE(image);
    EXPECT_EQ(Bytes(image.get(), image.get() + size), Bytes(static_cast<std::size_t>(size), 0));
  }
}

}  // namespace
