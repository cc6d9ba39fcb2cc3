// kilnload-sim on its own, run by name from a shell as a user runs it, in a scratch folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "harness.h"

namespace {

const std::string dir = scratchDir(), end = ":00000001FF\n", version = "kilnload ver.0.1\n",
                  ok842 = "OK: ADI 842 KS 2.3\n", erased = "Program memory erased.\n",
                  allErased = "Program and data memory erased.\n";

// kilnload-sim alone, each row a shell line and what it prints. --link replaces only a link to a
// terminal that has gone, and leaves all else as it stood, with standard input closed or not;
// --exit-after gives up on a host that never comes; a dump that cannot be written is reported;
// stray bytes are traced; a wrong command line is refused; -h is --help. Host sessions are
// counted from their opens and closes, so two that follow each other closely stay two, and a
// request the last one left half sent is forgotten.
TEST(Sim, EdgesOfTheStandInChip) {
  const std::string sim = "kilnload-sim --exit-after 1 --link link <&- >/dev/null; echo $?; ",
                    refused =
                        "kilnload-sim: will not replace link: not a link left by an earlier "
                        "kilnload-sim\n";
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {"echo keep >1.hex; ln -s 1.hex link; " + sim + "readlink link", "1\n1.hex\n", refused},
      {"ln -s /dev/pts/ptmx link; " + sim + "readlink link", "1\n/dev/pts/ptmx\n", refused},
      {"ln -s /dev/pts/9999 link; " + sim + "test -L link || echo gone", "3\ngone\n", ""},
      {"{ kilnload-sim --once --dump-data /dev/full; echo $? >&2; } | { read -r tty; kilnload -v "
       "-p $tty; }",
       version + ok842, "kilnload-sim: could not write /dev/full\n1\n"},
      {"kilnload-sim --once --trace t | { read -r tty; printf x >$tty; }; cat t", "? 78\n", ""},
      {"for a in '--exit-after 0' junk '--reply 5' '--reply 1:100' '--part 999' '--nak 0' "
       "'--adapter-latency 60001' '--trace none/t' '--link none/l'; do kilnload-sim "
       "--exit-after 1 $a 2>e; echo $?; head -n1 e; done",
       "2\nkilnload-sim: '0' is not a number of seconds\n2\nkilnload-sim: unexpected argument "
       "'junk'\n2\nkilnload-sim: '5' is not N:BYTE\n2\nkilnload-sim: '1:100' is not N:BYTE\n2\n"
       "kilnload-sim: unknown part '999' (814 or 842)\n2\nkilnload-sim: '0' is not a packet count\n"
       "2\nkilnload-sim: '60001' is not a number of milliseconds\n1\nkilnload-sim: could not open "
       "none/t\n1\nkilnload-sim: could not link none/l: No such file or directory\n",
       ""},
      {"{ sh -c 'echo $$; exec kilnload-sim --link link --dump-data d'; echo $?; } | { read -r "
       "pid; "
       "read -r tty; exec 3<>link; kilnload -v -p link >/dev/null; kill -INT $pid; cat; }; "
       "test -L link || echo gone; cat d",
       "0\ngone\n" + end, ""},
      {"kilnload-sim -h >h; echo $?; kilnload-sim --help | cmp h - && head -n1 h",
       "0\nUsage: kilnload-sim [options]\n", ""},
      {"echo keep >link; kilnload-sim --trace n --link link; echo $?; cat link; test -e n || echo "
       "no",
       "1\nkeep\nno\n", refused},
      {"kilnload-sim --nak 2 --exit-after 1 | { read -r t; for i in $(seq 20); do kilnload -p $t "
       "-c -a; echo $?; done; } | sort | uniq -c",
       "     20 1\n     20 Fail to erase program and data memory.\n     20 OK: ADI 842 KS 2.3\n"
       "     20 Program memory erased.\n",
       ""},
      {"sh -c 'printf \"$$ \"; exec kilnload-sim --nak 2 --exit-after 1' | { read -r s t; "
       "exec 3<>$t; stty raw -echo <&3; c='\\7\\16\\1C\\274'; printf \"$c\\7\\16\" >&3; head "
       "-c1 <&3 >/dev/null; kill -STOP $s; exec 3>&-; exec 4<>$t; kill -CONT $s; printf $c >&4; "
       "timeout 5 head -c1 <&4 | od -An -tx1; kilnload -p $t -a; kilnload -p $t -c -a; }",
       " 06\n" + ok842 + "Fail to erase program and data memory.\n" + ok842 + erased + allErased,
       ""}};
  for (const auto& [command, out, err] : rows) {
    std::filesystem::remove(dir + "/link");
    const RunResult run = runInScratchDir(command, false);
    EXPECT_EQ(run.out + run.err, out + err) << command;
  }
}

}  // namespace
