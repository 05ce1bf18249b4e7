// The password of /S, /F, /P, /W, /D and /R from where a script keeps it:
// the command line, NEXLI_PASSWORD or the file NEXLI_PASSWORD_FILE names,
// read off the wire; an unusable file ends the command before anything is
// sent, and the password never shows in the command's arguments.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

// A fresh folder (mode 0755) for a test's password files.
std::string Folder() {
  char folder[] = "/tmp/nexli-password-XXXXXX";
  if (!mkdtemp(folder)) return "/nonexistent";
  chmod(folder, 0755);
  return folder;
}

// Writes bytes to dir/name, mode 0600; returns the path.
std::string Write(const std::string& dir, const char* name, const std::string& bytes) {
  std::string path = dir + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  chmod(path.c_str(), 0600);
  return path;
}

// Each command with the password on its command line or left out, and its
// last request around the 8-byte password field.
struct CommandCase {
  const char* name;
  Strings with_password, without;
  std::string before, after;
};

// clang-format off
const CommandCase kCommands[] = {
    {"/S", {"/S:ttyUSB0", "s3cret", "1:3"}, {"/S:ttyUSB0", "1:3"}, "SP", "05000000\r"},
    {"/F", {"/F:ttyUSB0", "s3cret", "0:1"}, {"/F:ttyUSB0", "0:1"}, "FP", "00000000\r"},
    {"/P", {"/P:ttyUSB0", "s3cret", "n3w"}, {"/P:ttyUSB0", "n3w"}, "CP", "n3w     \r"},
    {"/W", {"/W:ttyUSB0", "s3cret"}, {"/W:ttyUSB0"}, "WP", "\r"},
    {"/D", {"/D:ttyUSB0", "s3cret"}, {"/D:ttyUSB0"}, "RD", "\r"},
    {"/R", {"/R:ttyUSB0", "s3cret"}, {"/R:ttyUSB0"}, "RH", "\r"},
};
// clang-format on

