// The bench itself: hubsim's sandbox shows only virtual hubs, works for an
// ordinary user, keeps state across runs and paces bytes like a real line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

TEST(Sandbox, ShowsOnlyTheVirtualHubs) {
  RunResult run = RunWithHubs({"--hub", "3", "--hub", "200", "--not-tty"}, {});
  SKIP_WITHOUT_SANDBOX(run);
  // In /sys too, only the USB serial devices given IDs.
  run = RunScriptWithHubs({"--hub", "3", "--usb", "0403:6015", "--hub", "200", "--not-tty"},
                          "cd /dev && echo ttyUSB*; cd /sys/class/tty && echo *");
  EXPECT_EQ(run.out, "ttyUSB200 ttyUSB3\nttyUSB3\n");
  EXPECT_EQ(run.status, 0);
}

// A device on the host stays untouched by a scan inside the sandbox.
TEST(Sandbox, ScanDoesNotTouchTheHostsDevices) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to add a device to /dev";
  int master = -1;
  int slave = -1;
  char slave_path[128];
  ASSERT_EQ(openpty(&master, &slave, slave_path, nullptr, nullptr), 0);
  // The first free name from ttyUSB254 down (other runs may hold some).
  std::string host_device;
  for (int n = 254; n > 230 && host_device.empty(); --n) {
    std::string name = "/dev/ttyUSB" + std::to_string(n);
    if (symlink(slave_path, name.c_str()) == 0) host_device = name;
  }
  if (host_device.empty()) GTEST_SKIP() << "no free ttyUSB name on the host";

  RunResult run = RunWithHubs({"--hub", "1"}, {"/Q", "-F"});
  unlink(host_device.c_str());
  struct pollfd p = {master, POLLIN, 0};
  int bytes_arrived = poll(&p, 1, 100);
  close(master);
  close(slave);
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "0001ttyUSB1\n");
  EXPECT_EQ(bytes_arrived, 0);
}

TEST(Sandbox, WorksForAnOrdinaryUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
  const std::string program = std::getenv("NEXLI_PROGRAM") ? std::getenv("NEXLI_PROGRAM") : "";
  if (std::getenv("NEXLI_RUNNER") && *std::getenv("NEXLI_RUNNER"))
    GTEST_SKIP() << "runs the host program only";
  // The hub's USB IDs in the sandbox's /sys let the scan find it.
  RunResult run = RunCommand({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                              "--clear-groups", HubsimPath(), "--usb", "0403:6015", "--", "env",
                              "NEXLI_SCAN_MATCH=0403:6015", program, "/Q"});
  if (run.status == 77) GTEST_SKIP() << run.err;
  EXPECT_EQ(run.out,
            "ttyUSB0, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n"
            "1 Managed USB Hub(s) Found.\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

TEST(Sandbox, CommandStatusIsPassedOn) {
  RunResult run = RunScriptWithHubs({}, "exit 42");
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.status, 42);
}

// Power-up states and the password survive from one run to the next.
TEST(Hubsim, StateFileKeepsPowerUpStatesAndPassword) {
  char folder[] = "/tmp/nexli-state-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string file = std::string(folder) + "/hub0.state";
  const Strings hub = {"--hub", "0", "--ports", "8", "--state-file", file};

  RunResult run = RunScriptWithHubs(hub,
                                    "$NEXLI /F:ttyUSB0 1:2,3; $NEXLI /P:ttyUSB0 n3w; "
                                    "$NEXLI /S:ttyUSB0 n3w 0:ALL");
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "");
  // Next power-up: the saved states and the new password.
  run = RunScriptWithHubs(hub, "$NEXLI /G:ttyUSB0; $NEXLI /W:ttyUSB0; $NEXLI /W:ttyUSB0 n3w");
  EXPECT_EQ(run.out, "On=2,3 Off=1,4,5,6,7,8\nInvalid Password!\n");
  run = RunScriptWithHubs(hub, "$NEXLI /D:ttyUSB0 n3w");
  EXPECT_EQ(run.out, "");
  run = RunScriptWithHubs(hub, "$NEXLI /G:ttyUSB0 -H; $NEXLI /W:ttyUSB0");
  EXPECT_EQ(run.out, "FFFFFFFF\n");

  std::remove(file.c_str());
  rmdir(folder);
}

// A paced hub takes the line time of every byte in both directions.
TEST(Hubsim, PacedBytesTakeTheLineTime) {
  RunResult run = RunWithHubs({"--hub", "0", "--pace"}, {"/G:ttyUSB0", "-H"});
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "00000000\n");
  ASSERT_EQ(run.requests.size(), 2u);
  // "?Q\r" and its 17-byte reply, then "GP\r" and its 10-byte reply: 33 bytes
  // of 10 bits at 9600 bits per second.
  const double line_time = 33 * 10 / 9600.0;
  EXPECT_GE(run.seconds, line_time);
  // The second request follows the first reply's 20 bytes of line time.
  EXPECT_GE(run.requests[1].time - run.requests[0].time, 20 * 10 / 9600.0 - 0.001);
}

// Behind a bridge whose latency timer is 2 s, a reply reaches the program two
// seconds after its first byte left the hub, however late that was, unless 62
// bytes gathered first: a USB packet goes at once. Timed on the program's
// side, around hubsim; a period this long leaves a loaded runner a second and
// more of slack before a reply held twice would pass.
TEST(Hubsim, BridgeLatencyTimerPassesRepliesOnInBursts) {
  const std::string x59(59, 'X');
  const struct {
    Strings hub;
    Strings args;
    std::string out;
    double seconds;  // at least, and less than a period more
  } rows[] = {
      // clang-format off
      {{"--latency", "2000"}, {"/W:ttyUSB0"}, "", 2.0},
      {{"--latency", "2000"}, {"/G:ttyUSB0", "-H"}, "00000000\n", 4.0},
      {{"--latency", "2000", "--late", "500"}, {"/W:ttyUSB0"}, "", 2.5},
      {{"--latency", "2000", "--reply", x59 + "\\r\\n"}, {"/W:ttyUSB0"}, "Save Port States Error!\n", 2.0},
      {{"--latency", "2000", "--reply", x59 + "X\\r\\n"}, {"/W:ttyUSB0"}, "Save Port States Error!\n", 0},
      // clang-format on
  };
  std::vector<Invocation> invocations;
  for (const auto& row : rows) invocations.push_back({row.hub, row.args});
  std::vector<RunResult> runs = RunAllWithHubs(invocations);
  SKIP_WITHOUT_SANDBOX(runs[0]);
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].args[0] + " through hubsim --latency 2000, row " + std::to_string(i));
    EXPECT_EQ(runs[i].out, rows[i].out);
    EXPECT_GE(runs[i].seconds, rows[i].seconds);
    EXPECT_LT(runs[i].seconds, rows[i].seconds + 2.0 + RunnerAllowance());
  }
  // The 62 bytes came a period sooner than the 61, whatever runs the program.
  EXPECT_LT(runs[4].seconds, runs[3].seconds - 1.0);
}

}  // namespace
