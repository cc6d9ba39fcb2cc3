// Scratch files, pseudo-terminals and child processes for tests that drive the real line.
#pragma once

#include <string>

// Returns a folder of this test process's own under the build folder, removed with all it holds
// when the process ends.
[[nodiscard]] std::string scratchDir();

// Returns the whole content of the file at path, empty when it cannot be read.
[[nodiscard]] std::string readFileText(const std::string& path);

// Opens a pseudo-terminal whose far end the caller plays; returns its controlling side, closed
// on exec, and sets path to its terminal side, or returns -1.
[[nodiscard]] int openLineInto(std::string& path);

struct RunResult {
  int status = -1;  // the exit status, or 128 + the signal that ended it; 124 when it hung
  std::string out, err;
};

// Runs the shell command line in the scratch folder with standard input from /dev/null and its
// output into the files "out" and "err" there, every kilnload it runs by name behind the words
// of KILNLOAD_WRAPPER if that is set and wrapped holds; kills it with all it started when it runs
// for a minute; returns its status and both its streams.
[[nodiscard]] RunResult runInScratchDir(const std::string& line, bool wrapped = true);
