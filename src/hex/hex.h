// Memory images and their filling from Intel HEX files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

using MemoryImage = std::vector<std::uint8_t>;

// Returns a zero-filled image of size bytes. The largest memory is 62 KiB, which a process that
// has started always has room for, so there is no failure to report.
[[nodiscard]] MemoryImage allocateMemory(int size);

// Fills the size-byte image from the Intel HEX file at path, naming the file first; returns 1
// when the file was read up to its end record, 0 after its messages otherwise, or silently when a
// stop signal ended the read.
[[nodiscard]] int readHexFile(const char* path, int size, std::uint8_t* image, bool checkSums);

// Reads records from file into the size-byte image up to the end record, refusing a record whose
// checksum does not match unless checkSums is false; returns 0 there, -1 after a message at the
// first fault, or silently once a stop signal has come.
[[nodiscard]] int readFromHexInto(FILE* file, int size, std::uint8_t* image, bool checkSums);
