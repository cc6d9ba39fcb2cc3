// kilnload-sim on its own, run by name from a shell as a user runs it, each run in a folder of its
// own in the scratch folder.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "harness.h"

namespace {

const std::string end = ":00000001FF\n", ok842 = "OK: ADI 842 KS 2.3\n",
                  allErased = "Program and data memory erased.\n",
                  failedErase = "Fail to erase program and data memory.\n";

// Runs line in a new, empty folder; returns its output, then its error output.
std::string runAfresh(const std::string& line) {
  const RunResult run = runInScratchDir("rm -rf c && mkdir c && cd c && " + line, false);
  return run.out + run.err;
}

// A wrong command line, two outputs that name one file among them, is refused with status 2, its
// message and the usage text on standard error; a path the chip cannot use, with status 1 and its
// message alone: a dump's or the trace's that cannot be opened, or a link's where a file stands, or
// a link that is not one an earlier run left, to a terminal that has gone. Either way it makes no
// link and no trace, and leaves every file as it found it.
TEST(Sim, RefusesAStartItCannotServe) {
  const std::string usage = runAfresh("kilnload-sim --help");
  const std::tuple<std::string, int, std::string> rows[] = {
      {"--exit-after 0", 2, "'0' is not a number of seconds"},
      {"junk", 2, "unexpected argument 'junk'"},
      {"--reply 5", 2, "'5' is not N:BYTES"},
      {"--reply 1:100", 2, "'1:100' is not N:BYTES"},
      {"--part 999", 2, "unknown part '999' (814 or 842)"},
      {"--ignore 1a", 2, "'1a' is not a packet count"},
      {"--adapter-latency 60001", 2, "'60001' is not a number of milliseconds"},
      {"--late 2:60001", 2, "'2:60001' is not N:MS"},
      {"--signal 1:BOGUS:p", 2, "'1:BOGUS:p' is not N:SIGNAL:FILE"},
      {"--identity 'a\\q'", 2, R"('a\q' is not a text with \xHH, \r, \n or \\ escapes)"},
      {"--stale 100", 2, "'100' is not a byte in hex"},
      {"--bogus", 2, "unrecognized option '--bogus'"},
      {"--dump-data ./t", 2, "--trace and --dump-data both name './t'"},
      {"--trace none/t", 1, "could not open none/t"},
      {"--dump-program k --dump-data none/d", 1, "could not open none/d"},
      {"--dump-program p --dump-data .", 1, "could not open ."},
      {"--link none/l", 1, "could not link none/l: No such file or directory"},
      {"--link k", 1, "will not replace k: not a link left by an earlier kilnload-sim"},
      {"--link pts", 1, "will not replace pts: not a link left by an earlier kilnload-sim"}};
  for (const auto& [args, status, message] : rows) {
    EXPECT_EQ(runAfresh("echo keep >k; ln -s /dev/pts/ptmx pts; kilnload-sim --exit-after 1 --link "
                        "l --trace t " +
                        args + " >/dev/null; echo $?; ls; cat k; readlink pts"),
              std::to_string(status) + "\nk\npts\nkeep\n/dev/pts/ptmx\nkilnload-sim: " + message +
                  "\n" + (status == 2 ? usage : ""))
        << args;
  }
}

// kilnload-sim serving hosts, each row named: a link an earlier run left is replaced, also with
// standard input closed, and removed at the end; a dump is written when a session ends or a signal
// stops the chip; host sessions are counted from their opens and closes.
TEST(Sim, ServesHostsUntilStopped) {
  using Row = std::tuple<std::string, std::string, std::string>;
  const auto stoppedBy = [](const std::string& stop) -> Row {
    return {"stopped by SIG" + stop,
            R"({ sh -c 'echo $$; exec kilnload-sim --link link --dump-data d'; echo $?; } |
               { read -r pid; read -r t; exec 3<>link; kilnload -v -p link >/dev/null; kill -)" +
                stop + " $pid; cat; }; test -L link || cat d",
            "0\n" + end};
  };
  const Row rows[] = {
      stoppedBy("INT"),
      stoppedBy("TERM"),
      stoppedBy("HUP"),
      {"link to a gone terminal replaced",
       R"(ln -s /dev/pts/9999 link; kilnload-sim --exit-after 1 --link link <&- >/dev/null;
           echo $?; test -L link || echo gone)",
       "3\ngone\n"},
      {"no session, no dump", "kilnload-sim --exit-after 1 --dump-data d >/dev/null; echo $?; ls",
       "3\n"},
      {"dump not written",
       "{ kilnload-sim --once --dump-data /dev/full; echo $? >&2; } | { read -r t; kilnload -p $t "
       "-v; }",
       "kilnload ver.0.1\n" + ok842 + "kilnload-sim: could not write /dev/full\n1\n"},
      {"trace not written",
       "{ kilnload-sim --once --trace /dev/full; echo $? >&2; } | { read -r t; kilnload -p $t "
       "-v; }",
       "kilnload ver.0.1\n" + ok842 + "kilnload-sim: could not write /dev/full\n1\n"},
      {"output's reader gone",
       "{ sleep 0.2; kilnload-sim --exit-after 1 --link l --trace t; echo $? >&2; } | true; ls",
       "t\n3\n"},
      {"stopped, dump not written",
       R"({ sh -c 'echo $$; exec kilnload-sim --dump-data /dev/full'; echo $?; } | { read -r pid;
           read -r t; exec 3<>$t; kilnload -v -p $t >/dev/null; kill $pid; cat; })",
       "1\nkilnload-sim: could not write /dev/full\n"},
      // The rows that hold the line on descriptor 3 end the chip by --exit-after, not --once: an
      // open that comes before the chip has woken for the one before it counts as the same host,
      // so the chip may take the next run for a new session.
      {"strays traced as they come",
       R"(kilnload-sim --exit-after 1 --trace t --double 1 | { read -r t; exec 3<>$t;
           printf x >&3; kilnload -p $t -c >/dev/null; printf x >&3; kilnload -p $t -c >/dev/null;
           grep -v '^< 41' t | head -n6; })",
       "? 78\n> 21 5A 00 A6\n> 07 0E 01 43 BC\n< 06\n< 06\n? 78\n"},
      {"stale byte after an open, traced at once",
       R"(kilnload-sim --stale 41 --exit-after 1 --trace t | { read -r t; exec 3<>$t;
           stty raw -echo <&3; timeout 5 head -c1 <&3; grep '^<' t; })",
       "A< 41\n"},
      {"-h is --help", "kilnload-sim -h >h; echo $?; kilnload-sim --help | cmp h - && head -n1 h",
       "0\nUsage: kilnload-sim [options]\n"},
      {"a session each", R"(kilnload-sim --nak 2 --adapter-latency 0 --late 1:0 --exit-after 1 |
           { read -r t; for i in $(seq 20); do kilnload -p $t -c -a; echo $?; done; } |
           sort | uniq -c)",
       "     20 1\n     20 " + failedErase + "     20 " + ok842 +
           "     20 Program memory erased.\n"},
      // While the chip is stopped, the first host adds to a request it left half sent, the next
      // opens and erases: the chip reads both hosts' bytes at once, and must still answer it.
      {"half-sent request forgotten",
       R"(sh -c 'printf "$$ "; exec kilnload-sim --nak 2 --exit-after 1' | { read -r s t;
           exec 3<>$t; stty raw -echo <&3; c='\7\16\1C\274'; printf "$c\7\16\1\370" >&3;
           head -c1 <&3 >/dev/null; kill -STOP $s; printf '\7\16' >&3; exec 3>&-; exec 4<>$t;
           printf $c >&4; kill -CONT $s; timeout 5 head -c1 <&4 | od -An -tx1;
           kilnload -p $t -a; kilnload -p $t -c -a; })",
       " 06\n" + ok842 + failedErase + ok842 + "Program memory erased.\n" + allErased},
      // Each run no sooner than its bytes at 9600 baud, its erases (20 ms) or blocks (2 ms) and
      // its replies held 5 ms allow: 41 bytes, 2 erases, 3 replies: 97 ms; 429 bytes, 16 blocks,
      // 17 replies: 563 ms.
      {"line rate", "printf ':FF000000" + std::string(510, '3') + R"(34\n:00000001FF\n' >1.hex;
           paced() { b=$1; shift; s=$(date +%s%N); kilnload -p $t "$@";
             [ $(($(date +%s%N) - s)) -ge $b ] && echo paced; }
           kilnload-sim --exit-after 1 --line-rate --adapter-latency 5 | { read -r t; exec 3<>$t;
             paced 97000000 -c -a; paced 563000000 -w 1.hex; })",
       ok842 + "Program memory erased.\n" + allErased + "paced\n" + ok842 +
           "Read hexfile - 1.hex.\n" + std::string(16, '.') +
           "\nProgram memory written.\npaced\n"}};
  for (const auto& [name, line, output] : rows)
    EXPECT_EQ(runAfresh(line), output) << name;
}

}  // namespace
