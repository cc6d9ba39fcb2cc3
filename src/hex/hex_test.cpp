#include "hex/hex.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pty.h"

namespace {

// The data memory of the "814" part, the smallest image the tool ever fills.
constexpr int smallImage = 0xA0;

const std::string endRecord = ":00000001FF\n";
const std::string record1234At0 = ":0400000012345678EC\n";

const std::vector<std::uint8_t> bytes1234 = {0x12, 0x34, 0x56, 0x78};

struct RecordsOutcome {
  int result = 99;
  std::vector<std::uint8_t> image;
  std::string out;
  std::string err;
};

// Runs the record reader over text as an open stream into a zero-filled image of size bytes.
RecordsOutcome readRecordsFrom(const std::string& text, int size = smallImage) {
  RecordsOutcome outcome;
  outcome.image.assign(static_cast<std::size_t>(size), 0);
  std::string buffer = text;
  FILE* file = fmemopen(buffer.data(), buffer.size(), "r");
  if (file == nullptr) {
    ADD_FAILURE() << "fmemopen failed";
    return outcome;
  }
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  outcome.result = readFromHexInto(file, size, outcome.image.data());
  outcome.err = testing::internal::GetCapturedStderr();
  outcome.out = testing::internal::GetCapturedStdout();
  fclose(file);
  return outcome;
}

// Returns the image bytes from first for count bytes.
std::vector<std::uint8_t> bytesAt(const std::vector<std::uint8_t>& image, std::size_t first,
                                  std::size_t count) {
  return {image.begin() + static_cast<long>(first),
          image.begin() + static_cast<long>(first + count)};
}

// Returns how many bytes of image are not zero.
long countNonZero(const std::vector<std::uint8_t>& image) {
  return std::count_if(image.begin(), image.end(), [](std::uint8_t b) { return b != 0; });
}

// Returns a data record text of count bytes of value at address, with a checksum that is right.
std::string dataRecord(int count, int address, std::uint8_t value) {
  char field[16];
  std::string text = ":";
  unsigned sum = static_cast<unsigned>(count) + (static_cast<unsigned>(address) >> 8) +
                 (static_cast<unsigned>(address) & 0xFFU);
  snprintf(field, sizeof field, "%02X%04X00", count, address);
  text += field;
  for (int i = 0; i < count; ++i) {
    snprintf(field, sizeof field, "%02X", value);
    text += field;
    sum += value;
  }
  snprintf(field, sizeof field, "%02X\n", (256U - sum % 256U) % 256U);
  return text + field;
}

// Returns the number of descriptors this process holds open.
int countOpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr)
    return -1;
  int count = 0;
  while (readdir(dir) != nullptr)
    ++count;
  closedir(dir);
  return count;
}

struct FileOutcome {
  int result = 99;
  std::vector<std::uint8_t> image;
  std::string out;
  std::string err;
  int descriptorsBefore = 0;
  int descriptorsAfter = 0;
};

// Runs readHexFile on path into a zero-filled image of size bytes, counting open descriptors
// around it.
FileOutcome readFileAt(const std::string& path, int size = smallImage) {
  FileOutcome outcome;
  outcome.image.assign(static_cast<std::size_t>(size), 0);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  outcome.descriptorsBefore = countOpenDescriptors();
  outcome.result = readHexFile(path.c_str(), size, outcome.image.data());
  outcome.descriptorsAfter = countOpenDescriptors();
  outcome.err = testing::internal::GetCapturedStderr();
  outcome.out = testing::internal::GetCapturedStdout();
  return outcome;
}

