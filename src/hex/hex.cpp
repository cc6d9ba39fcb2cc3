#include "hex/hex.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "serial/serial.h"

namespace {

// The Intel HEX record types this reader gives a meaning to.
enum RecordType : unsigned long {
  dataRecord = 0,
  endRecord = 1,
  extendedSegmentAddress = 2,
  extendedLinearAddress = 4,
  lastKnownType = 5,
};

// The next character of file, or EOF once a stop signal has come: an image that never ends
// (/dev/zero, a pipe that keeps on) must not hold the run.
int nextCharFrom(FILE* file) {
  return stopSignal != 0 ? EOF : fgetc(file);
}

// Writes message to standard error, unless a stop signal ended the read: then the file is not
// to blame.
void reportFault(const char* message) {
  if (stopSignal == 0)
    fputs(message, stderr);
}

int hexDigitValue(int c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Scans one field of at most width hexadecimal digits after skipping white space, line ends
// included, and leaves the character that ended it unread; returns false when the field holds no
// digit, or begins "0x", which would otherwise read as the field 0 with the rest left over. No
// record needs a sign or a prefix, and a file that has one is not what its author thinks it is.
[[nodiscard]] bool scanHexFieldFrom(FILE* file, int width, unsigned long& value) {
  int c = nextCharFrom(file);
  while (c != EOF && std::isspace(c))
    c = nextCharFrom(file);
  value = 0;
  int digits = 0;
  while (digits < width && hexDigitValue(c) >= 0) {
    value = value * 16 + static_cast<unsigned long>(hexDigitValue(c));
    ++digits;
    c = nextCharFrom(file);
  }
  if (digits == 1 && value == 0 && (c == 'x' || c == 'X'))
    return false;
  if (c != EOF)
    ungetc(c, file);
  return digits > 0;
}

// Reads the count data fields of a record into bytes, then its checksum field, which must make
// sum (of the fields before the data) and the data add up to 0 modulo 256 unless checkSums is
// false; returns false after a message when a field is missing or the sum is wrong. With no
// read-back from the chip, the checksum is the one check that the image is the one that was built.
[[nodiscard]] bool readRecordBodyInto(FILE* file, unsigned long count, std::uint8_t* bytes,
                                      unsigned long sum, bool checkSums) {
  unsigned long field = 0;
  for (unsigned long i = 0; i < count; ++i) {
    if (!scanHexFieldFrom(file, 2, field)) {
      reportFault("Line terminated at wrong point.\n");
      return false;
    }
    bytes[i] = static_cast<std::uint8_t>(field);
    sum += field;
  }
  if (!scanHexFieldFrom(file, 2, field)) {
    reportFault("Check sum was not found.\n");
    return false;
  }
  if (checkSums && (sum + field) % 256 != 0) {
    reportFault("Check sum does not match.\n");
    return false;
  }
  return true;
}

// Closes the file of a FilePointer.
struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

// A FILE that is closed when it goes out of scope.
using FilePointer = std::unique_ptr<FILE, FileCloser>;

}  // namespace

MemoryImage allocateMemory(int size) {
  return MemoryImage(static_cast<std::size_t>(size));
}

int readHexFile(const char* path, int size, std::uint8_t* image, bool checkSums) {
  printf("Read hexfile - %s.\n", path);
  const FilePointer file(fopen(path, "r"));
  // A directory opens for reading on some hosts and then reads as nothing: it is no file to read.
  struct stat info {};
  const bool isDirectory = file && fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode);
  if (!file || isDirectory) {
    // An open of a FIFO that no writer has opened yet gives way to a stop signal too.
    if (stopSignal == 0)
      fprintf(stderr, "Could not open hexfile - %s.\n", path);
    return 0;
  }
  if (readFromHexInto(file.get(), size, image, checkSums) != 0) {
    if (stopSignal == 0)
      fputs("Hex read error.\n", stdout);
    return 0;
  }
  return 1;
}

int readFromHexInto(FILE* file, int size, std::uint8_t* image, bool checkSums) {
  for (;;) {
    int c = nextCharFrom(file);
    while (c != EOF && c != ':')
      c = nextCharFrom(file);
    if (c == EOF) {
      reportFault("File ended while reading.\n");
      return -1;
    }
    unsigned long count = 0;
    unsigned long address = 0;
    unsigned long type = 0;
    if (!scanHexFieldFrom(file, 2, count) || !scanHexFieldFrom(file, 4, address) ||
        !scanHexFieldFrom(file, 2, type)) {
      reportFault("Could not read record data.\n");
      return -1;
    }
    if (type == endRecord)
      return 0;
    const unsigned long sum = count + (address >> 8) + (address & 0xFF) + type;
    if (type == dataRecord) {
      if (address + count > static_cast<unsigned long>(size)) {
        reportFault("Out of Memory.\n");
        return -1;
      }
      if (!readRecordBodyInto(file, count, image + address, sum, checkSums))
        return -1;
      continue;
    }
    std::uint8_t body[0x100];
    if (!readRecordBodyInto(file, count, body, sum, checkSums))
      return -1;
    if (type > lastKnownType) {
      reportFault("Unknown record type.\n");
      return -1;
    }
    // Data after a record that moves the base would not lie at its own 16-bit address.
    const bool movesBase = type == extendedSegmentAddress || type == extendedLinearAddress;
    if (movesBase && std::any_of(body, body + count, [](std::uint8_t b) { return b != 0; })) {
      reportFault("Extended address is not supported.\n");
      return -1;
    }
  }
}
