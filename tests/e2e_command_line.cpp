// The command line end to end: help, usage errors and dispatch, in the sandbox
// so that nothing can reach a real device.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

TEST(CommandLine, HelpIsPrintedExactly) {
  const std::string help = ExpectedHelp();
  const std::vector<std::vector<std::string>> invocations = {
      {}, {"/?"}, {"/h"}, {"/H"}, {"/HELP"}, {"/help", "two", "words"}, {"/?:ttyUSB0"}};
  for (const auto& args : invocations) {
    RunResult run = RunWithHubs({}, args);
    SKIP_WITHOUT_SANDBOX(run);
    SCOPED_TRACE(args.empty() ? "(no arguments)" : args[0]);
    EXPECT_EQ(run.out, help);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.requests.empty());
  }
}

TEST(CommandLine, MalformedCommandLines) {
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"/S:ttyUSB0", "pass", "1:3", "more"}, "Invalid Command!\n"},
      {{"/Q", "a", "b", "c", "d"}, "Invalid Command!\n"},
      {{"Q"}, "Invalid Command!\n"},
      {{""}, "Invalid Command!\n"},
      {{"/"}, "Invalid Command!\n"},
      {{"/", "x"}, "Invalid Command!\n"},
      {{"/X"}, "DoCommandError\n"},
      {{"/A"}, "DoCommandError\n"},
      {{"/a:ttyUSB0"}, "DoCommandError\n"},
      {{"/1"}, "DoCommandError\n"},
      {{"/\xC3\xA9"}, "DoCommandError\n"},
  };
  for (const auto& c : cases) {
    RunResult run = RunWithHubs({}, c.args);
    SKIP_WITHOUT_SANDBOX(run);
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.requests.empty());
  }
}

// The device name comes from the switch: its first three letters in lower
// case, the rest in upper case, whatever was typed.
TEST(CommandLine, ControlPortFromTheSwitch) {
  const struct {
    std::string typed;
    bool reaches_hub;
  } cases[] = {
      {"/g:ttyusb0", true}, {"/G:TTYUSB0", true},  {"/G-ttyUSB0", true},
      {"/GXttyUSB0", true}, {"/G:ttyUSB", false},  {"/G:", false},
      {"/G", false},        {"/G:ttyACM0", false}, {"/G:ttyS0", false},
  };
  for (const auto& c : cases) {
    RunResult run = RunWithHubs({}, {c.typed, "-H"});
    SKIP_WITHOUT_SANDBOX(run);
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(run.out, c.reaches_hub ? "00000000\n" : "Invalid Command!\n");
    EXPECT_EQ(run.requests.size(), c.reaches_hub ? 2u : 0u);
    EXPECT_EQ(run.status, 0);
  }
}

// A program run straight from a shell or a script, with no sandbox around it.
TEST(CommandLine, RunsWithoutAnyHub) {
  RunResult run = RunProgram({"/X"});
  EXPECT_EQ(run.out, "DoCommandError\n");
  EXPECT_EQ(run.status, 0);
  run = RunProgram({});
  EXPECT_EQ(run.out, ExpectedHelp());
  run = RunProgram({"/W:ttyUSB0", "123456789"});
  EXPECT_EQ(run.out, "Invalid Password!\n");
  EXPECT_EQ(run.err, "");
}

}  // namespace
