// /S and /F end to end: the state expressions, the 19-byte set-state request,
// the hub's reply and the states the hub holds afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

const char* const kQuery = "?Q\r";
const char* const kGetState = "GP\r";
const char* const kSomeStates = "5A3C0000";  // "any" reported states

Strings Hub(int ports, const std::string& states) {
  return {"--hub", "0", "--ports", std::to_string(ports), "--states", states};
}

struct ResultCase {
  std::string expression;
  int ports;
  std::string reported;
  std::string result;
  std::string off = "";  // a power cycle's first request, before result
};

// Results of whole expressions, sent with the default password. A cycle
// delay that is no delay changes nothing but a power cycle, whose ports stay
// off for the delay it gives.
TEST(StateExpressions, Results) {
  const ResultCase cases[] = {
      {"1:3,4", 7, "00000000", "0C000000"},
      {"1:3,4", 7, "80000000", "8C000000"},
      {"0:3", 7, "FF000000", "FB000000"},
      {"T:1,2", 4, "01000000", "02000000"},
      {"T:2,2", 4, "01000000", "01000000"},
      {"1:03", 7, "00000000", "04000000"},
      {"1-3", 7, "00000000", "04000000"},
      {"1:3,3,3", 7, "00000000", "04000000"},
      {"1:32", 32, "00000000", "00000080"},
      {"1:2", 8, "99000000", "9B000000"},  // the states reported, digit 9 included, kept
      {"0:ALL", 7, kSomeStates, "80FFFFFF"},
      {"0:ALL", 16, kSomeStates, "0000FFFF"},
      {"0:ALL", 32, kSomeStates, "00000000"},
      {"1:ALL", 7, kSomeStates, "FFFFFFFF"},
      {"1:ALL", 32, "00000000", "FFFFFFFF"},
      {"T:ALL", 4, "05000000", "FAFFFFFF"},
      {"T:ALL", 7, "05000000", "FAFFFFFF"},
      {"B:0101", 4, kSomeStates, "F5FFFFFF"},
      {"B:0101", 7, kSomeStates, "F5FFFFFF"},
      {"B:10", 4, kSomeStates, "FEFFFFFF"},
      {"B:", 4, kSomeStates, "FFFFFFFF"},
      {"B:X0101", 4, kSomeStates, "F5FFFFFF"},
      {"B:" + std::string(32, '0'), 32, kSomeStates, "00000000"},
      {"B:" + std::string(32, '0'), 40, kSomeStates, "00000000"},
      {"H:A601", 16, kSomeStates, "A601FFFF"},
      {"H:A601", 7, kSomeStates, "A6FFFFFF"},
      {"H:A", 8, kSomeStates, "AFFFFFFF"},
      {"H:A60", 16, kSomeStates, "A60FFFFF"},
      {"H:", 8, kSomeStates, "FFFFFFFF"},
      {"H:00000000", 7, kSomeStates, "80FFFFFF"},
      {"H:00000000", 32, kSomeStates, "00000000"},
      {"H:01234567", 32, kSomeStates, "01234567"},
      {"H:89ABCDEF", 32, kSomeStates, "89ABCDEF"},
      {"h:a601", 16, kSomeStates, "A601FFFF"},
      {"t:all", 4, "05000000", "FAFFFFFF"},
      {"C:3", 4, "0F000000", "0F000000", "0B000000"},
      {"c:1,3", 4, "0A000000", "0F000000", "0A000000"},  // ports already off end on
      {"C:ALL", 7, kSomeStates, "FFFFFFFF", "80FFFFFF"},
      {"C-2", 8, "99000000", "9B000000", "99000000"},
  };
  for (const ResultCase& c : cases) {
    SCOPED_TRACE(c.expression + " on " + std::to_string(c.ports) + " ports");
    RunResult run = RunWithHubs(Hub(c.ports, c.reported),
                                {c.off.empty() ? "NEXLI_CYCLE_DELAY=x" : "NEXLI_CYCLE_DELAY=0.3"},
                                {"/S:ttyUSB0", c.expression});
    SKIP_WITHOUT_SANDBOX(run);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
    Strings sent = {kQuery, kGetState, "SPmora    " + c.result + "\r"};
    if (!c.off.empty()) sent.insert(sent.begin(), {kQuery, kGetState, "SPmora    " + c.off + "\r"});
    ASSERT_EQ(RequestBytes(run), sent);
    if (!c.off.empty()) {
      // hubsim logs a request before it answers it: the gap is the hub's own.
      double off = run.requests[5].time - run.requests[2].time;
      EXPECT_GE(off, 0.3);
      EXPECT_LT(off, 1.5 + RunnerAllowance());
    }
    EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), c.result);
  }
}

