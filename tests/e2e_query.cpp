// /Q and /G end to end against virtual hubs: every output form byte for byte,
// every failure line, and the requests that went over the wire.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

const char* const kQuery = "?Q\r";
const char* const kGetState = "GP\r";

// The list of ports from..to joined by ",".
std::string Ports(int from, int to) {
  std::string list;
  for (int p = from; p <= to; ++p) list += (list.empty() ? "" : ",") + std::to_string(p);
  return list;
}

TEST(Scan, FindsTheHubOnTtyUSB0) {
  RunResult run = RunWithHubs({}, {"/Q"});
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out,
            "ttyUSB0, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n"
            "1 Managed USB Hub(s) Found.\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(RequestBytes(run), (Strings{kQuery, kGetState}));
}

TEST(Scan, ListsHubsInAscendingNumericOrder) {
  const Strings hubs = {"--hub",   "255", "--ports",  "4",        "--states", "05",  "--hub", "10",
                        "--ports", "12",  "--states", "A6010000", "--fw",     "fff", "--hub", "2"};
  RunResult run = RunWithHubs(hubs, {"/Q"});
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out,
            "ttyUSB2, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n"
            "ttyUSB10, 12 ports, On=2,3,6,8,9, Off=1,4,5,7,10,11,12, FW=fff\n"
            "ttyUSB255, 4 ports, On=1,3, Off=2,4, FW=101\n"
            "3 Managed USB Hub(s) Found.\n");
  // The devices are queried at once; each one's own requests stay in order.
  EXPECT_EQ(RequestsByDevice(run),
            (std::map<std::string, std::string>{
                {"ttyUSB2", "?Q\rGP\r"}, {"ttyUSB10", "?Q\rGP\r"}, {"ttyUSB255", "?Q\rGP\r"}}));

  for (const char* option : {"-F", "-f"}) {
    run = RunWithHubs(hubs, {"/q", option});
    EXPECT_EQ(run.out, "0003ttyUSB2,10,255\n");
  }
}

TEST(Scan, SkipsWhatIsNotAHubWithoutAWord) {
  // Another identity, a silent device (10.1 s), a plain file, a hub whose
  // state request fails, and one good hub.
  const Strings hubs = {"--hub",      "1",     "--identity", "OTHERS",    "--hub", "3",
                        "--silent",   "--hub", "4",          "--not-tty", "--hub", "5",
                        "--fault-on", "GP",    "--hangup",   "0",         "--hub", "6",
                        "--ports",    "2",     "--states",   "03"};
  RunResult run = RunWithHubs(hubs, {"/Q"});
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out,
            "ttyUSB6, 2 ports, On=1,2, Off=None, FW=101\n"
            "1 Managed USB Hub(s) Found.\n");
  // "?Q\r" to every device that opens and configures; "GP\r" only to hubs.
  EXPECT_EQ(RequestsByDevice(run), (std::map<std::string, std::string>{{"ttyUSB1", "?Q\r"},
                                                                       {"ttyUSB3", "?Q\r"},
                                                                       {"ttyUSB5", "?Q\rGP\r"},
                                                                       {"ttyUSB6", "?Q\rGP\r"}}));
  // The silent device costs one wait of 10.1 s, no more (read from hubsim's
  // log, with its slack).
  double silent_wait = 0;
  for (const Request& request : run.requests)
    if (request.device == "ttyUSB3")
      silent_wait = std::atof(DumpField(run, "command", "exited").c_str()) - request.time;
  EXPECT_GE(silent_wait, 10.1 - kLogSlack);
  EXPECT_LT(silent_wait, 11.0 + RunnerAllowance());
}

TEST(Scan, NoHubAtAll) {
  RunResult run = RunWithHubs({"--no-hubs"}, {"/Q"});
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "0 Managed USB Hub(s) Found.\n");
  run = RunWithHubs({"--no-hubs"}, {"/Q", "-F"});
  EXPECT_EQ(run.out, "0000ttyUSB\n");
  EXPECT_TRUE(run.requests.empty());
}

