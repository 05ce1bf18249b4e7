// The password of /S, /F, /P, /W, /D and /R from where a script keeps it:
// the command line, NEXLI_PASSWORD or the file NEXLI_PASSWORD_FILE names,
// read off the wire; an unusable file ends the command before anything is
// sent, and the password never shows in the command's arguments.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Strings = std::vector<std::string>;

// A folder of password files for one test, removed with it.
class PasswordFiles {
 public:
  PasswordFiles() {
    char folder[] = "/tmp/nexli-password-XXXXXX";
    if (mkdtemp(folder)) dir_ = folder;
    chmod(dir_.c_str(), 0755);
  }
  ~PasswordFiles() {
    for (const std::string& name : names_) std::remove(Path(name).c_str());
    rmdir((dir_ + "/directory").c_str());
    rmdir(dir_.c_str());
  }
  // Writes bytes to the file name (mode 0600); returns its path.
  std::string Write(const std::string& name, const std::string& bytes) {
    std::ofstream(Path(name), std::ios::binary) << bytes;
    chmod(Path(name).c_str(), 0600);
    names_.push_back(name);
    return Path(name);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
  Strings names_;
};

// Each command with the password on its command line (pw) or left out, and
// its last request around the 8-byte password field.
struct CommandCase {
  const char* name;
  Strings with_password;  // "pw" stands for the password
  Strings without;
  std::string before, after;
};

// clang-format off
const CommandCase kCommands[] = {
    {"/S", {"/S:ttyUSB0", "pw", "1:3"}, {"/S:ttyUSB0", "1:3"}, "SP", "05000000\r"},
    {"/F", {"/F:ttyUSB0", "pw", "0:1"}, {"/F:ttyUSB0", "0:1"}, "FP", "00000000\r"},
    {"/P", {"/P:ttyUSB0", "pw", "n3w"}, {"/P:ttyUSB0", "n3w"}, "CP", "n3w     \r"},
    {"/W", {"/W:ttyUSB0", "pw"}, {"/W:ttyUSB0"}, "WP", "\r"},
    {"/D", {"/D:ttyUSB0", "pw"}, {"/D:ttyUSB0"}, "RD", "\r"},
    {"/R", {"/R:ttyUSB0", "pw"}, {"/R:ttyUSB0"}, "RH", "\r"},
};
// clang-format on

Strings Args(const CommandCase& c, bool password_given, const std::string& password) {
  if (!password_given) return c.without;
  Strings args = c.with_password;
  args[1] = password;
  return args;
}

TEST(PasswordSources, EverySourceForEveryCommand) {
  PasswordFiles files;
  const std::string good = files.Write("good", "s3cret\nsecond line\n");
  const std::string blanks = files.Write("blanks", "s3 cr t \r\n");
  const std::string wrong = files.Write("wrong", "wrong\n");
  const Strings unset = {"-u", "NEXLI_PASSWORD", "-u", "NEXLI_PASSWORD_FILE"};
  const struct {
    const char* name;
    bool given;         // the password on the command line
    Strings env_words;  // besides NEXLI_EXIT_STATUS=1
    std::string field;  // the password field sent, which the hub has
  } sources[] = {
      {"argument", true, unset, "s3cret  "},
      {"variable", false, {"NEXLI_PASSWORD=s3cret"}, "s3cret  "},
      {"file", false, {"NEXLI_PASSWORD_FILE=" + good}, "s3cret  "},
      {"file, blanks kept, CR LF taken off", false, {"NEXLI_PASSWORD_FILE=" + blanks}, "s3 cr t "},
      {"variable before file",
       false,
       {"NEXLI_PASSWORD=s3cret", "NEXLI_PASSWORD_FILE=" + wrong},
       "s3cret  "},
      {"empty variable, then file",
       false,
       {"NEXLI_PASSWORD=", "NEXLI_PASSWORD_FILE=" + good},
       "s3cret  "},
      {"argument before both",
       true,
       {"NEXLI_PASSWORD=wrong", "NEXLI_PASSWORD_FILE=" + wrong},
       "s3cret  "},
      {"neither: the default", false, unset, "mora    "},
      {"empty file name: the default", false, {"NEXLI_PASSWORD_FILE="}, "mora    "},
  };

  std::vector<Invocation> runs;
  for (const auto& s : sources)
    for (const CommandCase& c : kCommands) {
      Strings env = s.env_words;
      env.push_back("NEXLI_EXIT_STATUS=1");
      runs.push_back({{"--hub", "0", "--states", "01", "--password", s.field},
                      Args(c, s.given, "s3cret"),
                      env});
    }
  std::vector<RunResult> results = RunAllWithHubs(runs);

  std::size_t i = 0;
  for (const auto& s : sources)
    for (const CommandCase& c : kCommands) {
      const RunResult& run = results[i++];
      SKIP_WITHOUT_SANDBOX(run);
      SCOPED_TRACE(std::string(c.name) + ", password from " + s.name);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.status, 0);
      ASSERT_FALSE(run.requests.empty());
      EXPECT_EQ(run.requests.back().bytes, c.before + s.field + c.after);
    }
}

