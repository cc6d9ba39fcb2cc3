#include "outputs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string>

#include "chip.h"

namespace {

// Returns whether a file at path can be opened for writing, leaving none there that was not
// there before.
bool canWriteAt(const char* path) {
  const int created = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (created >= 0) {
    close(created);
    unlink(path);
    return true;
  }
  // Opened as it is, neither emptied nor waited on: a pipe with no reader is refused at once.
  const int found = errno == EEXIST ? open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
  if (found < 0)
    return false;
  close(found);
  return true;
}

}  // namespace

bool canWriteDumps(const OutputPaths& outputs) {
  const char* const dumps[] = {outputs.program, outputs.data};
  const auto* refused = std::find_if(std::begin(dumps), std::end(dumps), [](const char* dump) {
    return dump != nullptr && !canWriteAt(dump);
  });
  if (refused == std::end(dumps))
    return true;
  fprintf(stderr, "kilnload-sim: could not open %s\n", *refused);
  return false;
}

bool dumpMemory(const char* path, const std::vector<std::uint8_t>& memory) {
  if (path == nullptr)
    return true;
  FILE* file = fopen(path, "w");
  bool written = file != nullptr && fputs(hexDumpOf(memory).c_str(), file) != EOF;
  // A full disk may show only when the last of the buffer goes out, at the close.
  if (file != nullptr && fclose(file) != 0)
    written = false;
  if (!written)
    fprintf(stderr, "kilnload-sim: could not write %s\n", path);
  return written;
}

bool traceWritten(FILE* trace, const char* path) {
  // The stream's error flag stays up from the first write that failed.
  if (trace == nullptr || ferror(trace) == 0)
    return true;
  fprintf(stderr, "kilnload-sim: could not write %s\n", path);
  return false;
}
