#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

std::string scratchDir() {
  // A plain array, so that it still holds the name when the folder is removed at exit.
  static char dir[PATH_MAX] = {};
  if (dir[0] == '\0') {
    // Each folder is named after its process; one whose process has gone was left by a kill.
    std::error_code ignored;
    for (const auto& left : std::filesystem::directory_iterator(KILNLOAD_SCRATCH, ignored)) {
      if (kill(pid_t(strtol(left.path().filename().c_str(), nullptr, 10)), 0) != 0 &&
          errno == ESRCH)
        std::filesystem::remove_all(left, ignored);
    }
    snprintf(dir, sizeof dir, "%s/%d", KILNLOAD_SCRATCH, int(getpid()));
    std::filesystem::remove_all(dir, ignored);
    if (std::filesystem::create_directories(dir, ignored))
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
  const char* wrapper = getenv("KILNLOAD_WRAPPER");
  std::string quoted = wrapper != nullptr && wrapped ? wrapper + std::string(" ") : "";
  for (const char c : line)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  const std::string command =
      "cd " + scratchDir() + " && timeout 60 sh -c '" + quoted + "' </dev/null >out 2>err";
  const int waited = system(command.c_str());  // NOLINT(cert-env33-c): as a user's shell runs it
  const int status = WIFEXITED(waited) ? WEXITSTATUS(waited) : 128 + WTERMSIG(waited);
  return {status, readFileText(scratchDir() + "/out"), readFileText(scratchDir() + "/err")};
}