// A password file that cannot be used, or one too long, ends every command
// with its message as a rejected argument, having sent nothing.
TEST(PasswordSources, UnusableFileSendsNothing) {
  PasswordFiles files;
  mkdir(files.Path("directory").c_str(), 0755);
  const struct {
    const char* name;
    std::string path;
    std::string out;
  } kFiles[] = {
      {"missing", files.Path("missing"), "Password File Error!\n"},
      {"a directory", files.Path("directory"), "Password File Error!\n"},
      {"empty", files.Write("empty", ""), "Password File Error!\n"},
      {"empty first line", files.Write("empty-line", "\ns3cret\n"), "Password File Error!\n"},
      {"a zero byte", files.Write("zero", std::string("s3\0cret\n", 8)), "Password File Error!\n"},
      {"nine bytes", files.Write("nine", "123456789\n"), "Invalid Password!\n"},
      {"no line end in 100 bytes", files.Write("long", std::string(100, 'x')),
       "Invalid Password!\n"},
  };
  std::vector<Invocation> runs;
  for (const auto& f : kFiles)
    for (const CommandCase& c : kCommands)
      runs.push_back(
          {{"--hub", "0"}, c.without, {"NEXLI_EXIT_STATUS=1", "NEXLI_PASSWORD_FILE=" + f.path}});
  std::vector<RunResult> results = RunAllWithHubs(runs);

  std::size_t i = 0;
  for (const auto& f : kFiles)
    for (const CommandCase& c : kCommands) {
      const RunResult& run = results[i++];
      SKIP_WITHOUT_SANDBOX(run);
      SCOPED_TRACE(std::string(c.name) + ", file " + f.name);
      EXPECT_EQ(run.out, f.out);
      EXPECT_EQ(run.status, 2);
      EXPECT_TRUE(run.requests.empty());
    }
}

// An ordinary user's command with a file only root may read; and while
// commands with the password from the variable and from the file wait on a
// silent hub, their arguments (what ps shows) hold no password.
TEST(PasswordSources, UnreadableFileAndNothingInTheArguments) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
  PasswordFiles files;
  const std::string secret = files.Write("secret", "s3cret\n");
  const std::string script =
      "F=" + secret +
      "; NEXLI_EXIT_STATUS=1 NEXLI_PASSWORD_FILE=$F setpriv --reuid=65534 --regid=65534"
      " --clear-groups $NEXLI /W:ttyUSB0; echo status $?;"
      "NEXLI_PASSWORD=s3cret $NEXLI /W:ttyUSB0 & A=$!; NEXLI_PASSWORD_FILE=$F $NEXLI /D:ttyUSB1 & "
      "B=$!; sleep 1; for p in $A $B; do tr '\\0' '\\n' < /proc/$p/cmdline | tail -n 1; done;"
      "cat /proc/$A/cmdline /proc/$B/cmdline | grep -c s3cret; kill $A $B";
  RunResult run = RunScriptWithHubs({"--hub", "0", "--silent", "--hub", "1", "--silent"}, script);
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