// Every source for every command, traced: the password field read off the
// wire, or, from a file that cannot be used or a password too long, the
// message of a rejected argument with nothing sent; never the password in
// the trace.
TEST(PasswordSources, EverySourceForEveryCommand) {
  const std::string dir = Folder();
  const std::string good = Write(dir, "good", "s3cret\nsecond line\n");
  const std::string wrong = Write(dir, "wrong", "wrong\n");
  const std::string file = "NEXLI_PASSWORD_FILE=";
  const std::string file_error = "Password File Error!\n";
  const struct {
    const char* name;
    bool given;         // the password on the command line
    Strings env_words;  // besides NEXLI_EXIT_STATUS=1 and NEXLI_TRACE=1
    std::string field;  // the password field sent, which the hub has; or
    std::string out;    // the message, with nothing sent
  } sources[] = {
      // clang-format off
      {"variable", false, {"NEXLI_PASSWORD=s3cret"}, "s3cret  ", ""},
      {"file", false, {file + good}, "s3cret  ", ""},
      {"file, blanks kept, CR LF taken off", false, {file + Write(dir, "blanks", "s3 cr t \r\n")},
       "s3 cr t ", ""},
      {"variable before file", false, {"NEXLI_PASSWORD=s3cret", file + wrong}, "s3cret  ", ""},
      {"empty variable, then file", false, {"NEXLI_PASSWORD=", file + good}, "s3cret  ", ""},
      {"argument before both", true, {"NEXLI_PASSWORD=wrong", file + wrong}, "s3cret  ", ""},
      {"neither: the default", false, {"-u", "NEXLI_PASSWORD", "-u", "NEXLI_PASSWORD_FILE"},
       "mora    ", ""},
      {"empty file variable: the default", false, {"-u", "NEXLI_PASSWORD", file}, "mora    ", ""},
      // A writer that stays open: a line, then "\n" every 0.2 s until the command has
      // ended. (The variables added below and the program are the script's arguments.)
      {"a pipe, its first line", false, {file + "/dev/stdin", "sh", "-c",
       "(echo s3cret; while echo; do sleep 0.2; done) | timeout 9 env \"$0\" \"$@\""},
       "s3cret  ", ""},
      {"missing file", false, {file + dir + "/missing"}, "", file_error},
      {"a directory", false, {file + dir}, "", file_error},
      {"empty file", false, {file + Write(dir, "empty", "")}, "", file_error},
      {"empty first line", false, {file + Write(dir, "empty-line", "\ns3cret\n")}, "", file_error},
      {"a zero byte", false, {file + Write(dir, "zero", std::string("s3\0cret\n", 8))}, "",
       file_error},
      {"nine bytes", false, {file + Write(dir, "nine", "123456789\n")}, "", "Invalid Password!\n"},
      {"no line end in 100 bytes", false, {file + Write(dir, "long", std::string(100, 'x'))}, "",
       "Invalid Password!\n"},
      // clang-format on
  };

  std::vector<Invocation> runs;
  for (const auto& s : sources)
    for (const CommandCase& c : kCommands) {
      Strings env = s.env_words;
      env.insert(env.end(), {"NEXLI_EXIT_STATUS=1", "NEXLI_TRACE=1"});
      runs.push_back(
          {{"--hub", "0", "--states", "01", "--password", s.field.empty() ? "mora" : s.field},
           s.given ? c.with_password : c.without,
           env});
    }
  std::vector<RunResult> results = RunAllWithHubs(runs);
  std::filesystem::remove_all(dir);

  std::size_t i = 0;
  for (const auto& s : sources)
    for (const CommandCase& c : kCommands) {
      const RunResult& run = results[i++];
      SKIP_WITHOUT_SANDBOX(run);
      SCOPED_TRACE(std::string(c.name) + ", password from " + s.name);
      EXPECT_EQ(run.out, s.out);
      EXPECT_EQ(run.status, s.out.empty() ? 0 : 2);
      // The trace shows every password as stars, whatever its source.
      for (const char* password : {"s3cret", "s3 cr t", "mora", "n3w", "wrong"})
        EXPECT_EQ(run.err.find(password), std::string::npos) << run.err;
      if (!s.out.empty() || run.requests.empty()) {
        EXPECT_EQ(run.requests.empty(), !s.out.empty());
        continue;
      }
      EXPECT_EQ(run.requests.back().bytes, c.before + s.field + c.after);
      EXPECT_NE(run.err.find("sending \"" + c.before + "********"), std::string::npos);
    }
}

// An ordinary user's command with a file only root may read; and while
// commands with the password from the variable and from the file wait on a
// silent hub, their arguments (what ps shows) hold no password.
TEST(PasswordSources, UnreadableFileAndNothingInTheArguments) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
  const std::string dir = Folder();
  const std::string secret = Write(dir, "secret", "s3cret\n");
  const std::string script =
      "F=" + secret +
      "; NEXLI_EXIT_STATUS=1 NEXLI_PASSWORD_FILE=$F setpriv --reuid=65534 --regid=65534"
      " --clear-groups $NEXLI /W:ttyUSB0; echo status $?;"
      "NEXLI_PASSWORD=s3cret $NEXLI /W:ttyUSB0 & A=$!; NEXLI_PASSWORD_FILE=$F $NEXLI /D:ttyUSB1 & "
      "B=$!; sleep 1; for p in $A $B; do tr '\\0' '\\n' < /proc/$p/cmdline | tail -n 1; done;"
      "cat /proc/$A/cmdline /proc/$B/cmdline | grep -c s3cret; kill $A $B";
  RunResult run = RunScriptWithHubs({"--hub", "0", "--silent", "--hub", "1", "--silent"}, script);
  std::filesystem::remove_all(dir);
  SKIP_WITHOUT_SANDBOX(run);
  EXPECT_EQ(run.out,
            "Password File Error!\n"
            "status 2\n"
            "/W:ttyUSB0\n"
            "/D:ttyUSB1\n"
            "0\n");
  // Each waiting command had sent its request; the refused one nothing.
  EXPECT_EQ(run.requests.size(), 2u);
}

}  // namespace
