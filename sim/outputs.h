// The files kilnload-sim writes or makes: the link to its terminal, the trace of the line and the
// dumps of the chip's memories.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

// The files the chip writes or makes; null for none. No two name the same file.
struct OutputPaths {
  const char* link = nullptr;     // a symbolic link to the terminal
  const char* trace = nullptr;    // the log of the line
  const char* program = nullptr;  // program memory, written as Intel HEX when a session ends
  const char* data = nullptr;     // data memory, likewise
};

// Returns whether each dump of outputs can be opened for writing, after a message when one cannot;
// leaves no file behind that was not there before, and empties none.
[[nodiscard]] bool canWriteDumps(const OutputPaths& outputs);

// Writes memory as an Intel HEX dump to a new file at path, nothing when path is null; returns
// false after a message when it could not be written.
[[nodiscard]] bool dumpMemory(const char* path, const std::vector<std::uint8_t>& memory);

// Returns whether all that went to trace, if there is one, reached the file at path; false after a
// message when anything did not.
[[nodiscard]] bool traceWritten(FILE* trace, const char* path);
