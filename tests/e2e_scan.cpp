// The /Q scan queries every present device at once: the output is that of a
// scan one device after another, byte for byte, and a scan costs its slowest
// device, not the sum of them. NEXLI_SCAN_MATCH keeps it off every device
// whose USB IDs it does not name.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

const char* const kIdleHub = ", 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n";

// Seconds from the first request to device to the program's end.
double SecondsFromFirstRequestTo(const RunResult& run, const std::string& device) {
  double end = std::atof(DumpField(run, "command", "exited").c_str());
  for (const Request& request : run.requests)
    if (request.device == device) return end - request.time;
  return -1;
}

TEST(ParallelScan, SilentDevicesCostOneTimeOutInAll) {
  // Two hubs among four silent devices, another identity, a plain file and a
  // device that hangs up in the middle of its reply.
  const Strings hubs = {"--hub", "0",          "--ports",  "12",       "--states", "A6010000",
                        "--fw",  "fff",        "--hub",    "1",        "--silent", "--hub",
                        "2",     "--identity", "OTHERS",   "--hub",    "3",        "--not-tty",
                        "--hub", "4",          "--silent", "--hub",    "5",        "--hangup",
                        "8",     "--hub",      "9",        "--states", "01",       "--hub",
                        "17",    "--silent",   "--hub",    "200",      "--silent"};
  std::vector<RunResult> runs = RunAllWithHubs({{hubs, {"/Q"}}, {hubs, {"/Q", "-F"}}});
  SKIP_WITHOUT_SANDBOX(runs[0]);
  EXPECT_EQ(runs[0].out,
            "ttyUSB0, 12 ports, On=2,3,6,8,9, Off=1,4,5,7,10,11,12, FW=fff\n"
            "ttyUSB9, 8 ports, On=1, Off=2,3,4,5,6,7,8, FW=101\n"
            "2 Managed USB Hub(s) Found.\n");
  EXPECT_EQ(runs[1].out, "0002ttyUSB0,9\n");
  for (const RunResult& run : runs) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    // Four silent devices, one wait: at least the 10.1 s (read from the
    // log, with its slack), and well under two.
    EXPECT_GE(SecondsFromFirstRequestTo(run, "ttyUSB200"), 10.1 - kLogSlack);
    EXPECT_LT(run.seconds, 12.0 + RunnerAllowance());
    std::map<std::string, std::string> requests;
    for (const Request& request : run.requests) requests[request.device] += request.bytes;
    EXPECT_EQ(requests, (std::map<std::string, std::string>{{"ttyUSB0", "?Q\rGP\r"},
                                                            {"ttyUSB1", "?Q\r"},
                                                            {"ttyUSB2", "?Q\r"},
                                                            {"ttyUSB4", "?Q\r"},
                                                            {"ttyUSB5", "?Q\r"},
                                                            {"ttyUSB9", "?Q\rGP\r"},
                                                            {"ttyUSB17", "?Q\r"},
                                                            {"ttyUSB200", "?Q\r"}}));
  }
}

TEST(ParallelScan, HubsOnScatteredNumbersPrintInAscendingNumericOrder) {
  const Strings hubs = {"--hub", "255", "--ports", "4", "--hub", "100", "--states", "02",
                        "--hub", "10",  "--hub",   "9", "--hub", "0",   "--pace"};
  std::vector<RunResult> runs = RunAllWithHubs({{hubs, {"/Q"}}, {hubs, {"/Q", "-F"}}});
  SKIP_WITHOUT_SANDBOX(runs[0]);
  EXPECT_EQ(runs[0].out,
            "ttyUSB0, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n"
            "ttyUSB9, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n"
            "ttyUSB10, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n"
            "ttyUSB100, 8 ports, On=2, Off=1,3,4,5,6,7,8, FW=101\n"
            "ttyUSB255, 4 ports, On=None, Off=1,2,3,4, FW=101\n"
            "5 Managed USB Hub(s) Found.\n");
  EXPECT_EQ(runs[1].out, "0005ttyUSB0,9,10,100,255\n");
}

