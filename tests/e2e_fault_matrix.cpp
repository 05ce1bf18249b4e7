// Every command that talks to a hub against every fault hubsim offers: the
// exact line printed, the time it takes, and what the hub holds afterwards.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

// The hub before every run: 8 ports, ports 1-4 on, ports 5-8 on at power-up.
const Strings kHub = {"--hub",    "0",        "--ports",   "8",
                      "--states", "0F000000", "--powerup", "F0000000"};
const char* const kPresent = "0F000000";
const char* const kPowerUp = "F0000000";
const char* const kPassword = "mora    ";

struct CommandRow {
  const char* name;
  Strings args;
  // The hub afterwards when its request took effect.
  std::string present, powerup, password;
};

// clang-format off
const CommandRow kCommands[] = {
    // name, arguments, present, power-up, password
    {"/Q:ttyUSB0", {"/Q:ttyUSB0"}, kPresent, kPowerUp, kPassword},
    {"/Q", {"/Q"}, kPresent, kPowerUp, kPassword},
    {"/G", {"/G:ttyUSB0", "-H"}, kPresent, kPowerUp, kPassword},
    {"/S", {"/S:ttyUSB0", "1:5"}, "1F000000", kPowerUp, kPassword},
    {"/F", {"/F:ttyUSB0", "0:1"}, "0E000000", "0E000000", kPassword},
    {"/P", {"/P:ttyUSB0", "n3w"}, kPresent, kPowerUp, "n3w     "},
    {"/W", {"/W:ttyUSB0"}, kPresent, kPresent, kPassword},
    {"/D", {"/D:ttyUSB0"}, "FFFFFFFF", "FFFFFFFF", kPassword},
    {"/R", {"/R:ttyUSB0"}, kPowerUp, kPowerUp, kPassword},
};
// clang-format on

const std::string kHubLine = "ttyUSB0, 8 ports, On=1,2,3,4, Off=5,6,7,8, FW=101\n";
const std::string kFound = kHubLine + "1 Managed USB Hub(s) Found.\n";
const std::string kNoHub = "0 Managed USB Hub(s) Found.\n";
const std::string kStates = "0F000000\n";
const std::string kQueryErr = "Query Err\n";
const std::string kIdErr = "ID Err\n";
const std::string kStateErr = "Get Port State Err\n";
const std::string kSetErr = "Set Port State Error!\n";
const std::string kSendErr = "Error Sending Command!\n";
const std::string kPwdErr = "Invalid Password!\n";
const std::string kChangeErr = "Change Password Error!\n";
const std::string kSaveErr = "Save Port States Error!\n";
const std::string kRestoreErr = "Restore Default Error!\n";
const std::string kResetErr = "Reset Hub Error!\n";

struct FaultRow {
  const char* name;
  Strings options;
  double wait;  // seconds the reply is waited for, at least (10.1: a time-out)
  std::string out[std::size(kCommands)];  // what each command prints, in the order of kCommands
  const char* took_effect;                // '+' where the command's request changed the hub
};