TEST(QueryOne, ListAndFormattedForms) {
  const Strings hub12 = {"--hub", "0", "--ports", "12", "--states", "A6010000", "--fw", "fff"};
  const struct {
    Strings hubs;
    Strings args;
    std::string out;
  } cases[] = {
      {hub12, {"/Q:ttyUSB0"}, "ttyUSB0, 12 ports, On=2,3,6,8,9, Off=1,4,5,7,10,11,12, FW=fff\n"},
      {hub12, {"/Q:ttyUSB0", "-F"}, "A60100000Cfff\r\n"},
      {hub12, {"/q-ttyusb0", "-f"}, "A60100000Cfff\r\n"},
      {{"--hub", "3"}, {"/q:TTYUSB3"}, "ttyUSB3, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101\n"},
      {{"--hub", "7", "--ports", "4"}, {"/Q:ttyUSB7", "-F"}, "0000000004101\r\n"},
      {{"--hub", "0", "--ports", "0"},
       {"/Q:ttyUSB0"},
       "ttyUSB0, 0 ports, On=None, Off=None, FW=101\n"},
      {{"--hub", "0", "--ports", "-1", "--states", "FF"},
       {"/Q:ttyUSB0", "-F"},
       "FF000000FFFFFFFF101\r\n"},
      {{"--hub", "0", "--ports", "40", "--states", "FFFFFFFF"},
       {"/Q:ttyUSB0", "-F"},
       "FFFFFFFF28101\r\n"},
      {{"--hub", "0", "--ports", "40", "--states", "FFFFFFFF"},
       {"/Q:ttyUSB0"},
       "ttyUSB0, 40 ports, On=" + Ports(1, 32) + ", Off=" + Ports(33, 40) + ", FW=101\n"},
      {{"--hub", "0", "--ports-text", "ab"},
       {"/Q:ttyUSB0"},
       "ttyUSB0, 0 ports, On=None, Off=None, FW=101\n"},
  };
  for (const auto& c : cases) {
    RunResult run = RunWithHubs(c.hubs, c.args);
    SKIP_WITHOUT_SANDBOX(run);
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(RequestBytes(run), (Strings{kQuery, kGetState}));
  }
}

struct Failure {
  const char* name;
  Strings hubs;
  Strings requests;
  std::string out;
};

// The failures of the identification query, as /Q:ttyUSB0 and /G report them.
const Failure kQueryFailures[] = {
    {"no device", {"--no-hubs"}, {}, "Query Err\n"},
    {"not a terminal", {"--hub", "0", "--not-tty"}, {}, "Query Err\n"},
    {"another identity", {"--hub", "0", "--identity", "OTHERS"}, {kQuery}, "ID Err\n"},
    {"identity in lower case", {"--hub", "0", "--identity", "torvan"}, {kQuery}, "ID Err\n"},
    {"over-long query reply", {"--hub", "0", "--overlong"}, {kQuery}, "Query Err\n"},
    {"short query reply",
     {"--hub", "0", "--fault-on", "?Q", "--reply", "TORVAN    8\\r\\n"},
     {kQuery},
     "Query Err\n"},
    {"hang-up in the query reply",
     {"--hub", "0", "--fault-on", "?Q", "--hangup", "7"},
     {kQuery},
     "Query Err\n"},
    {"E01 to everything", {"--hub", "0", "--e01"}, {kQuery}, "Query Err\n"},
    {"hang-up in the state reply",
     {"--hub", "0", "--fault-on", "GP", "--hangup", "3"},
     {kQuery, kGetState},
     "Get Port State Err\n"},
    {"short state reply",
     {"--hub", "0", "--garbage-states", "050000"},
     {kQuery, kGetState},
     "Get Port State Err\n"},
    {"over-long state reply",
     {"--hub", "0", "--fault-on", "GP", "--overlong"},
     {kQuery, kGetState},
     "Get Port State Err\n"},
};

TEST(QueryOne, FailureLines) {
  for (const Failure& c : kQueryFailures)
    for (const Strings& args : {Strings{"/Q:ttyUSB0"}, Strings{"/Q:ttyUSB0", "-J"}}) {
      SCOPED_TRACE(std::string(c.name) + ", " + args.back());
      RunResult run = RunWithHubs(c.hubs, args);
      SKIP_WITHOUT_SANDBOX(run);
      EXPECT_EQ(run.out, c.out);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(RequestBytes(run), c.requests);
    }
}

TEST(GetStates, FailureLines) {
  for (const Failure& c : kQueryFailures)
    for (const char* option : {"-H", "-J"}) {
      SCOPED_TRACE(std::string(c.name) + ", " + option);
      RunResult run = RunWithHubs(c.hubs, {"/G:ttyUSB0", option});
      SKIP_WITHOUT_SANDBOX(run);
      EXPECT_EQ(run.out, c.out);
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(RequestBytes(run), c.requests);
    }
}