class HexFile : public testing::Test {
 protected:
  void SetUp() override {
    dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  // Writes content to a new file in the test's directory; returns its path.
  std::string writeFile(const std::string& name, const std::string& content) {
    std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::string dir;
};

TEST_F(HexFile, NamesTheFileAndFillsTheImage) {
  const std::string path = writeFile("good.hex", record1234At0 + endRecord);
  const FileOutcome outcome = readFileAt(path);
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.out, "Read hexfile - " + path + ".\n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(bytesAt(outcome.image, 0, 4), bytes1234);
  EXPECT_EQ(countNonZero(outcome.image), 4);
  EXPECT_EQ(outcome.descriptorsAfter, outcome.descriptorsBefore);
}

TEST_F(HexFile, EachFaultGivesItsMessageThenHexReadErrorAndClosesTheFile) {
  struct Case {
    const char* name;
    std::string content;
    const char* message;
  };
  const Case cases[] = {
      {"no end record", record1234At0, "File ended while reading.\n"},
      {"empty file", "", "File ended while reading.\n"},
      {"text only", "nothing here\n\n", "File ended while reading.\n"},
      {"count missing", ":\n" + endRecord, "Could not read record data.\n"},
      {"count not hex", ":G400000012345678EC\n" + endRecord, "Could not read record data.\n"},
      {"address missing", ":04\n" + endRecord, "Could not read record data.\n"},
      {"address not hex", ":04Z0000012345678EC\n" + endRecord, "Could not read record data.\n"},
      {"type missing", ":040000\n" + endRecord, "Could not read record data.\n"},
      {"type not hex", ":040000Q012345678EC\n" + endRecord, "Could not read record data.\n"},
      {"beyond the image", dataRecord(16, 0xA0, 0x11) + endRecord, "Out of Memory.\n"},
      {"two pairs short", ":04000000123456\n" + endRecord, "Line terminated at wrong point.\n"},
      {"checksum missing", ":0400000012345678\n" + endRecord, "Check sum was not found.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = writeFile("fault.hex", c.content);
    const FileOutcome outcome = readFileAt(path);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, "Read hexfile - " + path + ".\nHex read error.\n");
    EXPECT_EQ(outcome.err, c.message);
    EXPECT_EQ(outcome.descriptorsAfter, outcome.descriptorsBefore);
  }
}

TEST_F(HexFile, UnopenablePathsAreReportedOnStandardError) {
  {
    const std::string path = dir + "/absent.hex";
    const FileOutcome outcome = readFileAt(path);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, "Read hexfile - " + path + ".\n");
    EXPECT_EQ(outcome.err, "Could not open hexfile - " + path + ".\n");
    EXPECT_EQ(outcome.descriptorsAfter, outcome.descriptorsBefore);
  }
  {
    const FileOutcome outcome = readFileAt(dir);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, "Read hexfile - " + dir + ".\n");
    EXPECT_EQ(outcome.err, "Could not open hexfile - " + dir + ".\n");
    EXPECT_EQ(outcome.descriptorsAfter, outcome.descriptorsBefore);
  }
}

TEST_F(HexFile, DevNullReadsAsAnEmptyFile) {
  const FileOutcome outcome = readFileAt("/dev/null");
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.out, "Read hexfile - /dev/null.\nHex read error.\n");
  EXPECT_EQ(outcome.err, "File ended while reading.\n");
  EXPECT_EQ(outcome.descriptorsAfter, outcome.descriptorsBefore);
}

TEST_F(HexFile, NulBytesAreSkippedBetweenRecordsAndEndAFieldInside) {
  {
    const std::string path =
        writeFile("nul.hex", std::string("\0junk\0\n", 7) + record1234At0 + endRecord);
    const FileOutcome outcome = readFileAt(path);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(bytesAt(outcome.image, 0, 4), bytes1234);
  }
  {
    const std::string path = writeFile("nul.hex", std::string(":0400000012\0"
                                                              "345678EC\n",
                                                              21) +
                                                      endRecord);
    const FileOutcome outcome = readFileAt(path);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, "Read hexfile - " + path + ".\nHex read error.\n");
    EXPECT_EQ(outcome.err, "Line terminated at wrong point.\n");
  }
}

TEST_F(HexFile, ManyMegabytesWithoutAColonEndAsFileEnded) {
  const std::string path = dir + "/large.hex";
  {
    std::ofstream file(path, std::ios::binary);
    const std::string line(1023, 'A');
    for (int i = 0; i < 8 * 1024; ++i)
      file << line << '\n';
  }
  ASSERT_EQ(std::filesystem::file_size(path), 8U * 1024U * 1024U);
  const FileOutcome outcome = readFileAt(path);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.out, "Read hexfile - " + path + ".\nHex read error.\n");
  EXPECT_EQ(outcome.err, "File ended while reading.\n");
  EXPECT_EQ(outcome.descriptorsAfter, outcome.descriptorsBefore);
}

