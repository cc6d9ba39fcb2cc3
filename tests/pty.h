// Pseudo-terminals and child processes for tests that drive the real binaries.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A pseudo-terminal whose far end nobody answers: the test holds the controlling side.
struct SilentLine {
  int master = -1;
  std::string path;
};

// Opens a pseudo-terminal; returns its controlling side and the path of its terminal side, with
// master -1 when none could be had.
[[nodiscard]] SilentLine openSilentLine();

// A silent line with the serial port opened on its terminal side as the tool opens it: the test
// plays the chip on the controlling side.
struct PortOnLine {
  SilentLine line;
  int port = -1;
};

// Opens a silent line and the serial port on it; port -1 when either could not be opened.
[[nodiscard]] PortOnLine openPortOnLine();

// Closes the port and the line's controlling side, each unless it is -1.
void closePortOnLine(PortOnLine& opened);

// What a finished process left.
struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs argv to its end with empty standard input, behind the white-space separated words of the
// environment variable KILNLOAD_WRAPPER when that is set; returns its status and both streams.
[[nodiscard]] RunResult runProgram(const std::vector<std::string>& argv);

// A kilnload-sim started in the background.
struct SimProcess {
  pid_t pid = -1;
  std::string path;  // its terminal side
};

// Starts simBin with args and reads the terminal path it prints; pid -1 when it did not start.
[[nodiscard]] SimProcess startSim(const std::string& simBin, const std::vector<std::string>& args);

// Waits for the process to end; returns its exit status, or 128 + signal.
int waitProcess(pid_t pid);

// Returns the whole content of the file at path, empty when it cannot be read.
[[nodiscard]] std::string readFileText(const std::string& path);

// Returns a fresh empty directory under the temporary directory.
[[nodiscard]] std::string makeTempDir();

// A program started in the background, its standard output and error readable through pipes.
struct StartedProgram {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

// Starts argv with empty standard input, behind the words of the environment variable
// KILNLOAD_WRAPPER when that is set; pid -1 when it could not be started.
[[nodiscard]] StartedProgram startProgram(const std::vector<std::string>& argv);

// Reads from fd until text has appeared in what was read (never, for an empty text) or the
// stream ends; returns all read.
std::string readUntil(int fd, const std::string& text);

// Reads fd to its end; returns all read.
std::string readToEnd(int fd);