TEST(QueryOne, SilentDeviceIsAQueryError) {
  RunResult run = RunWithHubs({"--hub", "0", "--silent"}, {"/Q:ttyUSB0", "-F"});
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "Query Err\n");
  EXPECT_GE(run.seconds, 10.1);
  EXPECT_GE(SecondsAfterLastRequest(run), 10.1 - kLogSlack);
  EXPECT_LT(SecondsAfterLastRequest(run), 11.0 + RunnerAllowance());
}

TEST(QueryAndGet, RejectedCommandLinesSendNothing) {
  const Strings cases[] = {
      {"/Query"},
      {"/Q:"},
      {"/Q:ttyUSB"},
      {"/Q", "mora"},
      {"/Q", "-F", "x"},
      {"/Q", "-B"},
      {"/Q:ttyUSB0", "-H"},
      {"/Q:ttyACM0"},
      {"/Q:ttyUSB0", "-F", "x"},
      {"/G"},
      {"/G:ttyUSB0", "-BX"},
      {"/G:ttyUSB0", "B"},
      {"/G:ttyUSB0", "-F"},
      {"/G:ttyUSB0", "-B", "x"},
      {"/G:ttyUSB0", "", "x"},
      {"/G:ttyACM0", "-H"},
      {"/Q", "-J", "x"},
      {"/Q", "-JX"},
      {"/Query", "-J"},
      {"/Q:ttyUSB0", "-J", "-F"},
      {"/G", "-J"},
      {"/G:ttyUSB0", "J"},
  };
  for (const Strings& args : cases) {
    RunResult run = RunWithHubs({}, args);
    SKIP_WITHOUT_SANDBOX(run);
    SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args[1] : ""));
    EXPECT_EQ(run.out, "Invalid Command!\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.requests.empty());
  }
}

TEST(GetStates, ThreeForms) {
  const struct {
    const char* name;
    Strings hubs;
    std::string list, binary, hex;
  } cases[] = {
      {"4 ports", {"--ports", "4", "--states", "05"}, "On=1,3 Off=2,4", "0101", "05000000"},
      {"all off", {"--ports", "4"}, "On=None Off=1,2,3,4", "0000", "00000000"},
      {"12 ports",
       {"--ports", "12", "--states", "a6010000"},
       "On=2,3,6,8,9 Off=1,4,5,7,10,11,12",
       "000110100110",
       "A6010000"},
      {"no ports", {"--ports", "0", "--states", "FF"}, "On=None Off=None", "", "FF000000"},
      {"negative count", {"--ports", "-3", "--states", "FF"}, "On=None Off=None", "", "FF000000"},
      {"port 32 on",
       {"--ports", "32", "--states", "00000080"},
       "On=32 Off=" + Ports(1, 31),
       "1" + std::string(31, '0'),
       "00000080"},
      {"40 ports",
       {"--ports", "40", "--states", "FFFFFFFF"},
       "On=" + Ports(1, 32) + " Off=" + Ports(33, 40),
       std::string(8, '0') + std::string(32, '1'),
       "FFFFFFFF"},
      {"99 ports",
       {"--ports", "99", "--states", "01000000"},
       "On=1 Off=" + Ports(2, 99),
       std::string(98, '0') + "1",
       "01000000"},
      // Every hex digit.
      {"digit 9",
       {"--ports", "8", "--states", "99000000"},
       "On=1,4,5,8 Off=2,3,6,7",
       "10011001",
       "99000000"},
      {"digits 0-7",
       {"--ports", "32", "--states", "01234567"},
       "On=1,9,10,14,17,19,23,25,26,27,30,31 "
       "Off=2,3,4,5,6,7,8,11,12,13,15,16,18,20,21,22,24,28,29,32",
       "01100111010001010010001100000001",
       "01234567"},
      {"digits 8-F",
       {"--ports", "32", "--states", "89ABCDEF"},
       "On=1,4,8,9,10,12,14,16,17,19,20,23,24,25,26,27,28,30,31,32 "
       "Off=2,3,5,6,7,11,13,15,18,21,22,29",
       "11101111110011011010101110001001",
       "89ABCDEF"},
      {"digits a-f",
       {"--ports", "32", "--garbage-states", "89abcdef"},
       "On=1,4,8,9,10,12,14,16,17,19,20,23,24,25,26,27,28,30,31,32 "
       "Off=2,3,5,6,7,11,13,15,18,21,22,29",
       "11101111110011011010101110001001",
       "89ABCDEF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Strings hubs = {"--hub", "0"};
    hubs.insert(hubs.end(), c.hubs.begin(), c.hubs.end());
    const struct {
      Strings args;
      std::string out;
    } forms[] = {{{"/G:ttyUSB0"}, c.list + "\n"},
                 {{"/G:ttyUSB0", "-B"}, c.binary + "\n"},
                 {{"/g:ttyusb0", "-b", ""}, c.binary + "\n"},
                 {{"/G:ttyUSB0", "-H"}, c.hex + "\n"},
                 {{"/G:ttyUSB0", "-h"}, c.hex + "\n"}};
    for (const auto& form : forms) {
      RunResult run = RunWithHubs(hubs, form.args);
      SKIP_WITHOUT_SANDBOX(run);
      EXPECT_EQ(run.out, form.out) << form.args.back();
      EXPECT_EQ(RequestBytes(run), (Strings{kQuery, kGetState}));
    }
  }
}

// Reads a -J document back into the text forms: each hub's /Q:ttyUSBn line, then
// its /G -H and /G -B lines, the firmware's characters written as the bytes
// of the same codes (Latin-1).
const char* const kJsonToTextForms = R"(
import json, sys
document = json.loads(sys.argv[1])
for hub in document if isinstance(document, list) else [document]:
    on = ",".join(str(port) for port in hub["on"]) or "None"
    off = ",".join(str(port) for port in hub["off"]) or "None"
    text = "%s, %d ports, On=%s, Off=%s, FW=%s\n%s\n%s\n" % (
        hub["device"], hub["ports"], on, off, hub["firmware"], hub["hex"], hub["binary"])
    sys.stdout.buffer.write(text.encode("latin-1"))
)";