TEST(HexRecords, StoreEachDataByteAtItsOwnAddress) {
  {
    const RecordsOutcome outcome = readRecordsFrom(record1234At0 + endRecord);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(bytesAt(outcome.image, 0, 4), bytes1234);
    EXPECT_EQ(countNonZero(outcome.image), 4);
  }
  {
    // A later record overwrites an earlier one where they meet.
    const RecordsOutcome outcome =
        readRecordsFrom(dataRecord(4, 0x20, 0x11) + dataRecord(2, 0x22, 0x99) + endRecord);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(bytesAt(outcome.image, 0x20, 4), (std::vector<std::uint8_t>{0x11, 0x11, 0x99, 0x99}));
    EXPECT_EQ(countNonZero(outcome.image), 4);
  }
}

TEST(HexRecords, FaultsEndTheReadOnStandardErrorKeepingBytesAlreadyStored) {
  const RecordsOutcome outcome =
      readRecordsFrom(record1234At0 + ":0400100011\n" + dataRecord(4, 0x20, 0x33) + endRecord);
  EXPECT_EQ(outcome.result, -1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "Line terminated at wrong point.\n");
  EXPECT_EQ(bytesAt(outcome.image, 0, 4), bytes1234);
  EXPECT_EQ(outcome.image[0x10], 0x11);
  EXPECT_EQ(outcome.image[0x20], 0);
}

TEST(HexRecords, LenientInputIsAccepted) {
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"lower case", ":04000000123456786c\n:00000001ff\n"},
      {"CR LF", ":0400000012345678EC\r\n:00000001FF\r\n"},
      {"blank and text lines",
       "\n\n# made by hand\r\n\n" + record1234At0 + "\nmore words\n" + endRecord},
      {"surplus pairs", ":0400000012345678EC0102 junk\n:00000001FF\n"},
      {"wrong checksum", ":040000001234567800\n" + endRecord},
      {"fields split by white space", ": 04 0000 00 12\t34\r\n56 78 EC\n" + endRecord},
      {"nothing after the end record is read",
       record1234At0 + endRecord + ":ZZ\n:0400\n" + dataRecord(16, 0xF0, 0xAA)},
      {"end record without checksum", record1234At0 + ":00000001"},
      {"end record with any count and address", record1234At0 + ":FF123401"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordsOutcome outcome = readRecordsFrom(c.text);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(bytesAt(outcome.image, 0, 4), bytes1234);
    EXPECT_EQ(countNonZero(outcome.image), 4);
  }
  {
    const RecordsOutcome outcome = readRecordsFrom(":04000000abcdef0100\n" + endRecord);
    EXPECT_EQ(bytesAt(outcome.image, 0, 4), (std::vector<std::uint8_t>{0xAB, 0xCD, 0xEF, 0x01}));
  }
}

TEST(HexRecords, AColonInsideTextStartsARecord) {
  {
    const RecordsOutcome outcome = readRecordsFrom("label:0400100012345678DC\n" + endRecord);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(bytesAt(outcome.image, 0x10, 4), bytes1234);
  }
  {
    // "be" reads as a count; "low" is no address.
    const RecordsOutcome outcome = readRecordsFrom("see: below\n" + record1234At0 + endRecord);
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.err, "Could not read record data.\n");
    EXPECT_EQ(countNonZero(outcome.image), 0);
  }
}

