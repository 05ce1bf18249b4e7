// Every command that talks to a hub against every fault hubsim offers: the
// exact line printed, the time it takes, and what the hub holds afterwards.
#include <gtest/gtest.h>

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

enum Command { kQueryOne, kScan, kGet, kSet, kFlash, kPassword_, kSave, kDefaults, kReset };

struct CommandRow {
  Command command;
  const char* name;
  Strings args;
  std::string success;  // what a working hub makes it print
  // The hub afterwards when its request took effect.
  std::string present, powerup, password;
  bool changes;  // sends a request that changes the hub
};

const char* const kHubLine = "ttyUSB0, 8 ports, On=1,2,3,4, Off=5,6,7,8, FW=101\n";

// clang-format off
const CommandRow kCommands[] = {
    // command, name, arguments, output on success, present, power-up, password, changes
    {kQueryOne, "/Q:ttyUSB0", {"/Q:ttyUSB0"}, kHubLine, kPresent, kPowerUp, kPassword, false},
    {kScan, "/Q", {"/Q"}, std::string(kHubLine) + "1 Managed USB Hub(s) Found.\n",
     kPresent, kPowerUp, kPassword, false},
    {kGet, "/G", {"/G:ttyUSB0", "-H"}, "0F000000\n", kPresent, kPowerUp, kPassword, false},
    {kSet, "/S", {"/S:ttyUSB0", "1:5"}, "", "1F000000", kPowerUp, kPassword, true},
    {kFlash, "/F", {"/F:ttyUSB0", "0:1"}, "", "0E000000", "0E000000", kPassword, true},
    {kPassword_, "/P", {"/P:ttyUSB0", "n3w"}, "", kPresent, kPowerUp, "n3w     ", true},
    {kSave, "/W", {"/W:ttyUSB0"}, "", kPresent, kPresent, kPassword, true},
    {kDefaults, "/D", {"/D:ttyUSB0"}, "", "FFFFFFFF", "FFFFFFFF", kPassword, true},
    {kReset, "/R", {"/R:ttyUSB0"}, "", kPowerUp, kPowerUp, kPassword, true},
};
// clang-format on

enum Fault { kSilent, kLate, kPartial, kOverlong, kIdentity, kGarbage, kE01, kEcho, kHangup };

struct FaultRow {
  Fault fault;
  const char* name;
  Strings options;
  double wait;  // seconds the reply is waited for, at least (10.1: a time-out)
};

const FaultRow kFaults[] = {
    {kSilent, "silent", {"--silent"}, 10.1},
    {kLate, "late", {"--late", "300"}, 0.3},
    {kPartial, "partial then silent", {"--partial", "2"}, 10.1},
    {kOverlong, "over-long", {"--overlong"}, 0},
    {kIdentity, "other identity", {"--identity", "OTHERS"}, 0},
    {kGarbage, "garbage states", {"--garbage-states", "XYZ"}, 0},
    {kE01, "E01", {"--e01"}, 0},
    {kEcho, "echo mismatch", {"--echo", "00000000"}, 0},
    {kHangup, "hang-up mid-reply", {"--hangup", "1"}, 0},
};

// What the command prints against the fault, and whether its request took
// effect on the hub.
struct Outcome {
  std::string out;
  bool applied;
};

Outcome Expected(const CommandRow& c, const FaultRow& f) {
  const bool queries = c.command <= kFlash;  // /Q, /G, /S and /F query first
  // The identification query, where the command makes one.
  std::string query_failure;
  switch (f.fault) {
    case kSilent:
    case kPartial:
    case kOverlong:
    case kE01:
    case kHangup:
      query_failure = "Query Err";
      break;
    case kIdentity:
      query_failure = "ID Err";
      break;
    case kGarbage:
      query_failure = "Get Port State Err";
      break;
    case kLate:
    case kEcho:
      break;
  }
  if (queries && !query_failure.empty()) {
    if (c.command == kScan) return {"0 Managed USB Hub(s) Found.\n", false};
    return {query_failure + "\n", false};
  }
  if (queries) {
    if (f.fault == kEcho && (c.command == kSet || c.command == kFlash))
      return {"Set Port State Error!\n", true};  // the hub took the request
    return {c.success, c.changes};
  }

  // /P, /W, /D and /R send their one request straight away.
  const bool lost_reply =
      f.fault == kSilent || f.fault == kPartial || f.fault == kOverlong || f.fault == kHangup;
  const bool applied = f.fault != kSilent && f.fault != kE01;
  if (f.fault == kE01) return {"Invalid Password!\n", false};
  if (lost_reply) {
    switch (c.command) {
      case kPassword_:
        return {"Change Password Error!\n", applied};
      case kSave:
        return {"Save Port States Error!\n", applied};
      case kDefaults:
        return {"Restore Default Error!\n", applied};
      default:
        return {"", applied};  // a hub that resets may not answer
    }
  }
  return {c.success, applied};
}

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
      const Outcome want = Expected(c, f);
      EXPECT_EQ(run.out, want.out);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(run.status, 0);

      // A silent or half-silent hub costs 10.1 s for the one exchange that
      // waits, never less and never more than 11 s; nothing else waits.
      const bool times_out = f.wait >= 10;
      // (hubsim notes a request a moment after the program wrote it, so the
      // wait it sees may fall short of the program's by that moment; the
      // exact 10.1 s is measured in the serial link's own tests.)
      if (times_out) {
        EXPECT_GE(run.seconds, 10.1);
        EXPECT_GE(SecondsAfterLastRequest(run), 10.0);
        EXPECT_LT(SecondsAfterLastRequest(run), 11.0);
      } else {
        EXPECT_GE(SecondsAfterLastRequest(run), f.wait * 0.9);
        EXPECT_LT(SecondsAfterLastRequest(run), f.wait + 4.0);
      }

      // The hub changed only where the command's request took effect.
      const bool changed = want.applied;
      EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), changed ? c.present : kPresent);
      EXPECT_EQ(DumpField(run, "ttyUSB0", "powerup"), changed ? c.powerup : kPowerUp);
      EXPECT_EQ(DumpField(run, "ttyUSB0", "password"), changed ? c.password : kPassword);
    }
}

}  // namespace