// Expressions refused after the query: no set-state request, states unchanged.
TEST(StateExpressions, Refused) {
  const struct {
    std::string expression;
    int ports;
    std::string out;
  } cases[] = {
      {"1:3,", 7, "Invalid Number!"},
      {"1:,3", 7, "Invalid Number!"},
      {"1:3,,4", 7, "Invalid Number!"},
      {"1:", 7, "Invalid Number!"},
      {"1:0", 7, "Invalid Number!"},
      {"1:8", 7, "Invalid Number!"},
      {"1:4294967299", 7, "Invalid Number!"},
      {"1:99999999999999999999999999", 99, "Invalid Number!"},
      {"1:3 4", 7, "Invalid Number!"},
      {"1:ALLX", 7, "Invalid Number!"},
      {"1:ALL,3", 7, "Invalid Number!"},
      {"1:-3", 7, "Invalid Number!"},
      {"B:0121", 4, "Invalid Number!"},
      {"B:ALL", 4, "Invalid Number!"},
      {"H:ALL", 8, "Invalid Number!"},
      {"H:G1", 8, "Invalid Number!"},
      {"H:123456789", 8, "Invalid Number!"},
      // Ports the 32-bit state field cannot carry.
      {"1:33", 40, "Invalid Number!"},
      {"T:1,40", 40, "Invalid Number!"},
      {"B:1" + std::string(32, '0'), 40, "Invalid Number!"},
      // No expression letter, or a letter without a body.
      {"abc", 7, "State Format Error!"},
      {"X:1", 7, "State Format Error!"},
      {"", 7, "State Format Error!"},
      {"1", 7, "State Format Error!"},
      {"0", 7, "State Format Error!"},
      {"T", 7, "State Format Error!"},
      {"B", 7, "State Format Error!"},
      {"H", 7, "State Format Error!"},
      {":1:3", 7, "State Format Error!"},
      // A power cycle's list, refused by its off step as by 0:.
      {"C:8", 7, "Invalid Number!"},
      {"C:1,,2", 7, "Invalid Number!"},
      {"C", 7, "State Format Error!"},
  };
  // Each a rejected argument: status 0, or 2 when asked for the outcome.
  for (const auto& c : cases)
    for (const char* told : {"NEXLI_EXIT_STATUS=0", "NEXLI_EXIT_STATUS=1"}) {
      SCOPED_TRACE(c.expression + ", " + told);
      // An empty second word: the first word is taken as the expression.
      RunResult run =
          RunWithHubs(Hub(c.ports, kSomeStates), {told},
                      c.expression.empty() ? Strings{"/S:ttyUSB0"}
                                           : Strings{"/S:ttyUSB0", "mora", c.expression});
      SKIP_WITHOUT_SANDBOX(run);
      EXPECT_EQ(run.out, c.out + "\n");
      EXPECT_EQ(run.status, std::string(told).back() == '1' ? 2 : 0);
      EXPECT_EQ(RequestBytes(run), (Strings{kQuery, kGetState}));
      EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), kSomeStates);
    }
}

// Which word is the password and which the expression.
TEST(SetStates, PasswordAndExpressionWords) {
  const struct {
    const char* name;
    std::string hub_password;
    Strings args;
    std::string request;
  } cases[] = {
      {"one word", "mora", {"/S:ttyUSB0", "1:3"}, "SPmora    04000000\r"},
      {"two words", "secret", {"/S:ttyUSB0", "secret", "1:3"}, "SPsecret  04000000\r"},
      {"eight bytes", "Pass Wd8", {"/S:ttyUSB0", "Pass Wd8", "1:3"}, "SPPass Wd804000000\r"},
      {"empty first word", "", {"/S:ttyUSB0", "", "1:3"}, "SP        04000000\r"},
      {"empty second word", "mora", {"/S:ttyUSB0", "1:3", ""}, "SPmora    04000000\r"},
      {"lower-case switch", "mora", {"/s:ttyusb0", "1:3"}, "SPmora    04000000\r"},
      {"flash", "mora", {"/F:ttyUSB0", "1:3"}, "FPmora    04000000\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Strings hub = Hub(7, "00000000");
    hub.insert(hub.end(), {"--password", c.hub_password});
    RunResult run = RunWithHubs(hub, c.args);
    SKIP_WITHOUT_SANDBOX(run);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(RequestBytes(run), (Strings{kQuery, kGetState, c.request}));
    EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), "04000000");
  }
}

