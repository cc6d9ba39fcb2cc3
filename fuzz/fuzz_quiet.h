// Keeps the messages of the code under test off the terminal while libFuzzer still reports.
#pragma once

#include <vector>

// Puts -close_fd_mask=3 in front of the caller's own flags, so that a later -close_fd_mask=0 can
// bring the messages back when a finding is replayed. libFuzzer then sends standard output and
// standard error to /dev/null with dup2 and keeps a copy of the real standard error for its own
// and the sanitizers' reports; a plain dup2 here would silence those reports as well.
inline void quietOutputOf(int* argc, char*** argv) {
  static char closeOutputs[] = "-close_fd_mask=3";
  static std::vector<char*> args;
  args.assign(*argv, *argv + *argc);
  args.insert(args.begin() + 1, closeOutputs);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size()) - 1;
  *argv = args.data();
}
