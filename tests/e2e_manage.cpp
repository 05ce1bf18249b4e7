// /P, /W, /D and /R end to end: the exact requests, every failure line, and
// what the hub holds afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

Strings HubWith(const Strings& options) {
  Strings hub = {"--hub", "0", "--ports", "8", "--states", "0F000000", "--powerup", "F0000000"};
  hub.insert(hub.end(), options.begin(), options.end());
  return hub;
}

struct PasswordCase {
  const char* name;
  Strings args;         // after the switch
  std::string request;  // after "CP", without "\r"; empty: nothing is sent
  std::string out;
};

TEST(ChangePassword, PasswordsByteForByte) {
  const PasswordCase cases[] = {
      {"one password of three bytes", {"abc"}, "mora    abc     ", ""},
      {"exactly eight", {"12345678"}, "mora    12345678", ""},
      {"blank inside", {"a b"}, "mora    a b     ", ""},
      {"letter case kept", {"MixEd"}, "mora    MixEd   ", ""},
      {"multi-byte, eight bytes",
       {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"},
       "mora    \xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
       ""},
      {"no password at all", {}, "mora            ", ""},
      {"two passwords", {"mora", "new"}, "mora    new     ", ""},
      {"empty first of two", {"", "new"}, "        new     ", "Invalid Password!"},
      {"nine bytes", {"123456789"}, "", "Invalid Password!"},
      {"multi-byte, ten bytes",
       {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"},
       "",
       "Invalid Password!"},
      {"old of nine bytes", {"123456789", "new"}, "", "Invalid Password!"},
      {"new of nine bytes", {"mora", "123456789"}, "", "Invalid Password!"},
      {"both too long", {"123456789", "123456789"}, "", "Invalid Password!"},
  };
  for (const PasswordCase& c : cases) {
    SCOPED_TRACE(c.name);
    Strings args = {"/P:ttyUSB0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult run = RunWithHubs(HubWith({}), args);
    SKIP_WITHOUT_SANDBOX(run);
    EXPECT_EQ(run.out, c.out.empty() ? "" : c.out + "\n");
    EXPECT_EQ(run.status, 0);
    if (c.request.empty()) {
      EXPECT_TRUE(run.requests.empty());
      EXPECT_EQ(DumpField(run, "ttyUSB0", "password"), "mora    ");
    } else {
      EXPECT_EQ(RequestBytes(run), (Strings{"CP" + c.request + "\r"}));
      // The hub keeps the new password when the old one was right.
      EXPECT_EQ(DumpField(run, "ttyUSB0", "password"),
                c.out.empty() ? c.request.substr(8) : "mora    ");
    }
  }
}

TEST(ChangePassword, OldPasswordRefusedNewOneAccepted) {
  RunResult run =
      RunScriptWithHubs(HubWith({}),
                        "$NEXLI /P:ttyUSB0 S3cret; echo 1; $NEXLI /W:ttyUSB0; echo 2;"
                        " $NEXLI /W:ttyUSB0 s3cret; echo 3; $NEXLI /W:ttyUSB0 S3cret; echo 4;"
                        " $NEXLI /P:ttyUSB0 S3cret mora; $NEXLI /S:ttyUSB0 1:8");
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out, "1\nInvalid Password!\n2\nInvalid Password!\n3\n4\n");
  EXPECT_EQ(DumpField(run, "ttyUSB0", "password"), "mora    ");
  EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), "8F000000");
  EXPECT_EQ(DumpField(run, "ttyUSB0", "powerup"), "0F000000");
}

struct FailureRow {
  const char* name;
  Strings hub;   // hub options (or --no-hubs)
  Strings args;  // after the switch
  std::string out_w, out_d, out_r, out_p;
  bool sends;      // a request reaches the hub
  double seconds;  // at least this long
};

