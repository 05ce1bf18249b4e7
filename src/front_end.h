// Command-line front end: the process-wide argument strings, ASCII case
// conversion, the usage errors, the help text and the checks of the
// control-port and password arguments shared by the hub commands.
#ifndef NEXLI_FRONT_END_H
#define NEXLI_FRONT_END_H

#include <string>

// Process-wide strings, empty until main (or a password-taking command) fills
// them. Only main writes COM_Name, command, arg2 and arg3.
extern std::string COM_Name;          // control-port path, "/dev/..."
extern std::string command;           // first argument, upper-cased
extern std::string arg2;              // second argument as typed
extern std::string arg3;              // third argument as typed
extern std::string current_password;  // 8-byte password field of a request
extern std::string new_password;      // 8-byte new password of /P

// The password used whenever the password argument is left out: "mora" and
// four blanks, 8 bytes.
extern const char* const kDefaultPassword;
// A password has at most this many bytes; shorter ones are blank-filled.
const std::size_t kPasswordLength = 8;

// ASCII-only case conversion; every other byte (0x80 and up included) comes
// back unchanged.
char to_upper(char ch);
char to_lower(char ch);
// Returns a copy with every character passed through to_upper.
std::string toUpper(std::string string_to_Change);

// Print "Invalid Command!" and end the process as a rejected command line
// (RetUsageError).
[[noreturn]] void DoCommandUsage();
// Print "DoCommandError" and end the process as a rejected command line.
[[noreturn]] void DoCommandError();
// Print the whole help text and end the process as done (kExitDone).
[[noreturn]] void DoShowHelp();

// The help text, line by line, each line without its line end.
const char* const* HelpLines(int* count);

// True when the first 11 characters of path are exactly "/dev/ttyUSB".
bool IsControlPort(const std::string& path);

// The port and argument-count checks of /W, /D and /R: a COM_Name outside
// "/dev/ttyUSB" or a non-empty arg3 ends the process with "Invalid Command!".
void CheckPortAndArgumentCount();

// The password field for a typed password: the password followed by blanks up
// to 8 bytes. A password longer than 8 bytes ends the process with
// "Invalid Password!", a rejected argument (RetUsageError).
std::string PasswordField(const std::string& typed);

// The password field where the password argument is left out: the password
// the environment gives (NEXLI_PASSWORD, NEXLI_PASSWORD_FILE: see
// password_source.h) through PasswordField, or else the default password. A
// password file that cannot be used ends the process with
// "Password File Error!", an over-long password with "Invalid Password!",
// both as rejected arguments (RetUsageError), before anything is sent.
std::string OmittedPasswordField();

// The password rule on arg2: empty gives OmittedPasswordField(), otherwise
// PasswordField(arg2). The result goes to current_password.
void TakePassword();

#endif
