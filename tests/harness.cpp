#include "harness.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

std::string scratchDir() {
  // A plain array, so that it still holds the name when the folder is removed at exit.
  static char dir[PATH_MAX] = {};
  if (dir[0] == '\0') {
    snprintf(dir, sizeof dir, "%s/kilnload-test-XXXXXX",
             std::filesystem::temp_directory_path().c_str());
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
  static std::atomic<int> runs = 0;
  const std::string out = scratchDir() + "/out" + std::to_string(++runs), err = out + ".err";
  const char* wrapper = getenv("KILNLOAD_WRAPPER");
  std::string wrappedLine = line;
  if (wrapper != nullptr && wrapped)
    wrappedLine.insert(std::min(line.find("kilnload"), line.size()), wrapper + std::string(" "));
  const std::string command =
      "cd " + scratchDir() + " && (" + wrappedLine + ") </dev/null >" + out + " 2>" + err;
  const int waited = system(command.c_str());  // NOLINT(cert-env33-c): as a user's shell runs it
  const int status = WIFEXITED(waited) ? WEXITSTATUS(waited) : 128 + WTERMSIG(waited);
  return {status, readFileText(out), readFileText(err)};
}