TEST(SetStates, FlashStoresThePowerUpStates) {
  RunResult run = RunWithHubs(Hub(7, "0F000000"), {"/F:ttyUSB0", "0:ALL"});
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(RequestBytes(run), (Strings{kQuery, kGetState, "FPmora    80FFFFFF\r"}));
  EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), "80FFFFFF");
  EXPECT_EQ(DumpField(run, "ttyUSB0", "powerup"), "80FFFFFF");

  run = RunWithHubs(Hub(7, "0F000000"), {"/S:ttyUSB0", "0:ALL"});
  EXPECT_EQ(DumpField(run, "ttyUSB0", "powerup"), "00000000");
}

// Errors before the query: nothing at all goes to the hub.
TEST(SetStates, ArgumentErrorsSendNothing) {
  const struct {
    Strings args;
    std::string out;
    std::string delay = "";  // NEXLI_CYCLE_DELAY, with NEXLI_EXIT_STATUS=1
  } cases[] = {
      {{"/S"}, "Invalid Command!"},
      {{"/S:"}, "Invalid Command!"},
      {{"/S:ttyACM0", "1:3"}, "Invalid Command!"},
      {{"/F:ttyUSB", "1:3"}, "Invalid Command!"},
      {{"/S:ttyUSB0", "123456789", "1:3"}, "Invalid Password!"},
      {{"/F:ttyUSB0", "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "1:3"}, "Invalid Password!"},
      {{"/S:ttyUSB0", "C:3"}, "Cycle Delay Error!", "x"},
      {{"/S:ttyUSB0", "mora", "c:3"}, "Cycle Delay Error!", "-1"},
      {{"/S:ttyUSB0", "C:3"}, "Cycle Delay Error!", "3600.5"},
      {{"/S:ttyUSB0", "C:3"}, "Cycle Delay Error!", "3600.0000000001"},
      {{"/S:ttyUSB0", "C:3"}, "Cycle Delay Error!", " 2"},
      {{"/S:ttyUSB0", "C:3"}, "Cycle Delay Error!", "1.2.3"},
      {{"/S:ttyUSB0", "C:99"}, "Cycle Delay Error!", "."},
  };
  for (const auto& c : cases) {
    RunResult run = RunWithHubs(
        Hub(7, kSomeStates),
        c.delay.empty() ? Strings{}
                        : Strings{"NEXLI_EXIT_STATUS=1", "NEXLI_CYCLE_DELAY=" + c.delay},
        c.args);
    SKIP_WITHOUT_SANDBOX(run);
    SCOPED_TRACE(c.args[0] + " " + c.delay);
    EXPECT_EQ(run.out, c.out + "\n");
    EXPECT_EQ(run.status, c.delay.empty() ? 0 : 2);
    EXPECT_TRUE(run.requests.empty());
    EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), kSomeStates);
  }
}

// Failures on the way: no states are made from a reply that cannot be read,
// and a power cycle whose off request went out ends with its ports on or says
// they may be off.
TEST(SetStates, QueryFailuresStopBeforeTheSetStateRequest) {
  const struct {
    const char* name;
    Strings hubs;
    Strings args;
    std::string out;
    std::size_t requests;
    std::string present = "";  // the states left, where the row says
  } cases[] = {
      {"no such device", Hub(7, kSomeStates), {"/S:ttyUSB999", "1:3"}, "Query Err", 0},
      {"another identity",
       {"--hub", "0", "--identity", "OTHERS"},
       {"/S:ttyUSB0", "1:3"},
       "ID Err",
       1},
      {"state request fails",
       {"--hub", "0", "--fault-on", "GP", "--hangup", "0"},
       {"/S:ttyUSB0", "1:3"},
       "Get Port State Err",
       2},
      {"bad expression after a failed query",
       {"--hub", "0", "--identity", "OTHERS"},
       {"/S:ttyUSB0", "bad"},
       "ID Err",
       1},
      // A power cycle: no on step after a refused off step; the on step's query.
      {"cycle, off refused", {"--password", "x"}, {"/S:ttyUSB0", "C:3"}, "Password Error!", 3},
      {"cycle, on fails",
       {"--stop-reading", "3"},
       {"/S:ttyUSB0", "C:3"},
       "Query Err\nPower Cycle Error! Port 3 may be off",
       3},
      {"cycle, states not hex",
       {"--garbage-states", "TORVAN  "},
       {"/S:ttyUSB0", "C:3"},
       "Get Port State Err",
       2},
      {"cycle, the off echo fails: on all the same",
       {"--states", "FF", "--fault-on", "SP", "--fault-nth", "1", "--echo", "00000000"},
       {"/S:ttyUSB0", "C:3"},
       "Set Port State Error!",
       6,
       "FF000000"},
      {"a count of 0", {"--ports", "0"}, {"/S:ttyUSB0", "0:ALL"}, "Query Err", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult run = RunWithHubs(c.hubs, {"NEXLI_CYCLE_DELAY=0.2"}, c.args);
    SKIP_WITHOUT_SANDBOX(run);
    EXPECT_EQ(run.out, c.out + "\n");
    EXPECT_EQ(run.requests.size(), c.requests);
    if (!c.present.empty()) {
      EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), c.present);
    }
  }
}

