// The command line and the run sequence of kilnload.
#pragma once

// Writes the usage text to standard output.
void print_help();

// Parses the whole command line, then runs the requested actions in their fixed order, every hex
// image read before the chip's memory is touched; returns the exit status: 0 on success or after
// --help or --version, 1 for -h or a faulty command line (nothing opened) or when the run could
// not start or an action failed, 255 when the port would not close. A SIGINT, SIGTERM or SIGHUP
// ends the run after the exchange in flight, and the process by that signal.
[[nodiscard]] int runKilnload(int argc, char** argv);
