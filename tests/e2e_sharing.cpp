// One hub, many callers, end to end: commands started at the same moment
// against a hub paced like a real 9600 8N1 line take turns, and a port that
// another program holds is left alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

// The request codes in arrival order, e.g. "?Q GP SP ?Q GP SP".
std::string Codes(const RunResult& run) {
  std::string codes;
  for (const Request& request : run.requests)
    codes += (codes.empty() ? "" : " ") + request.bytes.substr(0, 2);
  return codes;
}

// The seconds a script printed as "LABEL <seconds>" (date +%s.%N).
double Stamp(const std::string& out, const std::string& label) {
  std::size_t at = out.find(label + " ");
  return at == std::string::npos ? -1 : std::atof(out.c_str() + at + label.size() + 1);
}

// Eight commands, each switching its own port off, all at once: every one
// takes effect, none prints a word, and each command's three requests reach
// the hub together.
TEST(Sharing, ConcurrentCommandsOnDifferentPortsAllTakeEffect) {
  RunResult run = RunScriptWithHubs({"--pace", "--states", "FF"},
                                    "for p in 1 2 3 4; do $NEXLI /S:ttyUSB0 0:$p & done;"
                                    "for p in 5 6 7 8; do $NEXLI /F:ttyUSB0 0:$p & done;"
                                    "wait; $NEXLI /G:ttyUSB0");
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "On=None Off=1,2,3,4,5,6,7,8\n");
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.requests.size(), 26u);
  std::string codes = Codes(run);
  for (int i = 0; i < 8; ++i) {
    std::string triple = codes.substr(static_cast<std::size_t>(i) * 9, 8);
    EXPECT_TRUE(triple == "?Q GP SP" || triple == "?Q GP FP") << codes;
  }
  EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), "00000000");
}

// Five toggles of ports 1 and 2 at once: an odd count leaves both on, so a
// single lost toggle shows.
TEST(Sharing, ConcurrentTogglesOfOnePortNetOut) {
  RunResult run = RunScriptWithHubs({"--pace"},
                                    "for i in 1 2 3 4 5; do $NEXLI /S:ttyUSB0 T:1,2 & done;"
                                    "wait; $NEXLI /G:ttyUSB0 -B");
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "00000011\n");
  EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), "03000000");
}

// Readers during a storm of writers see a hub, never an error: the scan too,
// though each set holds the hub longer than the scan gives other programs.
TEST(Sharing, ReadersDuringAStormOfSetsPrintNoError) {
  RunResult run = RunScriptWithHubs({"--hub", "0", "--pace", "--late", "600", "--states", "0F",
                                     "--hub", "3", "--pace", "--states", "01"},
                                    "for i in 1 2 3 4; do $NEXLI /S:ttyUSB0 T:8 & done; sleep 0.2;"
                                    "$NEXLI /G:ttyUSB0 > /tmp/g.$$ & $NEXLI /Q > /tmp/q.$$ & wait;"
                                    "cat /tmp/g.$$ /tmp/q.$$; rm -f /tmp/g.$$ /tmp/q.$$");
  SKIP_WITHOUT_SANDBOX(run);
  // Port 8 may be on or off for the reader, depending on its turn.
  const Strings expected_g = {"On=1,2,3,4 Off=5,6,7,8\n", "On=1,2,3,4,8 Off=5,6,7\n"};
  const Strings expected_q = {"ttyUSB0, 8 ports, On=1,2,3,4, Off=5,6,7,8, FW=101\n",
                              "ttyUSB0, 8 ports, On=1,2,3,4,8, Off=5,6,7, FW=101\n"};
  const std::string rest =
      "ttyUSB3, 8 ports, On=1, Off=2,3,4,5,6,7,8, FW=101\n"
      "2 Managed USB Hub(s) Found.\n";
  bool matched = false;
  for (const std::string& g : expected_g)
    for (const std::string& q : expected_q) matched = matched || run.out == g + q + rest;
  EXPECT_TRUE(matched) << run.out;
  EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), "0F000000");
}

