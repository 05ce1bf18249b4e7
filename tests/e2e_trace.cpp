// NEXLI_TRACE end to end: for every fault hubsim can produce the trace names
// the cause, while standard output, the status and the requests stay those
// of a run without it; a scan's lines stay whole.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

// One line of the trace: "nexli[PID] MS DEVICE EVENT".
bool IsTraceLine(const std::string& line) {
  static const std::regex form("(nexli|nexla)\\[[0-9]+\\] [0-9]+\\.[0-9]{3} (ttyUSB[0-9]+|-) .+");
  return std::regex_match(line, form);
}

TEST(Trace, NamesTheCauseOfEachFailureAndChangesNothingElse) {
  const char* const kHeld =
      "(exec 9</dev/ttyUSB0; flock -x 9; exec sleep 60) & sleep 0.3;"
      " $NEXLI /G:ttyUSB0; kill $!";
  const struct {
    const char* name;
    Strings hub;
    const char* script;  // run with NEXLI_TRACE exported
    const char* cause;   // a pattern the trace matches
  } rows[] = {
      {"silent",
       {"--silent"},
       nullptr,
       R"(ttyUSB0 time-out after 10[01][0-9]{2} ms waiting for byte 1; received "" \(0 bytes\))"},
      {"late",
       {"--late", "300"},
       nullptr,
       R"(received "TORVAN     8101\\r\\n" \(17 bytes, first after [3-9][0-9]{2}\.[0-9] ms)"},
      {"partial",
       {"--partial", "2"},
       nullptr,
       R"(time-out after 10[01][0-9]{2} ms waiting for byte 3; received "TO" \(2 bytes)"},
      {"over-long",
       {"--overlong"},
       nullptr,
       R"(over-long reply: "TORVAN     8101XXXXX" \(20 bytes.*no line end)"},
      {"another identity",
       {"--identity", "OTHERS"},
       nullptr,
       R"(received "OTHERS.*\n.* ttyUSB0 not a hub: the reply does not begin with TORVAN)"},
      {"hang-up",
       {"--hangup", "1"},
       nullptr,
       R"(hang-up \(end of file\) after [0-9]+ ms waiting for byte 2; received "T")"},
      // After the query: the hub's two seconds before it hangs up then start
      // with the program running, however slowly a runner starts it.
      {"stops reading", {"--stop-reading", "1"}, nullptr, R"(ttyUSB0 write failed: )"},
      {"no such device",
       {"--no-hubs"},
       nullptr,
       R"(ttyUSB0 lock: cannot open: No such file or directory\n.*ttyUSB0 open failed: No such file)"},
      {"not a terminal",
       {"--not-tty"},
       nullptr,
       R"(lock: not a terminal, not locked\n.*(open|configure) failed: Inappropriate ioctl for device)"},
      {"power cycle",
       {},
       "NEXLI_CYCLE_DELAY=0.25 $NEXLI /S:ttyUSB0 C:3; $NEXLI /G:ttyUSB0",
       R"(ttyUSB0 cycle: port 3 off; on again after a pause of 0\.250 s\n.* ttyUSB0 cycle: pause over)"},
      {"power cycle, an empty delay",
       {},
       "NEXLI_CYCLE_DELAY= $NEXLI /S:ttyUSB0 C:3; $NEXLI /G:ttyUSB0",
       R"(ttyUSB0 cycle: port 3 off; on again after a pause of 2\.000 s)"},
      {"held",
       {},
       kHeld,
       R"(lock: waiting up to 30000 ms for another program's flock on the device\n(.*\n)?)"
       R"(.* ttyUSB0 lock: given up after 300[0-9]{2} ms, still held by another program's flock)"},
      {"bytes above 126",
       {"--fw", "\\x7F\\xC1\\xFF"},
       nullptr,
       R"(received "TORVAN     8\\x7F\\xC1\\xFF\\r\\n")"},
      {"both passwords of /P",
       {},
       "$NEXLI /P:ttyUSB0 n3w; $NEXLI /G:ttyUSB0",
       R"(sending "CP\*{16}\\r")"},
  };
  std::vector<Invocation> runs;
  for (const auto& row : rows) {
    Strings hub = row.hub;
    if (hub.empty() || hub[0] != "--no-hubs") hub.insert(hub.begin(), {"--hub", "0"});
    for (const char* trace : {"NEXLI_TRACE=1", "NEXLI_TRACE=0"})
      runs.push_back(
          row.script ? Invocation{hub, {}, {}, std::string("export ") + trace + ";" + row.script}
                     : Invocation{hub, {"/G:ttyUSB0"}, {trace}});
  }
  std::vector<RunResult> results = RunAllWithHubs(runs);

  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const RunResult& traced = results[2 * i];
    const RunResult& plain = results[2 * i + 1];
    SKIP_WITHOUT_SANDBOX(traced);
    SCOPED_TRACE(rows[i].name);
    EXPECT_TRUE(std::regex_search(traced.err, std::regex(rows[i].cause))) << traced.err;
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_NE(traced.out, "");
    EXPECT_EQ(traced.status, plain.status);
    EXPECT_EQ(RequestBytes(traced), RequestBytes(plain));
    std::istringstream lines(traced.err);
    for (std::string line; std::getline(lines, line);) EXPECT_TRUE(IsTraceLine(line)) << line;
  }
}