// Every -J document byte for byte; read by Python's json module, it gives
// what the text forms print for the same hubs; and it took the requests of
// the text forms.
TEST(Json, ReadBackByAJsonReaderItIsWhatTheTextFormsSay) {
  const Strings hub12 = {"--hub", "0", "--ports", "12", "--states", "A6010000", "--fw", "fff"};
  const std::string json12 =
      R"({"device":"ttyUSB0","ports":12,"firmware":"fff","on":[2,3,6,8,9],)"
      R"("off":[1,4,5,7,10,11,12],"hex":"A6010000","binary":"000110100110"})";
  // Firmware a hub may send: a quote, a backslash, control bytes, DEL and
  // bytes that are not UTF-8.
  const Strings three = {"--hub",    "10",  "--ports",  "12",         "--states", "A6010000",
                         "--fw",     "fff", "--hub",    "2",          "--ports",  "4",
                         "--states", "05",  "--fw",     R"("\\\xC1)", "--hub",    "255",
                         "--ports",  "-1",  "--states", "FF",         "--fw",     R"(\t\x01\x7F)"};
  const struct {
    const char* name;
    Strings hubs;
    Strings args;
    std::string out;
    Strings devices;  // the hubs the command speaks to
  } cases[] = {
      {"scan, no hub", {"--no-hubs"}, {"/Q", "-J"}, "[]\n", {}},
      {"scan, one hub",
       {},
       {"/q", "-j"},
       R"([{"device":"ttyUSB0","ports":8,"firmware":"101","on":[],"off":[1,2,3,4,5,6,7,8],)"
       R"("hex":"00000000","binary":"00000000"}])"
       "\n",
       {"ttyUSB0"}},
      {"scan, three hubs",
       three,
       {"/Q", "-J"},
       R"([{"device":"ttyUSB2","ports":4,"firmware":"\"\\\u00c1","on":[1,3],"off":[2,4],)"
       R"("hex":"05000000","binary":"0101"},)"
       R"({"device":"ttyUSB10","ports":12,"firmware":"fff","on":[2,3,6,8,9],)"
       R"("off":[1,4,5,7,10,11,12],"hex":"A6010000","binary":"000110100110"},)"
       R"({"device":"ttyUSB255","ports":-1,"firmware":"\t\u0001\u007f","on":[],"off":[],)"
       R"("hex":"FF000000","binary":""}])"
       "\n",
       {"ttyUSB2", "ttyUSB10", "ttyUSB255"}},
      {"scan, a hub behind a USB bridge with an odd serial",
       {"--usb", "0403:6015", "--serial", R"(FT"\\\xC1ABCDEFGHIJKLMNO)"},
       {"/Q", "-J"},
       R"([{"device":"ttyUSB0","ports":8,"firmware":"101","on":[],"off":[1,2,3,4,5,6,7,8],)"
       R"("hex":"00000000","binary":"00000000","usb_vendor":"0403","usb_product":"6015",)"
       R"("usb_serial":"FT\"\\\u00c1ABCDEFGHIJKLMNO"}])"
       "\n",
       {"ttyUSB0"}},
      {"one hub", hub12, {"/Q:ttyUSB0", "-J"}, json12 + "\n", {"ttyUSB0"}},
      {"one hub, /G", hub12, {"/g:ttyusb0", "-J"}, json12 + "\n", {"ttyUSB0"}},
      {"a carriage return in the firmware",
       {"--fw", "1\\r2"},
       {"/G:ttyUSB0", "-J"},
       R"({"device":"ttyUSB0","ports":8,"firmware":"1\r2","on":[],"off":[1,2,3,4,5,6,7,8],)"
       R"("hex":"00000000","binary":"00000000"})"
       "\n",
       {"ttyUSB0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult run = RunWithHubs(c.hubs, c.args);
    SKIP_WITHOUT_SANDBOX(run);
    EXPECT_EQ(run.out, c.out);
    std::map<std::string, std::string> requests;
    std::string script;
    for (const std::string& device : c.devices) {
      requests[device] = "?Q\rGP\r";
      script +=
          "$NEXLI /Q:" + device + "; $NEXLI /G:" + device + " -H; $NEXLI /G:" + device + " -B;";
    }
    EXPECT_EQ(RequestsByDevice(run), requests);

    RunResult read = RunCommand({"/usr/bin/python3", "-c", kJsonToTextForms, run.out});
    EXPECT_EQ(read.err, "");
    EXPECT_EQ(read.out, RunScriptWithHubs(c.hubs, script + "true").out);
  }
}

