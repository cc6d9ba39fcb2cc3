// The pseudo-terminal the stand-in chip answers on: opening it, seeing hosts open and close it,
// and the symbolic link that gives it a fixed name.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// The pseudo-terminal and the watch that tells when a host opens or closes it.
struct ChipLine {
  int master = -1;   // the controlling side, non-blocking, where the chip reads and answers
  int watch = -1;    // a non-blocking inotify descriptor watching the terminal side
  std::string path;  // the terminal side, for the host
};

// What a host did to the terminal side.
enum class HostEvent : std::uint8_t { opened, closed };

// Opens a pseudo-terminal and puts a watch on its terminal side; returns false after a message
// when either could not be had. Both stay open until the process ends.
[[nodiscard]] bool openChipLine(ChipLine& line);

// Appends the opens and closes of the terminal that are waiting on watch to events, in the order
// they happened; returns false after a message when the watch could not be read.
[[nodiscard]] bool readHostEventsInto(int watch, std::vector<HostEvent>& events);

// Makes a symbolic link to terminal at path. Only a link an earlier run left is replaced: one into
// the folder of terminal whose terminal has gone. Returns false after a message, leaving path as
// it was, when anything else stands there or the link could not be made.
[[nodiscard]] bool linkTerminalAt(const char* path, const std::string& terminal);

// Removes the link at path while it still points at terminal: one put there since is not ours.
void removeLinkAt(const char* path, const std::string& terminal);

// What one sleep on the line brought.
struct LineEvents {
  bool lineReady = false;  // in a session: the terminal has bytes or has hung up
  bool timedOut = false;   // the time-out passed with nothing on the line or the watch
};

// Sleeps until a host opens or closes the terminal, or, in a session, sends bytes or leaves, or a
// signal blocked outside the sleep comes, or timeout passes when it is not null; returns false
// after a message when the wait failed.
[[nodiscard]] bool waitOnLine(const ChipLine& line, bool inSession, const timespec* timeout,
                              LineEvents& events);