TEST(ParallelScan, ThirtyTwoPacedHubs) {
  Strings hubs;
  std::string list;
  std::string numbers;
  for (int n = 0; n < 64; n += 2) {
    hubs.insert(hubs.end(), {"--hub", std::to_string(n), "--pace"});
    list += "ttyUSB" + std::to_string(n) + kIdleHub;
    numbers += (numbers.empty() ? "" : ",") + std::to_string(n);
  }
  std::vector<RunResult> runs = RunAllWithHubs({{hubs, {"/Q"}}, {hubs, {"/Q", "-F"}}});
  SKIP_WITHOUT_SANDBOX(runs[0]);
  EXPECT_EQ(runs[0].out, list + "32 Managed USB Hub(s) Found.\n");
  EXPECT_EQ(runs[1].out, "0032ttyUSB" + numbers + "\n");
  EXPECT_EQ(runs[0].requests.size(), 64u);
}

// 256 present devices, 254 of them silent: all are queried at once, one wait
// in all (two would be 20.2 s). Under a limit of 64 descriptors, 40 hubs that
// answer a second late are queried a few at a time: none runs out of
// descriptors, and every hub is found.
TEST(ParallelScan, EveryNamePresentAtOnce) {
  Strings silent = {"--hub", "0"};
  for (int n = 1; n < 255; ++n)
    silent.insert(silent.end(), {"--hub", std::to_string(n), "--silent"});
  silent.insert(silent.end(), {"--hub", "255", "--states", "80"});
  Strings late;
  std::string numbers;
  for (int n = 0; n < 40; ++n) {
    late.insert(late.end(), {"--hub", std::to_string(n), "--late", "1000"});
    numbers += (n ? "," : "") + std::to_string(n);
  }
  std::vector<RunResult> runs = RunAllWithHubs({{silent, {}, {}, "ulimit -n 1024 && $NEXLI /Q"},
                                                {late, {}, {}, "ulimit -n 64 && $NEXLI /Q -F"}});
  SKIP_WITHOUT_SANDBOX(runs[0]);
  EXPECT_EQ(runs[0].out,
            "ttyUSB0, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n"
            "ttyUSB255, 8 ports, On=8, Off=1,2,3,4,5,6,7, FW=101\n"
            "2 Managed USB Hub(s) Found.\n");
  ASSERT_EQ(runs[0].requests.size(), 258u);
  // Every request out within moments, well before the first query's 10.1 s
  // wait ends (a second round would come after it), then that one wait. An
  // emulator starting 256 threads on a loaded machine took longer than that
  // wait to send them all (11.4 s): only a run without a runner is timed.
  if (RunnerAllowance() == 0) {
    EXPECT_LT(runs[0].requests.back().time - runs[0].requests.front().time, 5.0);
    EXPECT_GE(SecondsAfterLastRequest(runs[0]), 10.1 - kLogSlack);
    EXPECT_LT(SecondsAfterLastRequest(runs[0]), 11.0);
  }
  EXPECT_EQ(runs[1].out, "0040ttyUSB" + numbers + "\n");
  EXPECT_EQ(runs[1].requests.size(), 80u);
}

