#include "pty.h"

#include "serial/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::vector<char*> argvOf(const std::vector<std::string>& argv) {
  std::vector<char*> result(argv.size() + 1, nullptr);
  std::transform(argv.begin(), argv.end(), result.begin(),
                 [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
  return result;
}

// The words of KILNLOAD_WRAPPER, split on white space, put in front of every program that
// startProgram starts, so that a whole test run can go through a checker such as valgrind; none
// when it is unset.
std::vector<std::string> wrapperWords() {
  std::vector<std::string> words;
  const char* wrapper = getenv("KILNLOAD_WRAPPER");
  if (wrapper == nullptr)
    return words;
  std::istringstream text(wrapper);
  std::string word;
  while (text >> word)
    words.push_back(word);
  return words;
}

}  // namespace

SilentLine openSilentLine() {
  SilentLine line;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0)
    return line;
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
    close(master);
    return line;
  }
  line.master = master;
  line.path = ptsname(master);
  return line;
}

PortOnLine openPortOnLine() {
  PortOnLine opened;
  opened.line = openSilentLine();
  if (opened.line.master >= 0)
    opened.port = openSerialPort(opened.line.path.c_str());
  return opened;
}

void closePortOnLine(PortOnLine& opened) {
  if (opened.port >= 0)
    (void)closeSerialPort(opened.port);
  if (opened.line.master >= 0)
    close(opened.line.master);
}

int waitProcess(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return -1;
  }
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

RunResult runProgram(const std::vector<std::string>& argv) {
  RunResult result;
  const StartedProgram program = startProgram(argv);
  if (program.pid < 0)
    return result;
  pollfd fds[2] = {{program.out, POLLIN, 0}, {program.err, POLLIN, 0}};
  std::string* into[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR)
      break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  result.status = waitProcess(program.pid);
  return result;
}

SimProcess startSim(const std::string& simBin, const std::vector<std::string>& args) {
  SimProcess sim;
  int out[2];
  if (pipe(out) != 0)
    return sim;
  std::vector<std::string> argv{simBin};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    std::vector<char*> cargs = argvOf(argv);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  close(out[1]);
  // The path comes on the first line; the rest of the output is not waited for.
  std::string line;
  char c = 0;
  while (read(out[0], &c, 1) == 1 && c != '\n')
    line.push_back(c);
  close(out[0]);
  if (pid < 0 || line.empty()) {
    if (pid > 0)
      waitProcess(pid);
    return sim;
  }
  sim.pid = pid;
  sim.path = line;
  return sim;
}

std::string readFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string makeTempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kilnload-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr)
    return {};
  return pattern;
}

StartedProgram startProgram(const std::vector<std::string>& argv) {
  StartedProgram program;
  int out[2];
  int err[2];
  if (pipe(out) != 0)
    return program;
  if (pipe(err) != 0) {
    close(out[0]);
    close(out[1]);
    return program;
  }
  std::vector<std::string> command = wrapperWords();
  command.insert(command.end(), argv.begin(), argv.end());
  std::vector<char*> args = argvOf(command);
  const pid_t pid = fork();
  if (pid == 0) {
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    // By name from PATH when a wrapper starts with one; the programs themselves come as paths.
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return program;
  }
  program.pid = pid;
  program.out = out[0];
  program.err = err[0];
  return program;
}

std::string readUntil(int fd, const std::string& text) {
  std::string seen;
  char buffer[256];
  while (text.empty() || seen.find(text) == std::string::npos) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0)
      break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return seen;
}

std::string readToEnd(int fd) {
  return readUntil(fd, "");
}