// How the set-state reply is judged. H:A6 on an 8-port hub sends A6FFFFFF.
TEST(SetStates, Replies) {
  const struct {
    const char* name;
    Strings faults;
    std::string out;
    double min_seconds;
  } cases[] = {
      {"echo of the states sent", {}, "", 0},
      {"echo in lower case", {"--echo", "a6ffffff"}, "Set Port State Error!", 0},
      {"seven-digit echo", {"--echo", "A6FFFFF"}, "Set Port State Error!", 0},
      {"absent ports cleared in the echo", {"--echo", "A6000000"}, "Set Port State Error!", 0},
      {"longer echo", {"--echo", "A6FFFFFF0"}, "", 0},
      {"E01", {"--fault-on", "SP", "--e01"}, "Password Error!", 0},
      {"E01 and more", {"--fault-on", "SP", "--reply", "E01xyz\\r\\n"}, "Password Error!", 0},
      {"E02", {"--fault-on", "SP", "--reply", "E02\\r\\n"}, "Command Error!", 0},
      {"e01", {"--fault-on", "SP", "--reply", "e01\\r\\n"}, "Command Error!", 0},
      {"lower-case g", {"--fault-on", "SP", "--reply", "ga6ffffff\\r\\n"}, "Command Error!", 0},
      {"bare line feed", {"--fault-on", "SP", "--reply", "\\n"}, "Command Error!", 0},
      {"over-long reply", {"--fault-on", "SP", "--overlong"}, "Error Parameters", 0},
      {"hang-up", {"--fault-on", "SP", "--hangup", "3"}, "Read Timeout", 0},
      {"late answer", {"--fault-on", "SP", "--late", "300"}, "", 0.3},
      {"silence", {"--fault-on", "SP", "--silent"}, "Read Timeout", 10.1},
      {"partial then silence", {"--fault-on", "SP", "--partial", "4"}, "Read Timeout", 10.1},
  };
  std::vector<Invocation> runs;
  for (const auto& c : cases) {
    Strings hub = Hub(8, "00000000");
    hub.insert(hub.end(), c.faults.begin(), c.faults.end());
    runs.push_back({hub, {"/S:ttyUSB0", "H:A6"}});
  }
  std::vector<RunResult> results = RunAllWithHubs(runs);
  for (std::size_t i = 0; i < results.size(); ++i) {
    const auto& c = cases[i];
    const RunResult& run = results[i];
    SKIP_WITHOUT_SANDBOX(run);
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run.out, c.out.empty() ? "" : c.out + "\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(RequestBytes(run), (Strings{kQuery, kGetState, "SPmora    A6FFFFFF\r"}));
    if (c.min_seconds >= 10) {
      EXPECT_GE(run.seconds, c.min_seconds);
      EXPECT_GE(SecondsAfterLastRequest(run), c.min_seconds - kLogSlack);
      EXPECT_LT(SecondsAfterLastRequest(run), 11.0 + RunnerAllowance());
    } else {
      EXPECT_GE(SecondsAfterLastRequest(run), c.min_seconds * 0.9);
      EXPECT_LT(SecondsAfterLastRequest(run), 5.0 + RunnerAllowance());
    }
  }
}

TEST(SetStates, WrongPasswordLeavesTheStates) {
  Strings hub = Hub(8, kSomeStates);
  hub.insert(hub.end(), {"--password", "secret"});
  RunResult run = RunWithHubs(hub, {"/S:ttyUSB0", "Secret", "1:1"});
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "Password Error!\n");
  EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), kSomeStates);
}

// A whole session: switch, read back, toggle, read back.
TEST(SetStates, SwitchAndReadBack) {
  RunResult run =
      RunScriptWithHubs(Hub(4, "00000000"),
                        "$NEXLI /S:ttyUSB0 1:1,3 && $NEXLI /G:ttyUSB0 && $NEXLI /S:ttyUSB0 T:ALL"
                        " && $NEXLI /G:ttyUSB0 -B");
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "On=1,3 Off=2,4\n1010\n");
}