// Every failure row of the four commands against the same hub faults; the
// rows that wait out a silent hub run at once.
TEST(ManageHub, FailureTable) {
  const std::string kCmd = "Invalid Command!";
  const std::string kPwd = "Invalid Password!";
  const std::string kSave = "Save Port States Error!";
  const std::string kRestore = "Restore Default Error!";
  const std::string kChange = "Change Password Error!";
  const std::string kFlash = "Error to Save Port States to Flash!";
  const std::string kFactory = "Error to Restore Factory Default!";
  // clang-format off
  const FailureRow rows[] = {
      // name, hub, arguments, /W, /D, /R, /P, a request is sent, seconds
      {"third argument", HubWith({}), {"mora", "x"}, kCmd, kCmd, kCmd, "", true, 0},
      {"third argument and long password", HubWith({}), {"123456789", "x"},
       kCmd, kCmd, kCmd, kPwd, false, 0},
      {"password of nine bytes", HubWith({}), {"123456789"}, kPwd, kPwd, kPwd, kPwd, false, 0},
      {"no device", {"--no-hubs"}, {}, kSave, kRestore, "Reset Hub Error!", kChange, false, 0},
      {"not a terminal", {"--hub", "0", "--not-tty"}, {},
       kSave, kRestore, "Reset Hub Error!", kChange, false, 0},
      {"wrong password", HubWith({"--password", "other"}), {}, kPwd, kPwd, kPwd, kPwd, true, 0},
      {"E01 to everything", HubWith({"--e01"}), {}, kPwd, kPwd, kPwd, kPwd, true, 0},
      {"E01 then silence", HubWith({"--reply", "E01"}), {}, kSave, kRestore, kPwd, kChange, true, 10.1},
      {"refused", HubWith({"--reply", "E02\\r\\n"}), {}, kFlash, kFactory, "", kChange, true, 0},
      {"bare line feed", HubWith({"--reply", "\\n"}), {}, kFlash, kFactory, "", kChange, true, 0},
      {"over-long reply", HubWith({"--overlong"}), {}, kSave, kRestore, "", kChange, true, 0},
      {"hang-up", HubWith({"--hangup", "0"}), {}, kSave, kRestore, "", kChange, true, 0},
      {"silence", HubWith({"--silent"}), {}, kSave, kRestore, "", kChange, true, 10.1},
      {"another identity still accepts", HubWith({"--identity", "OTHERS"}), {},
       "", "", "", "", true, 0},
  };
  // clang-format on
  const struct {
    const char* letter;
    const char* code;
  } commands[] = {{"W", "WP"}, {"D", "RD"}, {"R", "RH"}, {"P", "CP"}};

  std::vector<Invocation> runs;
  for (const FailureRow& row : rows)
    for (const auto& command : commands) {
      Strings args = {std::string("/") + command.letter + ":ttyUSB0"};
      args.insert(args.end(), row.args.begin(), row.args.end());
      runs.push_back({row.hub, args});
    }
  std::vector<RunResult> results = RunAllWithHubs(runs);

  std::size_t i = 0;
  for (const FailureRow& row : rows)
    for (const auto& command : commands) {
      const RunResult& run = results[i++];
      SKIP_WITHOUT_SANDBOX(run);
      std::string letter = command.letter;
      SCOPED_TRACE(std::string(row.name) + ", /" + letter);
      const std::string& expected = letter == "W"   ? row.out_w
                                    : letter == "D" ? row.out_d
                                    : letter == "R" ? row.out_r
                                                    : row.out_p;
      EXPECT_EQ(run.out, expected.empty() ? "" : expected + "\n");
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(run.status, 0);
      // /P takes a second password where the others refuse a third argument.
      bool sends = row.sends && !(letter != "P" && row.args.size() > 1);
      ASSERT_EQ(run.requests.size(), sends ? 1u : 0u);
      if (sends) {
        EXPECT_EQ(run.requests[0].bytes.substr(0, 2), command.code);
      }
      // A silent hub costs 10.1 s, never less and never more than 11 s; any
      // other row ends without waiting.
      if (row.seconds > 0) {
        EXPECT_GE(run.seconds, row.seconds);
        EXPECT_GE(SecondsAfterLastRequest(run), row.seconds - kLogSlack);
        EXPECT_LT(SecondsAfterLastRequest(run), 11.0 + RunnerAllowance());
      } else {
        EXPECT_LT(SecondsAfterLastRequest(run), 5.0 + RunnerAllowance());
      }
    }
}

TEST(ManageHub, RequestsAndTheirEffect) {
  const struct {
    Strings args;
    std::string request;
    std::string present, powerup, password;
  } cases[] = {
      {{"/W:ttyUSB0"}, "WPmora    \r", "0F000000", "0F000000", "mora    "},
      {{"/W:ttyUSB0", ""}, "WPmora    \r", "0F000000", "0F000000", "mora    "},
      {{"/w:ttyusb0", "mora"}, "WPmora    \r", "0F000000", "0F000000", "mora    "},
      {{"/D:ttyUSB0"}, "RDmora    \r", "FFFFFFFF", "FFFFFFFF", "mora    "},
      {{"/R:ttyUSB0"}, "RHmora    \r", "F0000000", "F0000000", "mora    "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    RunResult run = RunWithHubs(HubWith({}), c.args);
    SKIP_WITHOUT_SANDBOX(run);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(RequestBytes(run), (Strings{c.request}));
    EXPECT_EQ(DumpField(run, "ttyUSB0", "present"), c.present);
    EXPECT_EQ(DumpField(run, "ttyUSB0", "powerup"), c.powerup);
    EXPECT_EQ(DumpField(run, "ttyUSB0", "password"), c.password);
  }
}

TEST(ManageHub, PasswordFields) {
  const struct {
    std::string hub_password;
    Strings args;
    std::string request;
  } cases[] = {
      {"abc", {"/W:ttyUSB0", "abc"}, "WPabc     \r"},
      {"12345678", {"/D:ttyUSB0", "12345678"}, "RD12345678\r"},
      {"x", {"/R:ttyUSB0", "x"}, "RHx       \r"},
      {"a b  ", {"/W:ttyUSB0", "a b  "}, "WPa b     \r"},
  };
  for (const auto& c : cases) {
    RunResult run = RunWithHubs(HubWith({"--password", c.hub_password}), c.args);
    SKIP_WITHOUT_SANDBOX(run);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(RequestBytes(run), (Strings{c.request}));
  }
}

TEST(ManageHub, RejectedPortsSendNothing) {
  for (const char* letter : {"W", "D", "R", "P"})
    for (const char* port : {"", ":", ":ttyACM0", ":ttyUSB"}) {
      RunResult run = RunWithHubs(HubWith({}), {std::string("/") + letter + port});
      SKIP_WITHOUT_SANDBOX(run);
      EXPECT_EQ(run.out, "Invalid Command!\n") << letter << port;
      EXPECT_TRUE(run.requests.empty());
    }
}

}  // namespace
