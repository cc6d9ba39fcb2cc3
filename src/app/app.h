// The command line and the run sequence of kilnload.
#pragma once

// Writes the usage text to standard output.
void print_help();

// Parses the command line, runs the requested actions in their fixed order and returns the exit
// status: 0 on success, 1 when the run could not start or an action failed, 255 when the port
// would not close.
[[nodiscard]] int runKilnload(int argc, char** argv);