// ttyUSB0 held with flock as a terminal program holds it, ttyUSB2 by a UUCP
// lock file of a live process; ttyUSB1's lock file names a process that has
// ended. Every command on a held port ends with its usual message when the
// 30 s wait runs out, and sends nothing (and, asked for its exit status, says
// the port failed); command-line errors come at once.
TEST(Sharing, AHeldPortIsLeftAloneAndEachCommandEndsWithItsMessage) {
  const std::string script =
      "(exec 9</dev/ttyUSB0; flock -x 9; exec sleep 100) & H=$!;"
      "sleep 100 & L=$!; printf '%10d\\n' $L > /run/lock/LCK..ttyUSB2;"
      "sh -c 'exit 0' & D=$!; wait $D; echo $D > /run/lock/LCK..ttyUSB1;"
      "sleep 0.3; o=$(mktemp -d); P=;"
      "echo T0 $(date +%s.%N);"
      "$NEXLI /G:ttyUSB0 -X; $NEXLI /S:ttyUSB0 password9 1:1; $NEXLI /W:ttyUSB0 a b;"
      "echo T1 $(date +%s.%N); n=0;"
      "for c in '/G:ttyUSB0' '/S:ttyUSB0 1:1' '/F:ttyUSB0 1:1' '/Q:ttyUSB0' '/P:ttyUSB0 new'"
      "         '/W:ttyUSB0' '/D:ttyUSB0' '/R:ttyUSB0' '/G:ttyUSB2' '/Q'; do"
      "  n=$((n+1)); $NEXLI $c > $o/$n & P=\"$P $!\"; done;"
      "for c in '/G:ttyUSB0 -J' '/Q -J'; do $NEXLI $c >> $o/j & P=\"$P $!\"; done;"
      "(NEXLI_EXIT_STATUS=1 $NEXLI /W:ttyUSB0; echo status $?) > $o/11 & P=\"$P $!\";"
      "$NEXLI /G:ttyUSB1; echo T2 $(date +%s.%N);"
      "wait $P; echo T3 $(date +%s.%N);"
      "for f in 1 2 3 4 5 6 7 8 9 10 11; do cat $o/$f; done; LC_ALL=C sort $o/j;"
      "kill $H $L; rm -r $o";
  RunResult run = RunScriptWithHubs({"--hub", "0", "--hub", "1", "--hub", "2"}, script);
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_NE(run.out.find("\nInvalid Command!\nInvalid Password!\nInvalid Command!\nT1 "),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\nOn=None Off=1,2,3,4,5,6,7,8\nT2 "), std::string::npos) << run.out;
  std::string held = run.out.substr(run.out.find("T3 "));
  EXPECT_EQ(held.substr(held.find('\n') + 1),
            "Query Err\n"
            "Query Err\n"
            "Query Err\n"
            "Query Err\n"
            "Change Password Error!\n"
            "Save Port States Error!\n"
            "Restore Default Error!\n"
            "Reset Hub Error!\n"
            "Query Err\n"
            "ttyUSB1, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n"
            "1 Managed USB Hub(s) Found.\n"
            "Save Port States Error!\n"
            "status 1\n"
            "Query Err\n"
            "[{\"device\":\"ttyUSB1\",\"ports\":8,\"firmware\":\"101\",\"on\":[],"
            "\"off\":[1,2,3,4,5,6,7,8],\"hex\":\"00000000\",\"binary\":\"00000000\"}]\n");
  // Usage errors at once; ttyUSB1's stale lock file costs nothing; the held
  // ports for the whole wait, and not much longer (the scan far less).
  EXPECT_LT(Stamp(run.out, "T1") - Stamp(run.out, "T0"), 5.0 + RunnerAllowance());
  EXPECT_LT(Stamp(run.out, "T2") - Stamp(run.out, "T1"), 5.0 + RunnerAllowance());
  double waited = Stamp(run.out, "T3") - Stamp(run.out, "T1");
  EXPECT_GE(waited, 29.9);
  EXPECT_LT(waited, 40.0 + RunnerAllowance());
  // Only ttyUSB1 was ever spoken to: by /G and by the two scans.
  for (const Request& request : run.requests) EXPECT_EQ(request.device, "ttyUSB1");
  EXPECT_EQ(Codes(run), "?Q GP ?Q GP ?Q GP");
}

// A scan holds each device only for its own query: a command on a hub
// during a scan with a silent device takes its turn at once.
TEST(Sharing, ACommandDuringAScanWaitsForNoOtherDevice) {
  RunResult run = RunScriptWithHubs({"--hub", "0", "--hub", "1", "--silent"},
                                    "$NEXLI /Q -F & sleep 0.5; echo T0 $(date +%s.%N);"
                                    " $NEXLI /S:ttyUSB0 1:2; echo T1 $(date +%s.%N); wait");
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_NE(run.out.find("0001ttyUSB0\n"), std::string::npos) << run.out;
  EXPECT_LT(Stamp(run.out, "T1") - Stamp(run.out, "T0"), 3.0 + RunnerAllowance());
  EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), "02000000");
}