// Started as a session leader without a controlling terminal, as some service
// managers start programs, the program must not take the hub's line as its
// terminal: the hub's hang-up would then end it by SIGHUP, without a word.
TEST(GetStates, SessionLeaderOutlivesAHangUp) {
  if (access("/usr/bin/setsid", X_OK) != 0) GTEST_SKIP() << "no setsid";
  RunResult run = RunScriptWithHubs({"--hub", "0", "--fault-on", "GP", "--hangup", "3"},
                                    "/usr/bin/setsid -w $NEXLI /G:ttyUSB0; echo \"status $?\"");
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "Get Port State Err\nstatus 0\n");
  EXPECT_EQ(run.err, "");
}

// Bytes after a reply's line feed never become part of the next reply.
TEST(GetStates, BytesAfterTheLineFeedAreNotTakenIntoTheNextReply) {
  RunResult run =
      RunWithHubs({"--hub", "0", "--ports", "4", "--states", "05", "--trailing", "FFFFFFFF\\r\\n"},
                  {"/G:ttyUSB0", "-H"});
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "05000000\n");
  run =
      RunScriptWithHubs({"--hub", "0", "--ports", "4", "--states", "05", "--trailing", "E01\\r\\n"},
                        "$NEXLI /G:ttyUSB0 -H; $NEXLI /Q:ttyUSB0 -F");
  EXPECT_EQ(run.out, "05000000\n0500000004101\r\n");
}

}  // namespace

namespace {

// Bytes above 127 in a state reply convert as the revision reads character
// codes: 1.03 as signed (0xC1 is -63, below '9'), 1.02 as unsigned (193).
TEST(GetStates, BytesAbove127FollowTheRevision) {
  const Strings hub = {"--hub", "0", "--ports", "8", "--garbage-states", "\\xC10000000"};
  const bool signed_codes = RevisionUnderTest() == 103;
  const struct {
    Strings args;
    std::string out;
  } cases[] = {
      {{"/G:ttyUSB0", "-H"}, signed_codes ? "10F9FFFF\n" : "A0080000\n"},
      {{"/G:ttyUSB0", "-B"}, signed_codes ? "00010000\n" : "10100000\n"},
      {{"/G:ttyUSB0"}, signed_codes ? "On=5 Off=1,2,3,4,6,7,8\n" : "On=6,8 Off=1,2,3,4,5,7\n"},
      {{"/Q:ttyUSB0", "-F"}, signed_codes ? "10F9FFFF08101\r\n" : "A008000008101\r\n"},
  };
  for (const auto& c : cases) {
    RunResult run = RunWithHubs(hub, c.args);
    SKIP_WITHOUT_SANDBOX(run);
    EXPECT_EQ(run.out, c.out) << c.args.back();
  }
}

}  // namespace
