// Running the built program end to end, directly or inside hubsim's sandbox
// of virtual hubs, and reading back what went over the wire.
//
// The program under test comes from the environment, so one test binary runs
// against every build: NEXLI_PROGRAM (path), NEXLI_RUNNER (optional command
// prefix such as an emulator, words separated by blanks), NEXLI_TEST_REVISION
// (103 or 102) and HUBSIM (path of hubsim).
#ifndef NEXLI_TESTS_E2E_SUPPORT_H
#define NEXLI_TESTS_E2E_SUPPORT_H

#include <map>
#include <string>
#include <vector>

// One request as the virtual hub received it.
struct Request {
  std::string device;  // "ttyUSB0"
  std::string bytes;   // byte for byte, "\r" included
  double time = 0;     // seconds since the epoch
};

struct RunResult {
  int status = -1;                // exit status of the program (through hubsim)
  std::string out;                // standard output, byte for byte
  std::string err;                // standard error
  double seconds = 0;             // wall time of the whole run
  double end_time = 0;            // when it ended, in seconds since the epoch
  std::vector<Request> requests;  // in arrival order
  std::string dump;               // hubsim's hub states at exit
  bool skipped = false;           // no sandbox could be made
};

// The revision under test: 103 (nexli) or 102 (nexla).
int RevisionUnderTest();
// "nexli" or "nexla".
std::string ProgramName();
// The help text of the revision under test, from the golden copy of nexli's.
std::string ExpectedHelp();

// Runs argv (found on PATH) to its end, standard input /dev/null.
RunResult RunCommand(const std::vector<std::string>& argv);

// The path of hubsim.
std::string HubsimPath();

// Runs the program with args, outside any sandbox, standard input /dev/null.
RunResult RunProgram(const std::vector<std::string>& args);

// Runs the program with args inside hubsim started with hub_options.
RunResult RunWithHubs(const std::vector<std::string>& hub_options,
                      const std::vector<std::string>& args);

// The same through env(1) given env_words first ("NAME=value" sets a
// variable, "-u", "NAME" unsets it), so that the program, and the runner
// before it, see that environment. (The tests themselves run with
// NEXLI_EXIT_STATUS unset, whatever the caller's environment holds.)
RunResult RunWithHubs(const std::vector<std::string>& hub_options,
                      const std::vector<std::string>& env_words,
                      const std::vector<std::string>& args);

// Runs a shell script inside hubsim; "$NEXLI" in the script runs the program.
// With terminal_err its standard error is a pseudo-terminal, whose output
// comes back in err.
RunResult RunScriptWithHubs(const std::vector<std::string>& hub_options, const std::string& script,
                            bool terminal_err = false);

// One run of the program: hub options, the program's arguments and, if any,
// the words of env(1) to run it through.
struct Invocation {
  std::vector<std::string> hub_options;
  std::vector<std::string> args;
  std::vector<std::string> env_words = {};
  std::string script = "";    // when set: RunScriptWithHubs(hub_options, script,
  bool terminal_err = false;  //                             terminal_err)
};

// Runs the invocations side by side (each in its own sandbox, at most 16 at
// a time), for rows that wait out time-outs; the results come back in the
// order given.
std::vector<RunResult> RunAllWithHubs(const std::vector<Invocation>& runs);

// Seconds from the last request's arrival at a hub to the program's end (as
// hubsim saw it): the wait for the reply, without the program's start-up.
double SecondsAfterLastRequest(const RunResult& run);

// Seconds the runner of the program (NEXLI_RUNNER: an emulator, a memory
// checker) may add to a run: its own start-up and exit. valgrind's memcheck,
// with its leak check at exit, overran the program's own bounds by up to
// 0.8 s with the suite's runs side by side. Upper time bounds add it; it is 0
// without a runner.
double RunnerAllowance();

// hubsim notes a request when it gets round to reading it, which on a busy
// machine can be a tenth of a second or more after the program wrote it (one
// run under load measured 0.12 s), so a wait read from its log may look that
// much shorter than the program's. Lower bounds read from the log allow this;
// the exact waits are asserted in-process, and a run's wall time holds them.
const double kLogSlack = 0.5;

// The requests' bytes only, in order.
std::vector<std::string> RequestBytes(const RunResult& run);

// Each device's requests, joined in arrival order.
std::map<std::string, std::string> RequestsByDevice(const RunResult& run);

// The value of field (e.g. "present") of device's line in the dump.
std::string DumpField(const RunResult& run, const std::string& device, const std::string& field);

// Skips the running test when the sandbox could not be made.
#define SKIP_WITHOUT_SANDBOX(run)                                        \
  do {                                                                   \
    if ((run).skipped) GTEST_SKIP() << "no private /dev: " << (run).err; \
  } while (0)

#endif
