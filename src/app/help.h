// What kilnload tells a person beyond its fixed messages: the whole help, and why a port did not
// open.
#pragma once

// Writes the whole help to standard output: every option, short and long, the sequences for the
// control lines, and what each exit status means.
void printFullHelp();

// When standard error is a terminal, writes a line there that names why path did not open,
// cause being the errno openSerialPort left, and what to do for the usual causes; writes
// nothing otherwise, so that a script sees only the line that says it did not open.
void explainOpenFailure(const char* path, int cause);
