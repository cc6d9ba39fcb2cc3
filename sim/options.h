// The command line of kilnload-sim.
#pragma once

#include <cstdio>

#include "chip.h"
#include "outputs.h"
#include "wire.h"

// How host sessions are served and what ends them.
struct SessionRules {
  bool once = false;          // serve only the first host session
  long exitAfterSeconds = 0;  // give up when no session begins within this time, 0 for never
};

struct SimOptions {
  int device = 0;  // the row of devs the chip is
  ChipFaults faults;
  LineFaults lineFaults;
  OutputPaths outputs;
  bool lineRate = false;      // pace the line as a 9600-baud wire
  long adapterLatencyMs = 0;  // hold each reply back this long, as a USB adapter does
  SessionRules sessions;
  bool helpWanted = false;
};

// Fills options from the command line; returns false after a message when it is wrong.
[[nodiscard]] bool parseSimOptionsInto(int argc, char** argv, SimOptions& options);

// Writes the summary of the options to file.
void printSimUsage(FILE* file);