// A power cycle of port 3 among other callers and signals, at a terminal
// (where the progress line's thread runs beside the program's): another
// caller's switch during the pause is kept; a signal in the pause switches
// the port on at once and then ends the program as it would; an ignored one
// stays ignored.
TEST(SetStates, PowerCycleAmongOtherCallersAndSignals) {
  const std::string cycle =  // in the background, until port 3 is off
      "$NEXLI /S:ttyUSB0 C:3 & P=$!; n=0; until [ \"$($NEXLI /G:ttyUSB0 -B)\" = 11111011 ] ||"
      " [ $n -gt 100 ]; do n=$((n+1)); sleep 0.2; done; ";
  const struct {
    const char* name;
    std::string script;
    std::string out;
    std::string present;
    Strings err = {};     // what standard error shows
    Strings faults = {};  // the hub's, besides its 8 ports all on
  } rows[] = {
      {"another caller",
       "export NEXLI_CYCLE_DELAY=6; " + cycle + "$NEXLI /S:ttyUSB0 0:5; $NEXLI /G:ttyUSB0 -B",
       "11101011\nstatus 0\n", "EF000000"},
      {"SIGTERM", "export NEXLI_CYCLE_DELAY=3600; " + cycle + "kill -TERM $P", "status 143\n",
       "FF000000"},
      {"SIGHUP", "export NEXLI_CYCLE_DELAY=60; " + cycle + "kill -HUP $P", "status 129\n",
       "FF000000"},
      {"SIGTERM blocked",
       "export NEXLI_CYCLE_DELAY=3; env --block-signal=TERM " + cycle + "kill -TERM $P",
       "status 0\n", "FF000000"},
      {"SIGINT, traced",
       "export NEXLI_CYCLE_DELAY=60 NEXLI_TRACE=1; env --default-signal=INT " + cycle +
           "kill -INT $P",
       "status 130\n",
       "FF000000",
       {"ttyUSB0 cycle: pause cut short by SIGINT after ", " ms; on again at once",
        " - end: by SIGINT (its default action), the ports on again"}},
      {"SIGINT ignored", "export NEXLI_CYCLE_DELAY=3; " + cycle + "kill -INT $P", "status 0\n",
       "FF000000"},
      {"SIGTERM twice, as timeout sends it, the second while the on step reads the states",
       "export NEXLI_CYCLE_DELAY=60; " + cycle + "kill -TERM $P; sleep 0.3; kill -TERM $P",
       "status 143\n",
       "FF000000",
       {},
       {"--fault-on", "GP", "--late", "800"}},
      {"SIGTERM while the off request waits for its echo",
       "export NEXLI_CYCLE_DELAY=60; $NEXLI /S:ttyUSB0 C:3 & P=$!; sleep 1; kill -TERM $P",
       "status 143\n",
       "FF000000",
       {},
       {"--fault-on", "SP", "--late", "3000"}},
      {"SIGTERM while the on step waits for the states, after a pause that ran its time",
       "export NEXLI_CYCLE_DELAY=0.5; $NEXLI /S:ttyUSB0 C:3 & P=$!; sleep 2; kill -TERM $P",
       "status 143\n",
       "FF000000",
       {},
       {"--fault-on", "GP", "--fault-nth", "2", "--late", "4000"}},
      {"SIGTERM while the on step waits for the port another program holds",
       "export NEXLI_CYCLE_DELAY=2; " + cycle +
           "(exec 9</dev/ttyUSB0; flock -x 9; exec sleep 6) & until ! flock -n /dev/ttyUSB0 true;"
           " do sleep 0.05; done; sleep 3; kill -TERM $P",
       "status 143\n", "FF000000"},
      {"SIGQUIT in the pause",
       "ulimit -c 0; export NEXLI_CYCLE_DELAY=60; env --default-signal=QUIT " + cycle +
           "kill -QUIT $P",
       "status 131\n", "FF000000"},
  };
  std::vector<Invocation> runs;
  for (const auto& row : rows) {
    Strings hub = Hub(8, "FF");
    hub.insert(hub.end(), row.faults.begin(), row.faults.end());
    runs.push_back({hub, {}, {}, row.script + "; wait $P; echo status $?", true});
  }
  std::vector<RunResult> results = RunAllWithHubs(runs);
  for (std::size_t i = 0; i < results.size(); ++i) {
    const RunResult& run = results[i];
    SKIP_WITHOUT_SANDBOX(run);
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(run.out, rows[i].out);
    EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), rows[i].present);
    for (const std::string& part : rows[i].err)
      EXPECT_NE(run.err.find(part), std::string::npos) << part << "\n" << run.err;
    EXPECT_LT(run.seconds, 30.0 + RunnerAllowance());
  }
}

}  // namespace
