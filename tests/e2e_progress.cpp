// The progress line: at a terminal, a wait of more than a second says what
// it waits for and leaves nothing on the screen; anywhere else, and with
// NEXLI_PROGRESS=0, nothing at all is written to standard error.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

// What a terminal shows after bytes: "\r" goes back to the line's start,
// "\033[K" erases to its end, "\n" starts a new line; blanks at line ends
// are not seen.
std::string FinalScreen(const std::string& bytes) {
  std::vector<std::string> lines(1);
  std::size_t column = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::string& line = lines.back();
    if (bytes.compare(i, 3, "\033[K") == 0) {
      line.resize(std::min(line.size(), column));
      i += 2;
    } else if (bytes[i] == '\r') {
      column = 0;
    } else if (bytes[i] == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      if (line.size() <= column) line.resize(column + 1, ' ');
      line[column++] = bytes[i];
    }
  }
  std::string screen;
  for (std::string& line : lines) {
    line.erase(line.find_last_not_of(' ') + 1);
    screen += line + "\n";
  }
  return screen.substr(0, screen.find_last_not_of('\n') + 1);
}

TEST(Progress, AtATerminalOnlyAndLeavingNothingBehind) {
  // Held until the program has waited two seconds for the port (its
  // descriptor for the lock, above its standard ones, is open), however long
  // its runner takes to start it.
  const char* const kHeld =
      "(exec 9</dev/ttyUSB0; flock -x 9; exec sleep 60) & H=$!; sleep 0.2; $NEXLI /G:ttyUSB0 & "
      "P=$!;"
      " T=$(readlink -f /dev/ttyUSB0); n=0; until ls -l /proc/$P/fd 2>/dev/null | grep -Eq \" "
      "[3-9] -> $T$\" ||"
      " [ $n -gt 300 ]; do n=$((n+1)); sleep 0.1; done; sleep 2; kill $H; wait $P";
  const struct {
    const char* name;
    std::string script;
    std::string line;  // the line at a terminal, after the program's name; "": none
    std::string out;
    Strings hubs = {"--hub", "0", "--hub", "4", "--silent"};
  } rows[] = {
      {"a scan with a silent device", "$NEXLI /Q",
       "searching: 1 of 2 devices done, waiting for ttyUSB4 (no answer yet); at most ",
       "ttyUSB0, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n1 Managed USB Hub(s) Found.\n"},
      {"a held port", kHeld, "ttyUSB0 is held by another program; waiting at most 2",
       "On=None Off=1,2,3,4,5,6,7,8\n"},
      {"a silent hub", "$NEXLI /G:ttyUSB4",
       "ttyUSB4 has not answered yet; waiting at most 9 s more", "Query Err\n"},
      {"waits of half a second",
       "$NEXLI /G:ttyUSB0",
       "",
       "On=None Off=1,2,3,4,5,6,7,8\n",
       {"--hub", "0", "--late", "500"}},
      {"a power cycle's pause, shorter than a second",
       "NEXLI_CYCLE_DELAY=0.8 $NEXLI /S:ttyUSB0 C:3; $NEXLI /G:ttyUSB0",
       "ttyUSB0 power cycle: port 3 off, on again in ", "On=3 Off=1,2,4,5,6,7,8\n"},
      {"a scan with more silent devices than the line names",
       "$NEXLI /Q -F",
       "searching: 1 of 7 devices done, waiting for ttyUSB1 (no answer yet), ttyUSB2 (no answer "
       "yet), ttyUSB3 (no answer yet), ttyUSB4 (no answer yet), 2 more; at most ",
       "0001ttyUSB0\n",
       {"--hub",    "0",     "--hub",    "1",        "--silent", "--hub",   "2",
        "--silent", "--hub", "3",        "--silent", "--hub",    "4",       "--silent",
        "--hub",    "5",     "--silent", "--hub",    "6",        "--silent"}},
      {"a terminal narrower than the line", "stty cols 40 <&2 2>/dev/null; $NEXLI /G:ttyUSB4",
       "ttyUSB4 has not answered yet; wa\033[K", "Query Err\n"},
      // The control port would be opened as standard error, and the line
      // drawn into the hub.
      {"standard input and error closed, a slow hub",
       "$NEXLI /S:ttyUSB0 C:3 <&- 2>&-",
       "",
       "",
       {"--hub", "0", "--late", "1500"}},
  };
  std::vector<Invocation> runs;
  for (const auto& row : rows)
    for (const char* env : {"", "NEXLI_PROGRESS=0 ", "NEXLI_TRACE=/dev/null "})
      for (bool terminal : {true, false})
        runs.push_back({row.hubs,
                        {},
                        {},
                        std::string(env) + "export NEXLI_PROGRESS NEXLI_TRACE; " + row.script,
                        terminal});
  std::vector<RunResult> results = RunAllWithHubs(runs);

  std::size_t i = 0;
  for (const auto& row : rows)
    for (const char* env : {"", "NEXLI_PROGRESS=0 ", "NEXLI_TRACE=/dev/null "})
      for (bool terminal : {true, false}) {
        const RunResult& run = results[i++];
        SKIP_WITHOUT_SANDBOX(run);
        SCOPED_TRACE(std::string(row.name) + ", " + env + (terminal ? "terminal" : "pipe"));
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.status, 0);
        // Nothing but requests reaches a hub.
        for (const Request& request : run.requests)
          EXPECT_TRUE(std::regex_match(request.bytes, std::regex(R"((\?Q|GP|SPmora    \w{8})\r)")))
              << request.bytes;
        // Only at a terminal and not turned off; a trace to a file leaves it.
        if (terminal && std::string(env) != "NEXLI_PROGRESS=0 " && !row.line.empty()) {
          EXPECT_NE(run.err.find("\r" + ProgramName() + ": " + row.line), std::string::npos)
              << run.err;
          EXPECT_EQ(FinalScreen(run.err), "");
        } else {
          EXPECT_EQ(run.err, "");
        }
      }
}

