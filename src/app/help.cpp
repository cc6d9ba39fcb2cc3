#include "app/help.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

void printFullHelp() {
  fputs(
      "Usage: kilnload [-p device] [-c] [-a] [-w hex-file] [-e hex-file] [-v]\n"
      "                [--enter=SEQUENCE] [--exit=SEQUENCE] [--ignore-checksums]\n"
      "       kilnload -h | --help | --version\n"
      "Erases and writes a microcontroller's program and data memory through its serial\n"
      "download loader at 9600 baud, 8N1. After the identification the actions run in this\n"
      "order, whatever the order of the options: -c, -a, -w, -e.\n"
      "\n"
      "Options:\n"
      "  -p DEVICE           the serial device (default /dev/ttyS0)\n"
      "  -c                  erase program memory\n"
      "  -a                  erase program and data memory\n"
      "  -w HEX-FILE         write program memory from an Intel HEX file\n"
      "  -e HEX-FILE         write data memory from an Intel HEX file\n"
      "  -v                  print the version line once the port is open; alone, only check\n"
      "                      that the chip answers\n"
      "  --enter=SEQUENCE    put the chip into its loader by DTR and RTS once the port is open\n"
      "  --exit=SEQUENCE     start the chip's program by DTR and RTS after the last action,\n"
      "                      when every action succeeded\n"
      "  --ignore-checksums  write records whose checksum does not match, as they read\n"
      "  -h                  print the short usage text and exit with status 1\n"
      "  --help              print this help and exit\n"
      "  --version           print the version line and exit\n"
      "\n"
      "A SEQUENCE is steps parted by commas: dtr+ or rts+ asserts that line, dtr- or rts-\n"
      "releases it, a number waits that many milliseconds (1 to 10000); a step without a\n"
      "wait before it follows the step before at once. \"default\" stands for the usual\n"
      "circuit, DTR to the reset pin and RTS to the download pin, each pin low while its line\n"
      "is asserted:\n"
      "    --enter=default     dtr+,rts+,50,dtr-,100,rts-\n"
      "    --exit=default      rts-,dtr+,50,dtr-\n"
      "\n"
      "Exit status:\n"
      "  0     every requested action succeeded, or only help was asked for\n"
      "  1     -h; a faulty command line; the device could not be opened, locked or set up,\n"
      "        or its control lines set; the chip was silent or not supported; an action\n"
      "        failed\n"
      "  255   every action succeeded, but the device would not close\n"
      "  128+N ended by signal N after \"Interrupted.\" (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP)\n"
      "\n"
      "Every message, and what to do about it: man kilnload\n",
      stdout);
}

namespace {

// Writes the cause line for a port that the user may not open: the group that may, when one
// may, since joining it is the usual fix.
void explainPermission(const char* path) {
  struct stat node {};
  // kilnload has one thread, so the group entry's static storage is its own.
  // cppcheck-suppress getgrgidCalled
  const group* owners = stat(path, &node) == 0 ? getgrgid(node.st_gid) : nullptr;
  if (owners != nullptr && (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
    fprintf(stderr,
            "Permission denied: %s belongs to the group %s, and you are not in it: "
            "sudo usermod -aG %s \"$USER\", then log in again.\n",
            path, owners->gr_name, owners->gr_name);
  } else {
    fprintf(stderr, "Permission denied: only its owner may open %s.\n", path);
  }
}

}  // namespace

void explainOpenFailure(const char* path, int cause) {
  if (isatty(STDERR_FILENO) == 0)
    return;
  if (cause == EACCES || cause == EPERM)
    explainPermission(path);
  else if (cause == EWOULDBLOCK || cause == EBUSY)
    fprintf(stderr, "In use: another program holds %s (fuser -v %s names it).\n", path, path);
  else if (cause == ENOENT || cause == ENXIO || cause == ENODEV)
    fputs(
        "No such device: is the adapter plugged in? ls /dev/serial/by-id/ lists those that are.\n",
        stderr);
  else if (cause == ENOTTY)
    fprintf(stderr, "Not a terminal: %s is not a serial device.\n", path);
  else
    fprintf(stderr, "%s.\n", strerror(cause));
}
