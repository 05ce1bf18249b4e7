// The exit status end to end: with NEXLI_EXIT_STATUS=1 every way a run can
// end has its status (0 done, 1 the port or the hub failed or refused, 2 the
// command line or an argument was rejected, 3 a power cycle's ports may be
// off); without it, or with any other value, every run ends with 0. The
// output and the requests sent are the same either way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

// The hub of most rows: 8 ports, all off, the default password.
const Strings kHub = {"--hub", "0", "--ports", "8"};

Strings HubWith(const Strings& options) {
  Strings hub = kHub;
  hub.insert(hub.end(), options.begin(), options.end());
  return hub;
}

const char* const kHelp = "(the help)";

struct Row {
  const char* name;
  Strings hub_options;
  Strings args;
  std::string out;  // kHelp: the help text of the revision under test
  int status;       // with NEXLI_EXIT_STATUS=1
  // A shell command line to run it in, "$RUN" standing for the program, its
  // environment and its arguments; a run it names /dev/full in must say on
  // standard error that its output was lost.
  std::string shell = "";
};

// clang-format off
const Row kRows[] = {
    // Done.
    {"no arguments", kHub, {}, kHelp, 0},
    {"help", kHub, {"/?"}, kHelp, 0},
    {"scan, one hub", kHub, {"/Q"},
     "ttyUSB0, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n1 Managed USB Hub(s) Found.\n", 0},
    {"scan, no device", {"--no-hubs"}, {"/Q"}, "0 Managed USB Hub(s) Found.\n", 0},
    {"formatted scan, no device", {"--no-hubs"}, {"/Q", "-F"}, "0000ttyUSB\n", 0},
    {"scan, a silent device only", HubWith({"--silent"}), {"/Q"}, "0 Managed USB Hub(s) Found.\n", 0},
    {"one hub, formatted", kHub, {"/Q:ttyUSB0", "-F"}, "0000000008101\r\n", 0},
    {"get, into a pipe whose reader has gone", kHub, {"/G:ttyUSB0"}, "", 0,
     "trap '' PIPE; (sleep 0.3; $RUN) | true"},
    {"get", HubWith({"--states", "0F"}), {"/G:ttyUSB0", "-H"}, "0F000000\n", 0},
    {"get as JSON", HubWith({"--states", "0F"}), {"/G:ttyUSB0", "-J"},
     "{\"device\":\"ttyUSB0\",\"ports\":8,\"firmware\":\"101\",\"on\":[1,2,3,4],\"off\":[5,6,7,8],"
     "\"hex\":\"0F000000\",\"binary\":\"00001111\"}\n", 0},
    {"scan as JSON, no device", {"--no-hubs"}, {"/Q", "-J"}, "[]\n", 0},
    {"set", kHub, {"/S:ttyUSB0", "1:3"}, "", 0},
    {"set and flash with the hub's password", HubWith({"--password", "s3cret"}),
     {"/F:ttyUSB0", "s3cret", "1:3"}, "", 0},
    {"change password", kHub, {"/P:ttyUSB0", "n3w"}, "", 0},
    {"save", kHub, {"/W:ttyUSB0"}, "", 0},
    {"defaults", kHub, {"/D:ttyUSB0"}, "", 0},
    {"reset", kHub, {"/R:ttyUSB0"}, "", 0},
    {"reset, the hub does not answer", HubWith({"--silent"}), {"/R:ttyUSB0"}, "", 0},
    // The port or the hub failed or refused.
    {"set, wrong password", kHub, {"/S:ttyUSB0", "wrong", "1:3"}, "Password Error!\n", 1},
    {"set, default password refused", HubWith({"--password", "s3cret"}), {"/S:ttyUSB0", "1:3"},
     "Password Error!\n", 1},
    {"one hub, no device", kHub, {"/Q:ttyUSB5"}, "Query Err\n", 1},
    {"one hub, not a terminal", HubWith({"--not-tty"}), {"/Q:ttyUSB0"}, "Query Err\n", 1},
    {"get, silent hub", HubWith({"--silent"}), {"/G:ttyUSB0"}, "Query Err\n", 1},
    {"get as JSON, silent hub", HubWith({"--silent"}), {"/G:ttyUSB0", "-J"}, "Query Err\n", 1},
    {"one hub as JSON, no device", kHub, {"/Q:ttyUSB5", "-j"}, "Query Err\n", 1},
    {"save, -J is a password", kHub, {"/W:ttyUSB0", "-J"}, "Invalid Password!\n", 1},
    {"get, another identity", HubWith({"--identity", "OTHERS"}), {"/G:ttyUSB0"}, "ID Err\n", 1},
    {"get, garbage states", HubWith({"--garbage-states", "XYZ"}), {"/G:ttyUSB0"},
     "Get Port State Err\n", 1},
    {"set, no device (before the expression)", kHub, {"/S:ttyUSB5", "X:3"}, "Query Err\n", 1},
    {"set, wrong echo", HubWith({"--fault-on", "SP", "--echo", "00000000"}), {"/S:ttyUSB0", "1:3"},
     "Set Port State Error!\n", 1},
    {"set, refused", HubWith({"--fault-on", "SP", "--reply", "E02\\r\\n"}), {"/S:ttyUSB0", "1:3"},
     "Command Error!\n", 1},
    {"set, over-long reply", HubWith({"--fault-on", "SP", "--overlong"}), {"/S:ttyUSB0", "1:3"},
     "Error Parameters\n", 1},
    {"set, no answer", HubWith({"--fault-on", "SP", "--silent"}), {"/S:ttyUSB0", "1:3"},
     "Read Timeout\n", 1},
    {"set, states not hex", HubWith({"--garbage-states", "TORVAN  "}), {"/S:ttyUSB0", "1:3"},
     "Get Port State Err\n", 1},
    {"power cycle, the off echo fails, on again", HubWith({"--fault-on", "SP", "--fault-nth", "1",
     "--echo", "FFFFFFFF"}), {"/S:ttyUSB0", "C:3"}, "Set Port State Error!\n", 1},
    {"get, output to a full disk", kHub, {"/G:ttyUSB0"}, "", 1, "$RUN >/dev/full"},
    {"one hub as JSON, output to a full disk", kHub, {"/Q:ttyUSB0", "-J"}, "", 1, "$RUN >/dev/full"},
    {"formatted scan, output to a full disk", kHub, {"/Q", "-F"}, "", 1, "$RUN >/dev/full"},
    {"change password, refused", HubWith({"--e01"}), {"/P:ttyUSB0", "n3w"}, "Invalid Password!\n", 1},
    {"change password, eight blanks refused", kHub, {"/P:ttyUSB0", "", "n3w"},
     "Invalid Password!\n", 1},
    {"change password, not a terminal", HubWith({"--not-tty"}), {"/P:ttyUSB0", "n3w"},
     "Change Password Error!\n", 1},
    {"change password, no G", HubWith({"--reply", "X\\r\\n"}), {"/P:ttyUSB0", "n3w"},
     "Change Password Error!\n", 1},
    {"save, refused", HubWith({"--e01"}), {"/W:ttyUSB0"}, "Invalid Password!\n", 1},
    {"save, not a terminal", HubWith({"--not-tty"}), {"/W:ttyUSB0"}, "Save Port States Error!\n", 1},
    {"save, no G", HubWith({"--reply", "X\\r\\n"}), {"/W:ttyUSB0"},
     "Error to Save Port States to Flash!\n", 1},
    {"defaults, not a terminal", HubWith({"--not-tty"}), {"/D:ttyUSB0"}, "Restore Default Error!\n", 1},
    {"defaults, no G", HubWith({"--reply", "X\\r\\n"}), {"/D:ttyUSB0"},
     "Error to Restore Factory Default!\n", 1},
    {"reset, not a terminal", HubWith({"--not-tty"}), {"/R:ttyUSB0"}, "Reset Hub Error!\n", 1},
    {"reset, refused", HubWith({"--e01"}), {"/R:ttyUSB0"}, "Invalid Password!\n", 1},
    // A power cycle's ports may be off.
    {"power cycle, on fails", HubWith({"--stop-reading", "3"}), {"/S:ttyUSB0", "C:3"},
     "Query Err\nPower Cycle Error! Port 3 may be off\n", 3},
    // The command line or an argument was rejected.
    {"no slash", kHub, {"Q"}, "Invalid Command!\n", 2},
    {"four arguments", kHub, {"/S:ttyUSB0", "pw", "1:3", "more"}, "Invalid Command!\n", 2},
    {"unknown letter", kHub, {"/X"}, "DoCommandError\n", 2},
    {"scan with a password", kHub, {"/Q", "pw"}, "Invalid Command!\n", 2},
    {"get, unknown option", kHub, {"/G:ttyUSB0", "-X"}, "Invalid Command!\n", 2},
    {"get as JSON, extra argument", kHub, {"/G:ttyUSB0", "-J", "-H"}, "Invalid Command!\n", 2},
    {"set, -J is an expression", kHub, {"/S:ttyUSB0", "-J"}, "State Format Error!\n", 2},
    {"set, not ttyUSB", kHub, {"/S:ttyACM0", "1:3"}, "Invalid Command!\n", 2},
    {"save, extra argument", kHub, {"/W:ttyUSB0", "pw", "more"}, "Invalid Command!\n", 2},
    {"set, password too long", kHub, {"/S:ttyUSB0", "123456789", "1:3"}, "Invalid Password!\n", 2},
    {"change password, too long", kHub, {"/P:ttyUSB0", "123456789"}, "Invalid Password!\n", 2},
    {"reset, password too long", kHub, {"/R:ttyUSB0", "123456789"}, "Invalid Password!\n", 2},
    {"set, unknown letter", kHub, {"/S:ttyUSB0", "X:3"}, "State Format Error!\n", 2},
    {"set, no body", kHub, {"/S:ttyUSB0"}, "State Format Error!\n", 2},
    {"set, port the hub lacks", kHub, {"/S:ttyUSB0", "1:9"}, "Invalid Number!\n", 2},
    {"set, not a number", kHub, {"/S:ttyUSB0", "1:a"}, "Invalid Number!\n", 2},
    {"set, binary digit", kHub, {"/S:ttyUSB0", "B:2"}, "Invalid Number!\n", 2},
    {"set, hex digit", kHub, {"/F:ttyUSB0", "H:XY"}, "Invalid Number!\n", 2},
    {"power cycle, port the hub lacks", kHub, {"/S:ttyUSB0", "C:9"}, "Invalid Number!\n", 2},
    {"flash, no power cycle", kHub, {"/F:ttyUSB0", "C:3"}, "State Format Error!\n", 2},
};
// clang-format on