TEST(HexRecords, ShortRecordsRunOnIntoTheNextLine) {
  struct Case {
    const char* name;
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"one pair short", ":0400000012345678\n" + endRecord, "Check sum was not found.\n"},
      {"one pair short, CR LF", ":0400000012345678\r\n:00000001FF\r\n",
       "Check sum was not found.\n"},
      {"two pairs short", ":04000000123456\n" + endRecord, "Line terminated at wrong point.\n"},
      {"four pairs short", ":040000001\n" + endRecord, "Line terminated at wrong point.\n"},
      {"ends after the type", ":04000000", "Line terminated at wrong point.\n"},
      {"ends inside the data", ":04000000123456", "Line terminated at wrong point.\n"},
      {"ends before the checksum", ":0400000012345678", "Check sum was not found.\n"},
      {"ends after the checksum", ":0400000012345678EC", "File ended while reading.\n"},
      {"ends inside the address", ":0400", "Could not read record data.\n"},
      {"ends after the colon", ":", "Could not read record data.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordsOutcome outcome = readRecordsFrom(c.text);
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, c.message);
  }
}

TEST(HexRecords, RecordsBeyondTheImageAreRefusedWhole) {
  struct Case {
    const char* name;
    std::string record;
    bool accepted;
  };
  const Case cases[] = {
      {"16 bytes at 0x90, ending at the end", dataRecord(16, 0x90, 0x5A), true},
      {"8 bytes at 0x98, ending at the end", dataRecord(8, 0x98, 0x5A), true},
      {"16 bytes at 0xA0", dataRecord(16, 0xA0, 0x5A), false},
      {"17 bytes at 0x90", dataRecord(17, 0x90, 0x5A), false},
      {"1 byte at 0xA0", dataRecord(1, 0xA0, 0x5A), false},
      {"255 bytes at 0xFFFF", dataRecord(255, 0xFFFF, 0x5A), false},
      {"count 0 at 0xA1", dataRecord(0, 0xA1, 0), false},
      {"count 0 at 0xFFFF", dataRecord(0, 0xFFFF, 0), false},
      {"count 0 at 0xA0", dataRecord(0, 0xA0, 0), true},
      {"count 0 at 0x10", dataRecord(0, 0x10, 0), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordsOutcome outcome = readRecordsFrom(c.record + endRecord);
    EXPECT_EQ(outcome.out, "");
    if (c.accepted) {
      EXPECT_EQ(outcome.result, 0);
      EXPECT_EQ(outcome.err, "");
    } else {
      EXPECT_EQ(outcome.result, -1);
      EXPECT_EQ(outcome.err, "Out of Memory.\n");
      EXPECT_EQ(countNonZero(outcome.image), 0);
    }
  }
  {
    const RecordsOutcome outcome = readRecordsFrom(dataRecord(16, 0x90, 0x5A) + endRecord);
    EXPECT_EQ(bytesAt(outcome.image, 0x90, 16), std::vector<std::uint8_t>(16, 0x5A));
    EXPECT_EQ(countNonZero(outcome.image), 16);
  }
  {
    // The largest program memory ends below the top of the 16-bit address range.
    const RecordsOutcome outcome = readRecordsFrom(
        dataRecord(16, 0xF7F0, 0x5A) + dataRecord(16, 0xF800, 0x5A) + endRecord, 0xF800);
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.err, "Out of Memory.\n");
    EXPECT_EQ(bytesAt(outcome.image, 0xF7F0, 16), std::vector<std::uint8_t>(16, 0x5A));
  }
}

TEST(HexRecords, SignsAndHexPrefixesAreRefusedByTheFieldBeingScanned) {
  struct Case {
    const char* name;
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"count +4", ":+400000012345678EC\n", "Could not read record data.\n"},
      {"count -4", ":-400000012345678EC\n", "Could not read record data.\n"},
      {"count 0x", ":0x0400000012345678EC\n", "Could not read record data.\n"},
      {"address +000", ":04+0000012345678EC\n", "Could not read record data.\n"},
      {"address 0x00", ":040x000012345678EC\n", "Could not read record data.\n"},
      {"type -0", ":040000-012345678EC\n", "Could not read record data.\n"},
      {"type 0X", ":0400000X0012345678EC\n", "Could not read record data.\n"},
      {"data +1", ":04000000+134567800\n", "Line terminated at wrong point.\n"},
      {"data -1", ":0400000012-1567800\n", "Line terminated at wrong point.\n"},
      {"data 0x", ":040000000x12345678EC\n", "Line terminated at wrong point.\n"},
      {"data 0X last", ":040000001234560X78EC\n", "Line terminated at wrong point.\n"},
      {"checksum +1", ":0400000012345678+1\n", "Check sum was not found.\n"},
      {"checksum -1", ":0400000012345678-1\n", "Check sum was not found.\n"},
      {"checksum 0x", ":04000000123456780xEC\n", "Check sum was not found.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordsOutcome outcome = readRecordsFrom(c.text + endRecord);
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, c.message);
  }
}

