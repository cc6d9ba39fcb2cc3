#include "harness.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

int statusOf(int waited) {
  return WIFEXITED(waited) ? WEXITSTATUS(waited) : 128 + WTERMSIG(waited);
}

}  // namespace

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

std::string writeScratchFile(const std::string& text) {
  static int written = 0;
  const std::string path = scratchDir() + "/file" + std::to_string(++written) + ".hex";
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string readFileText(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

int openLineInto(std::string& path) {
  // Children must not hold it open: a test that hangs the line up closes it for everyone.
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 && ptsname(master) != nullptr) {
    path = ptsname(master);
    return master;
  }
  if (master >= 0)
    close(master);
  return -1;
}

RunResult runIn(const std::string& dir, const std::string& line) {
  static std::atomic<int> runs = 0;
  const std::string out = scratchDir() + "/out" + std::to_string(++runs), err = out + ".err";
  const char* wrapper = getenv("KILNLOAD_WRAPPER");
  const std::string command = "cd " + dir + " && " + (wrapper != nullptr ? wrapper : "") + " " +
                              line + " </dev/null >" + out + " 2>" + err;
  return {statusOf(system(command.c_str())), readFileText(out), readFileText(err)};
}

pid_t startReadingLineInto(const std::vector<std::string>& argv, std::string& line) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0)
    return -1;
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_adddup2(&io, pipeEnds[1], 1);
  posix_spawn_file_actions_addclose(&io, pipeEnds[0]);
  pid_t pid = -1;
  posix_spawn(&pid, args[0], &io, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&io);
  close(pipeEnds[1]);
  line.clear();
  for (char c = 0; read(pipeEnds[0], &c, 1) == 1 && c != '\n';)
    line.push_back(c);
  close(pipeEnds[0]);
  if (line.empty() && pid > 0)
    waitProcess(pid);
  return line.empty() ? -1 : pid;
}

int waitProcess(pid_t pid) {
  int waited = 0;
  while (waitpid(pid, &waited, 0) < 0) {
    if (errno != EINTR)
      return -1;
  }
  return statusOf(waited);
}
