#include "harness.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

std::string scratchDir() {
  // A plain array, so that it still holds the name when the folder is removed at exit.
  static char dir[PATH_MAX] = {};
  if (dir[0] == '\0') {
    snprintf(dir, sizeof dir, "%sXXXXXX", KILNLOAD_SCRATCH);
    if (mkdtemp(dir) != nullptr)
      atexit([] { std::filesystem::remove_all(dir); });
  }
  return dir;
}

std::string readFileText(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

int openLineInto(std::string& path) {
  // Children must not hold it open: a test that hangs the line up closes it for everyone.
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    return -1;
  path = ptsname(master);
  return master;
}

RunResult runInScratchDir(const std::string& line, bool wrapped) {
  // Every kilnload the line runs by name goes through a function that puts the wrapper first; the
  // wrapper finds the program itself on PATH, by the name a user types.
  const std::string wrapper = wrapped && getenv("KILNLOAD_WRAPPER") != nullptr
                                  ? "kilnload() { $KILNLOAD_WRAPPER kilnload \"$@\"; }; "
                                  : "";
  std::string quoted;
  for (const char c : wrapper + line)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  const std::string command =
      "cd " + scratchDir() + " && timeout -s KILL 60 sh -c '" + quoted + "' </dev/null >out 2>err";
  const int waited = system(command.c_str());  // NOLINT(cert-env33-c): as a user's shell runs it
  const int status = WIFEXITED(waited) ? WEXITSTATUS(waited) : 128 + WTERMSIG(waited);
  return {status, readFileText(scratchDir() + "/out"), readFileText(scratchDir() + "/err")};
}
