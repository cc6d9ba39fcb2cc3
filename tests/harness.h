// Scratch files, pseudo-terminals and child processes for tests that drive the real line.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Returns a folder of this test process's own, removed with all it holds when the process ends.
[[nodiscard]] std::string scratchDir();

// Writes text to a new file in the scratch folder; returns its path.
std::string writeScratchFile(const std::string& text);

// Returns the whole content of the file at path, empty when it cannot be read.
[[nodiscard]] std::string readFileText(const std::string& path);

// Opens a pseudo-terminal whose far end the caller plays; returns its controlling side and sets
// path to its terminal side, or returns -1.
[[nodiscard]] int openLineInto(std::string& path);

struct RunResult {
  int status = -1;  // the exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

// Runs the shell command line in the folder dir, behind the words of KILNLOAD_WRAPPER when that
// is set, with standard input from /dev/null; returns its status and both its streams.
[[nodiscard]] RunResult runIn(const std::string& dir, const std::string& line);

// Starts argv with its standard output into a pipe and reads the first line it prints into
// line; returns its pid, or -1 when it did not start or printed no line.
[[nodiscard]] pid_t startReadingLineInto(const std::vector<std::string>& argv, std::string& line);

// Waits for pid to end; returns its exit status, or 128 + the signal that ended it.
int waitProcess(pid_t pid);