// clang-format off
const FaultRow kFaults[] = {
    {"silent", {"--silent"}, 10.1,
     {kQueryErr, kNoHub, kQueryErr, kQueryErr, kQueryErr, kChangeErr, kSaveErr, kRestoreErr, ""},
     "---------"},
    {"late", {"--late", "300"}, 0.3,
     {kHubLine, kFound, kStates, "", "", "", "", "", ""},
     "---++++++"},
    {"partial then silent", {"--partial", "2"}, 10.1,
     {kQueryErr, kNoHub, kQueryErr, kQueryErr, kQueryErr, kChangeErr, kSaveErr, kRestoreErr, ""},
     "-----++++"},
    {"over-long", {"--overlong"}, 0,
     {kQueryErr, kNoHub, kQueryErr, kQueryErr, kQueryErr, kChangeErr, kSaveErr, kRestoreErr, ""},
     "-----++++"},
    {"other identity", {"--identity", "OTHERS"}, 0,
     {kIdErr, kNoHub, kIdErr, kIdErr, kIdErr, "", "", "", ""},
     "-----++++"},
    {"garbage states", {"--garbage-states", "XYZ"}, 0,
     {kStateErr, kNoHub, kStateErr, kStateErr, kStateErr, "", "", "", ""},
     "-----++++"},
    // Shown as read, never written back.
    {"states not hex", {"--garbage-states", "TORVAN  "}, 0,
     {"ttyUSB0, 8 ports, On=4,5,7,8, Off=1,2,3,6, FW=101\n",
      "ttyUSB0, 8 ports, On=4,5,7,8, Off=1,2,3,6, FW=101\n1 Managed USB Hub(s) Found.\n",
      "D8BFB7F0\n", kStateErr, kStateErr, "", "", "", ""},
     "-----++++"},
    {"count not a count", {"--ports-text", "x8"}, 0,
     {"ttyUSB0, 0 ports, On=None, Off=None, FW=101\n",
      "ttyUSB0, 0 ports, On=None, Off=None, FW=101\n1 Managed USB Hub(s) Found.\n", kStates,
      kQueryErr, kQueryErr, "", "", "", ""},
     "-----++++"},
    {"E01", {"--e01"}, 0,
     {kQueryErr, kNoHub, kQueryErr, kQueryErr, kQueryErr, kPwdErr, kPwdErr, kPwdErr, kPwdErr},
     "---------"},
    // The hub takes the set-state request but echoes other states.
    {"echo mismatch", {"--echo", "00000000"}, 0,
     {kHubLine, kFound, kStates, kSetErr, kSetErr, "", "", "", ""},
     "---++++++"},
    // A hub that resets may not answer: /R says nothing of a lost reply.
    {"hang-up mid-reply", {"--hangup", "1"}, 0,
     {kQueryErr, kNoHub, kQueryErr, kQueryErr, kQueryErr, kChangeErr, kSaveErr, kRestoreErr, ""},
     "-----++++"},
    // No request can be written: /R reports that one. (nexla's writes block
    // until the hub hangs up, 2 s later.)
    {"stops reading", {"--stop-reading", "0"}, 0,
     {kQueryErr, kNoHub, kQueryErr, kQueryErr, kQueryErr, kChangeErr, kSaveErr, kRestoreErr,
      kResetErr},
     "---------"},
    {"stops reading after the query", {"--stop-reading", "2"}, 0,
     {kHubLine, kFound, kStates, kSendErr, kSendErr, "", "", "", ""},
     "-----++++"},
    // Not a fault: a USB serial bridge whose latency timer holds every reply
    // 100 ms makes every command slower, and changes nothing else.
    {"bridge latency", {"--pace", "--latency", "100"}, 0.1,
     {kHubLine, kFound, kStates, "", "", "", "", "", ""},
     "---++++++"},
};
// clang-format on

TEST(FaultMatrix, EveryCommandAgainstEveryFault) {
  std::vector<Invocation> runs;
  for (const FaultRow& f : kFaults)
    for (const CommandRow& c : kCommands) {
      Strings hub = kHub;
      hub.insert(hub.end(), f.options.begin(), f.options.end());
      runs.push_back({hub, c.args});
    }
  std::vector<RunResult> results = RunAllWithHubs(runs);

  std::size_t i = 0;
  for (const FaultRow& f : kFaults)
    for (const CommandRow& c : kCommands) {
      const RunResult& run = results[i++];
      SKIP_WITHOUT_SANDBOX(run);
      SCOPED_TRACE(std::string(c.name) + " against " + f.name);
      const std::size_t column = &c - kCommands;
      EXPECT_EQ(run.out, f.out[column]);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(run.status, 0);

      // A silent or half-silent hub costs 10.1 s for the one exchange that
      // waits, never less and never more than 11 s; nothing else waits.
      const bool times_out = f.wait >= 10;
      if (times_out) {
        EXPECT_GE(run.seconds, 10.1);
        EXPECT_GE(SecondsAfterLastRequest(run), 10.1 - kLogSlack);
        EXPECT_LT(SecondsAfterLastRequest(run), 11.0 + RunnerAllowance());
      } else {
        EXPECT_GE(SecondsAfterLastRequest(run), f.wait * 0.9);
        EXPECT_LT(SecondsAfterLastRequest(run), f.wait + 4.0 + RunnerAllowance());
      }

      // The hub changed only where the command's request took effect.
      const bool changed = f.took_effect[column] == '+';
      EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), changed ? c.present : kPresent);
      EXPECT_EQ(DumpField(run, "ttyUSB0", "powerup"), changed ? c.powerup : kPowerUp);
      EXPECT_EQ(DumpField(run, "ttyUSB0", "password"), changed ? c.password : kPassword);
    }
}

}  // namespace
