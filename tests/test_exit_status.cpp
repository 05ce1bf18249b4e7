// The exit status: 0 unless NEXLI_EXIT_STATUS is exactly "1", and then the
// outcome class that each way of ending a run gives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "exit_status.h"
#include "front_end.h"
#include "serial_link.h"

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

}  // namespace
