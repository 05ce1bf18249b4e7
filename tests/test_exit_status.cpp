// The exit status: 0 unless NEXLI_EXIT_STATUS is exactly "1", and then the
// outcome class that each way of ending a run gives; and every way out of
// the process, with the progress line's thread running or not.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "exit_status.h"
#include "front_end.h"
#include "progress.h"
#include "serial_link.h"
#include "trace.h"

namespace {

// Sets (or, for nullptr, unsets) NEXLI_EXIT_STATUS for one scope.
struct ExitStatusVariable {
  explicit ExitStatusVariable(const char* value) {
    if (value)
      setenv("NEXLI_EXIT_STATUS", value, 1);
    else
      unsetenv("NEXLI_EXIT_STATUS");
  }
  ~ExitStatusVariable() { unsetenv("NEXLI_EXIT_STATUS"); }
};

TEST(ExitStatus, OnlyTheValueOneTellsTheOutcome) {
  const struct {
    const char* value;  // nullptr: not set
    int done, failed, rejected;
  } cases[] = {
      {"1", 0, 1, 2},   {nullptr, 0, 0, 0}, {"", 0, 0, 0},   {"0", 0, 0, 0},
      {"yes", 0, 0, 0}, {"true", 0, 0, 0},  {"2", 0, 0, 0},  {"01", 0, 0, 0},
      {" 1", 0, 0, 0},  {"1 ", 0, 0, 0},    {"11", 0, 0, 0}, {"1\n", 0, 0, 0},
  };
  for (const auto& c : cases) {
    ExitStatusVariable variable(c.value);
    SCOPED_TRACE(c.value ? "\"" + std::string(c.value) + "\"" : "(not set)");
    EXPECT_EQ(ExitStatus(kExitDone), c.done);
    EXPECT_EQ(ExitStatus(kExitFailed), c.failed);
    EXPECT_EQ(ExitStatus(kExitRejected), c.rejected);
  }
}

// Each way of ending a run, with and without the variable: the line printed
// is the same, only the status differs.
TEST(ExitStatusDeathTest, EachEndingHasItsClass) {
  const struct {
    const char* value;
    int help, failure, rejection, password;
  } cases[] = {
      {"1", 0, 1, 2, 2},
      {nullptr, 0, 0, 0, 0},
      {"yes", 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    ExitStatusVariable variable(c.value);
    SCOPED_TRACE(c.value ? c.value : "(not set)");
    EXPECT_EXIT(DoShowHelp(), testing::ExitedWithCode(c.help), "");
    EXPECT_EXIT(RetError("Query Err"), testing::ExitedWithCode(c.failure), "");
    EXPECT_EXIT(RetUsageError("Invalid Number!"), testing::ExitedWithCode(c.rejection), "");
    EXPECT_EXIT(DoCommandUsage(), testing::ExitedWithCode(c.rejection), "");
    EXPECT_EXIT(DoCommandError(), testing::ExitedWithCode(c.rejection), "");
    // A typed password that is too long is the user's, never the hub's.
    EXPECT_EXIT(PasswordField("123456789"), testing::ExitedWithCode(c.password), "");
  }
}

// Shows the progress line on a terminal of its own, then ends the process.
void ShowTheProgressLineThen(void (*end)()) {
  int screen = -1, terminal = -1;
  openpty(&screen, &terminal, nullptr, nullptr, nullptr);
  dup2(terminal, STDERR_FILENO);
  ProgressWait("/dev/ttyUSB9", "no answer yet", TraceMs() + 9000);
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  end();
}

// With the progress line shown, exit() on any thread (a return from main is
// one), not through EndProcess, still ends the process with its status.
TEST(ProgressDeathTest, ExitWithTheLineShown) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // ProgressOn() decides once a process
  for (void (*end)() : {+[] { std::exit(3); }, +[] { std::thread([] { std::exit(3); }).join(); }})
    EXPECT_EXIT(ShowTheProgressLineThen(end), testing::ExitedWithCode(3), "");
}

}  // namespace