// 64 devices at once, every eighth silent, traced into one file: every line
// whole, and one line per device telling what it turned out to be.
TEST(Trace, ScanOf64DevicesKeepsEveryLineWhole) {
  char folder[] = "/tmp/nexli-trace-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string file = std::string(folder) + "/trace";
  Strings hubs;
  for (int n = 0; n < 64; ++n) {
    hubs.insert(hubs.end(), {"--hub", std::to_string(n)});
    if (n % 8 == 5) hubs.push_back("--silent");
  }
  RunResult run = RunScriptWithHubs(hubs, "NEXLI_TRACE=" + file + " $NEXLI /Q -F; stat -c %a " +
                                              file + "; cat " + file + "; rm -r " + folder);
  SKIP_WITHOUT_SANDBOX(run);
  std::istringstream lines(run.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line,
            "0056ttyUSB0,1,2,3,4,6,7,8,9,10,11,12,14,15,16,17,18,19,20,22,23,24,25,26,27,28,"
            "30,31,32,33,34,35,36,38,39,40,41,42,43,44,46,47,48,49,50,51,52,54,55,56,57,58,"
            "59,60,62,63");
  std::getline(lines, line);
  EXPECT_EQ(line, "600");
  int hubs_seen = 0, silent_seen = 0, trace_lines = 0;
  for (; std::getline(lines, line); ++trace_lines) {
    EXPECT_TRUE(IsTraceLine(line)) << line;
    hubs_seen += line.find(" scan: a hub, 8 ports, firmware \"101\"") != std::string::npos;
    silent_seen += line.find(" scan: no hub: no usable answer to the query") != std::string::npos;
  }
  EXPECT_EQ(hubs_seen, 56);
  EXPECT_EQ(silent_seen, 8);
  // start, scan, end; each device: lock, two exchanges of two lines (the
  // silent ones one exchange), its verdict.
  EXPECT_EQ(trace_lines, 3 + 56 * 6 + 8 * 4);
}

// The file NEXLI_TRACE names, in an empty folder of the script's own: the
// lines are appended to it and never go through a link; a value that is not
// an absolute path makes no file at all. A standard error whose reader has
// gone does not end the command.
TEST(Trace, TheFileItNamesAndNoOther) {
  const struct {
    const char* name;
    const char* script;
    const char* out;  // what it printed, then the folder's listing
  } rows[] = {
      {"appended to", "echo earlier >t; NEXLI_TRACE=$PWD/t $NEXLI /R:ttyUSB0; head -n 1 t",
       "earlier\nt\n"},
      {"a link refused", "ln -s elsewhere t; NEXLI_TRACE=$PWD/t $NEXLI /R:ttyUSB0", "t\n"},
      {"relative values", "NEXLI_TRACE=0 $NEXLI /R:ttyUSB0; NEXLI_TRACE=t $NEXLI /R:ttyUSB0", ""},
      // (The device itself, as a real /dev/ttyUSB0 is, not hubsim's link to it.)
      {"the hub's own device", "NEXLI_TRACE=$(readlink -f /dev/ttyUSB0) $NEXLI /G:ttyUSB0",
       "On=None Off=1,2,3,4,5,6,7,8\n"},
      {"standard error's reader gone",
       "NEXLI_TRACE=1 $NEXLI /S:ttyUSB0 1:3 2>&1 | head -c 1; echo; $NEXLI /G:ttyUSB0",
       "n\nOn=3 Off=1,2,4,5,6,7,8\n"},
  };
  for (const auto& row : rows) {
    RunResult run = RunScriptWithHubs(
        {}, "cd \"$(mktemp -d)\" && " + std::string(row.script) + "; ls; rm -r \"$PWD\"");
    SKIP_WITHOUT_SANDBOX(run);
    EXPECT_EQ(run.out, row.out) << row.name;
  }
}

}  // namespace