TEST(HexRecords, StartAndZeroBaseRecordsAreSkipped) {
  struct Case {
    const char* name;
    std::string record;
  };
  const Case cases[] = {
      {"03 start segment", ":0400100300001234B3\n"}, {"05 start linear", ":04001005DEADBEEF00\n"},
      {"02 base zero", ":020010020000FC\n"},         {"04 base zero", ":020010040000FA\n"},
      {"04 with count 0", ":00001004EC\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordsOutcome outcome = readRecordsFrom(c.record + record1234At0 + endRecord);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(bytesAt(outcome.image, 0, 4), bytes1234);
    EXPECT_EQ(countNonZero(outcome.image), 4);
  }
}

TEST(HexRecords, OtherRecordTypesFollowTheSameFieldRules) {
  struct Case {
    const char* name;
    std::string record;
    const char* message;
  };
  const Case cases[] = {
      {"03 one pair short", ":0400000300001234\n", "Check sum was not found.\n"},
      {"05 two pairs short", ":04000005DEADBE\n", "Line terminated at wrong point.\n"},
      {"04 data 0x", ":02000004000x00\n", "Line terminated at wrong point.\n"},
      {"02 base 0x1000", ":020000021000EC\n", "Extended address is not supported.\n"},
      {"04 base 0x0001", ":020000040001F9\n", "Extended address is not supported.\n"},
      {"06", ":0000000600\n", "Unknown record type.\n"},
      {"FF", ":000000FF01\n", "Unknown record type.\n"},
      {"10", ":00000010F0\n", "Unknown record type.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordsOutcome outcome = readRecordsFrom(c.record + record1234At0 + endRecord);
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, c.message);
    EXPECT_EQ(countNonZero(outcome.image), 0);
  }
}

TEST(HexImage, AllocatedImagesAreZeroFilled) {
  for (int size : {16, smallImage, 0xF800}) {
    SCOPED_TRACE(size);
    {
      // Leave dirty memory behind for the next allocation of the same size to reuse.
      MemoryImage dirty = allocateMemory(size);
      ASSERT_TRUE(dirty);
      std::fill(dirty.get(), dirty.get() + size, std::uint8_t{0xA5});
    }
    testing::internal::CaptureStderr();
    MemoryImage image = allocateMemory(size);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(image);
    EXPECT_TRUE(
        std::all_of(image.get(), image.get() + size, [](std::uint8_t b) { return b == 0; }));
  }
}

#if defined(__SANITIZE_ADDRESS__)
#define KILNLOAD_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KILNLOAD_ADDRESS_SANITIZER 1
#endif
#endif

TEST(HexImage, ExhaustedHeapIsReportedOnStandardError) {
#ifdef KILNLOAD_ADDRESS_SANITIZER
  GTEST_SKIP() << "the sanitizer's allocator aborts instead of failing the allocation";
#endif
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A ceiling on the address space far below the request makes the heap refuse it.
    dup2(pipeEnds[1], STDERR_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    const rlimit limit{256L << 20, 256L << 20};
    if (setrlimit(RLIMIT_AS, &limit) != 0)
      _exit(3);
    const MemoryImage image = allocateMemory(INT_MAX);
    _exit(image ? 1 : 0);
  }
  close(pipeEnds[1]);
  std::string err;
  char chunk[256];
  ssize_t got = 0;
  while ((got = read(pipeEnds[0], chunk, sizeof chunk)) > 0)
    err.append(chunk, static_cast<std::size_t>(got));
  close(pipeEnds[0]);
  EXPECT_EQ(waitProcess(child), 0);
  EXPECT_EQ(err, "Could not allocate buffer memory.\n");
}

}  // namespace