// With the trace on standard error, the trace alone is written there.
TEST(Progress, TheTraceWinsOnASharedStandardError) {
  RunResult run =
      RunScriptWithHubs({"--hub", "4", "--silent"}, "NEXLI_TRACE=1 $NEXLI /G:ttyUSB4", true);
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_NE(run.err.find("ttyUSB4 time-out after 10"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find('\033'), std::string::npos);
  EXPECT_EQ(run.err.find("answered yet"), std::string::npos);
}

// With standard output on the same terminal, the line is gone before the
// result is printed.
TEST(Progress, TheResultOnTheSameTerminalStandsAlone) {
  RunResult run =
      RunScriptWithHubs({"--hub", "0", "--hub", "4", "--silent"}, "$NEXLI /Q >&2", true);
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_NE(run.err.find("searching:"), std::string::npos) << run.err;
  EXPECT_EQ(FinalScreen(run.err),
            "ttyUSB0, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n1 Managed USB Hub(s) Found.");
}

// Ended by a signal while the line shows, the program erases it and ends as
// the signal ends it.
TEST(Progress, ASignalLeavesNothingBehind) {
  RunResult run = RunScriptWithHubs(
      {"--hub", "4", "--silent"},
      "$NEXLI /G:ttyUSB4 & P=$!; sleep 2; kill $P; wait $P 2>/dev/null; echo status $?", true);
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "status 143\n");
  EXPECT_NE(run.err.find("has not answered yet"), std::string::npos) << run.err;
  // (valgrind reports the killed program's unfinished thread on its own lines)
  EXPECT_EQ(FinalScreen(std::regex_replace(run.err, std::regex("==[0-9]+==[^\n]*\n?"), "")), "");
}

}  // namespace