// The scan does not wait 30 s for ports that other programs keep open: a
// live UUCP lock file is skipped at once, a flock after a short wait (one
// whose taker has ended, on ttyUSB1, and a live program's, on ttyUSB4), and
// no such device is written to; a freed port is found again.
TEST(Sharing, TheScanSkipsPortsThatOtherProgramsKeep) {
  const std::string script =
      "(exec 9</dev/ttyUSB1; flock -x 9; exec sleep 60) & H=$!;"
      "python3 -c 'import fcntl,os,time; fcntl.flock(os.open(\"/dev/ttyUSB4\",os.O_RDONLY"
      "|os.O_NOCTTY),fcntl.LOCK_EX); time.sleep(60)' & P=$!;"
      "sleep 60 & L=$!; echo $L > /run/lock/LCK..ttyUSB2; sleep 0.3;"
      "until ! flock -n /dev/ttyUSB4 true; do sleep 0.1; done;"
      "echo T0 $(date +%s.%N); $NEXLI /Q; echo T1 $(date +%s.%N); kill $H $P; wait $H $P;"
      "$NEXLI /Q -F; echo T2 $(date +%s.%N); kill $L";
  RunResult run = RunScriptWithHubs(
      {"--hub", "0", "--hub", "1", "--hub", "2", "--hub", "3", "--hub", "4"}, script);
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(std::regex_replace(run.out, std::regex("T[0-2] [0-9.]+\n"), ""),
            "ttyUSB0, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n"
            "ttyUSB3, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n"
            "2 Managed USB Hub(s) Found.\n"
            "0004ttyUSB0,1,3,4\n");
  // The flock's 1.5 s, not 30; the lock file nothing.
  double held = Stamp(run.out, "T1") - Stamp(run.out, "T0");
  EXPECT_GE(held, 1.5);
  EXPECT_LT(held, 5.0 + RunnerAllowance());
  EXPECT_LT(Stamp(run.out, "T2") - Stamp(run.out, "T1"), 1.5 + RunnerAllowance());
  EXPECT_EQ(RequestsByDevice(run),
            (std::map<std::string, std::string>{{"ttyUSB0", "?Q\rGP\r?Q\rGP\r"},
                                                {"ttyUSB1", "?Q\rGP\r"},
                                                {"ttyUSB3", "?Q\rGP\r?Q\rGP\r"},
                                                {"ttyUSB4", "?Q\rGP\r"}}));
}

// A holder killed with SIGKILL frees the port at once, whether it held a
// flock or a lock file. The lock file is found under the name a udev link
// (relative, as udev makes them) leads to; and while a command waits for it,
// it leaves the port's flock to others.
TEST(Sharing, AKilledHolderFreesThePortAtOnce) {
  const std::string script =
      "(exec 9</dev/ttyUSB0; flock -x 9; exec sleep 100) & H=$!; ln -s ttyUSB1 /dev/ttyUSBHUB;"
      "sleep 100 & L=$!; echo $L > /run/lock/LCK..ttyUSB1; sleep 0.3;"
      "echo T0 $(date +%s.%N); (sleep 1; kill -9 $H $L) &"
      "(sleep 0.5; flock -n /dev/ttyUSB1 true && echo free) &"
      "$NEXLI /G:ttyUSB0 & $NEXLI /G:ttyUSBHUB -H; echo T2 $(date +%s.%N); wait;"
      "echo T1 $(date +%s.%N)";
  RunResult run = RunScriptWithHubs({"--hub", "0", "--hub", "1", "--states", "05"}, script);
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_NE(run.out.find("On=None Off=1,2,3,4,5,6,7,8\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("05000000\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("free\n"), std::string::npos) << run.out;
  double waited = Stamp(run.out, "T1") - Stamp(run.out, "T0");
  EXPECT_GE(Stamp(run.out, "T2") - Stamp(run.out, "T0"), 0.9);
  EXPECT_LT(waited, 5.0 + RunnerAllowance());
  // Both commands went on when their holder died, so their requests mix.
  std::string sent[2];
  for (const Request& request : run.requests) sent[request.device == "ttyUSB1"] += request.bytes;
  EXPECT_EQ(sent[0], "?Q\rGP\r");
  EXPECT_EQ(sent[1], "?Q\rGP\r");
}

}  // namespace