// The environments each row runs in, and whether the status tells the outcome.
const struct {
  const char* name;
  Strings env_words;
  bool told;
} kEnvironments[] = {
    {"NEXLI_EXIT_STATUS=1", {"NEXLI_EXIT_STATUS=1"}, true},
    {"NEXLI_EXIT_STATUS not set", {"-u", "NEXLI_EXIT_STATUS"}, false},
    {"NEXLI_EXIT_STATUS empty", {"NEXLI_EXIT_STATUS="}, false},
    {"NEXLI_EXIT_STATUS=0", {"NEXLI_EXIT_STATUS=0"}, false},
    {"NEXLI_EXIT_STATUS=yes", {"NEXLI_EXIT_STATUS=yes"}, false},
    {"NEXLI_EXIT_STATUS=true", {"NEXLI_EXIT_STATUS=true"}, false},
};

TEST(ExitStatus, EveryOutcomeInEveryEnvironment) {
  std::vector<Invocation> runs;
  for (const Row& row : kRows)
    for (const auto& e : kEnvironments) {
      std::string run = "env";
      for (const std::string& word : e.env_words) run += " '" + word + "'";
      run += " $NEXLI";
      for (const std::string& word : row.args) run += " '" + word + "'";
      std::string script = row.shell;
      if (!script.empty()) script.replace(script.find("$RUN"), 4, run);
      runs.push_back({row.hub_options, row.args, e.env_words, script});
    }
  std::vector<RunResult> results = RunAllWithHubs(runs);

  const std::string help = ExpectedHelp();
  std::size_t i = 0;
  for (const Row& row : kRows) {
    const RunResult& without = results[i + 1];  // the run with the variable not set
    for (const auto& e : kEnvironments) {
      const RunResult& run = results[i++];
      SKIP_WITHOUT_SANDBOX(run);
      SCOPED_TRACE(std::string(row.name) + ", " + e.name);
      EXPECT_EQ(run.out, row.out == kHelp ? help : row.out);
      bool lost = row.shell.find("/dev/full") != std::string::npos;
      EXPECT_EQ(run.err, lost ? ProgramName() + ": write error: No space left on device\n" : "");
      EXPECT_EQ(run.status, e.told ? row.status : 0);
      // The variable changes nothing else: the same requests go to the hub.
      EXPECT_EQ(RequestBytes(run), RequestBytes(without));
    }
  }
}

// The case that started it: a wrong password leaves the port off, and the
// status says so only when asked.
TEST(ExitStatus, WrongPasswordLeavesThePortOff) {
  for (const char* value : {"1", ""}) {
    SCOPED_TRACE(std::string("NEXLI_EXIT_STATUS=") + value);
    RunResult run =
        RunWithHubs(HubWith({"--password", "s3cret"}), {std::string("NEXLI_EXIT_STATUS=") + value},
                    {"/S:ttyUSB0", "PASSWORD", "1:3"});
    SKIP_WITHOUT_SANDBOX(run);
    EXPECT_EQ(run.out, "Password Error!\n");
    EXPECT_EQ(run.status, *value == '1' ? 1 : 0);
    EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), "00000000");
    ASSERT_EQ(run.requests.size(), 3u);
    EXPECT_EQ(run.requests[2].bytes, "SPPASSWORD04000000\r");
  }
}

}  // namespace