// Two hubs behind different USB serial bridges and two boards' consoles that
// answer (a login prompt), one behind a bridge of the first hub's vendor and
// another product, one with no USB IDs in sysfs. With NEXLI_SCAN_MATCH the
// scan never opens a device of other IDs or of none; a device named on the
// command line is asked anyway, under its udev name too, and its -J object
// names its bridge.
TEST(ScanMatch, OpensOnlyTheDevicesOfTheGivenUsbIds) {
  // clang-format off
  const Strings devices = {"--watch-opens",
                           "--hub", "0", "--usb", "0403:6015", "--serial", "DN05ABCD",
                           "--hub", "1", "--usb", "0403:6001", "--identity", "login:",
                           "--hub", "2", "--usb", "10c4:ea60", "--ports", "4",
                           "--hub", "3", "--identity", "login:"};
  // clang-format on
  const std::string hub0 = std::string("ttyUSB0") + kIdleHub;
  const std::string hub2 = "ttyUSB2, 4 ports, On=None, Off=1,2,3,4, FW=101\n";
  const std::map<std::string, std::string> every = {
      {"ttyUSB0", "?Q\rGP\r"}, {"ttyUSB1", "?Q\r"}, {"ttyUSB2", "?Q\rGP\r"}, {"ttyUSB3", "?Q\r"}};
  const struct {
    const char* script;  // after "export NEXLI_EXIT_STATUS=1;"
    std::string out;
    int status;
    std::map<std::string, std::string> requests;  // the devices opened, too
    Strings trace;                                // lines on standard error
  } rows[] = {
      {"$NEXLI /Q", hub0 + hub2 + "2 Managed USB Hub(s) Found.\n", 0, every, {}},
      {"NEXLI_SCAN_MATCH= $NEXLI /Q -F", "0002ttyUSB0,2\n", 0, every, {}},
      {"NEXLI_TRACE=1 NEXLI_SCAN_MATCH=0403:6015 $NEXLI /Q",
       hub0 + "1 Managed USB Hub(s) Found.\n",
       0,
       {{"ttyUSB0", "?Q\rGP\r"}},
       {" - scan: 1 of them match NEXLI_SCAN_MATCH 0403:6015\n",
        " ttyUSB1 scan: passed over, not opened: USB 0403:6001 without serial is not in "
        "NEXLI_SCAN_MATCH\n",
        R"( ttyUSB0 scan: a hub, 8 ports, firmware "101"; USB 0403:6015 serial "DN05ABCD")"}},
      {"NEXLI_SCAN_MATCH=10C4:EA60,0403:6015 $NEXLI /Q -F",
       "0002ttyUSB0,2\n",
       0,
       {{"ttyUSB0", "?Q\rGP\r"}, {"ttyUSB2", "?Q\rGP\r"}},
       {}},
      {"NEXLI_SCAN_MATCH=0403:6015,10c4 $NEXLI /Q -J", "Scan Match Error!\n", 2, {}, {}},
      {"NEXLI_SCAN_MATCH=0403:60g5 $NEXLI /Q; NEXLI_SCAN_MATCH=0403-6015 $NEXLI /Q -F",
       "Scan Match Error!\nScan Match Error!\n",
       2,
       {},
       {}},
      {"export NEXLI_SCAN_MATCH=0403:6015; ln -s ttyUSB2 /dev/ttyUSBHUB;"
       " $NEXLI /Q:ttyUSB2 && $NEXLI /Q:ttyUSBHUB -J",
       hub2 + R"({"device":"ttyUSBHUB","ports":4,"firmware":"101","on":[],"off":[1,2,3,4],)"
              R"("hex":"00000000","binary":"0000","usb_vendor":"10c4","usb_product":"ea60"})"
              "\n",
       0,
       {{"ttyUSB2", "?Q\rGP\r?Q\rGP\r"}},
       {}},
  };
  std::vector<Invocation> invocations;
  for (const auto& row : rows)
    invocations.push_back(
        {devices, {}, {}, std::string("export NEXLI_EXIT_STATUS=1;") + row.script});
  std::vector<RunResult> runs = RunAllWithHubs(invocations);
  SKIP_WITHOUT_SANDBOX(runs[0]);
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].script);
    EXPECT_EQ(runs[i].out, rows[i].out);
    EXPECT_EQ(runs[i].status, rows[i].status);
    EXPECT_EQ(RequestsByDevice(runs[i]), rows[i].requests);
    for (const char* device : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"})
      EXPECT_EQ(DumpField(runs[i], device, "opened"), rows[i].requests.count(device) ? "yes" : "no")
          << device;
    for (const std::string& line : rows[i].trace)
      EXPECT_NE(runs[i].err.find(line), std::string::npos) << runs[i].err;
    EXPECT_EQ(runs[i].err.empty(), rows[i].trace.empty()) << runs[i].err;
  }
}

}  // namespace
