#include "front_end.h"

#include <cstdio>
#include <cstdlib>

#include "exit_status.h"
#include "password_source.h"
#include "revision.h"
#include "serial_link.h"
#include "trace.h"

// Created empty before main runs, in this order.
std::string COM_Name;
std::string command;
std::string arg2;
std::string arg3;
std::string current_password;
std::string new_password;

const char* const kDefaultPassword = "mora    ";

char to_upper(char ch) {
  if (ch >= 'a' && ch <= 'z') return static_cast<char>(ch - 32);
  return ch;
}

char to_lower(char ch) {
  if (ch >= 'A' && ch <= 'Z') return static_cast<char>(ch + 32);
  return ch;
}

std::string toUpper(std::string string_to_Change) {
  for (char& ch : string_to_Change) ch = to_upper(ch);
  return string_to_Change;
}

void DoCommandUsage() { RetUsageError("Invalid Command!"); }

void DoCommandError() { RetUsageError("DoCommandError"); }

#define P NEXLI_PROGRAM_NAME
static const char* const kHelp[] = {
    NEXLI_BANNER,
    "Usage: " P " command [password] [argument]",
    "command:",
    "   /Q       query (no password is required)",
    "   Usage:   " P " /Q [option]",
    "            " P " /Q:ttyUSBn [option]",
    "   /Q:      query all Managed USB Hubs",
    "   /Q:ttyUSBn  query the Managed USB Hub on ttyUSBn (n = 1 to 255)",
    "   option   -F    output in formatted string",
    "",
    "   /S       set port states (password is required)",
    "   Usage:   " P " /S:ttyUSBn [pass] [states]",
    "   ttyUSBn     control port number of the Managed USB Hub (n = 1 to 255)",
    "   pass     password, default is used if this argument is not specified",
    "   states   port states to be set on, off, toggle or given binary/hex "
    "states",
    "            1:3,4    port 3 and 4 on",
    "            0:3      port 3 off",
    "            T:1,2    toggle port 1 and 2 states",
    "            0:ALL    all ports off",
    "            B:0101   binary, port 1 and 3 on, port 2, 4 off",
    "            H:A601   byte hex (little-endian A6 01 ...):",
    "                     port 2, 3, 6, 8, 9 on, the others off",
    "",
    "   /F       set port states and save to flash as the initial states",
    "   Usage:   similar to set port states (/S)",
    "",
    "   /P       change password (8 characters maximum)",
    "   Usage:   " P " /P:ttyUSBn [old_password] new_password",
    "   ttyUSBn     control port number of the Managed USB Hub (n = 1 to 255)",
    "   old_password   old password, default assumed if omitted ",
    "   new_password   new password",
    "",
    "   /G       get current port states (no password is required)",
    "   Usage:   " P " /G:ttyUSBn [option]",
    "   /G:ttyUSBn  control port number of the Managed USB Hub (n = 1 to 255)",
    "   option   -B    output in formatted binary string",
    "            -H    output in formatted little-endian hex string",
    "",
    "   /W       save states to flash as the initial states (password is "
    "required)",
    "   Usage:   " P " /W:ttyUSBn [pass]",
    "",
    "   /D       restore to factory default settings (password is required)",
    "   Usage:   " P " /D:ttyUSBn [pass]",
    "",
    "   /R       reset the entire Managed USB Hub (password is required)",
    "   Usage:   " P " /R:ttyUSBn [pass]",
    "",
    "Example: To control port 3 of the hub, follow the steps below:",
    P " /Q  (auto serach all the hubs connected)",
    P
    " /S:ttyUSB0 0:3  (turn OFF port 3, assumed ttyUSB0 is found by the /Q "
    "command)",
    P " /S:ttyUSB0 1:3  (turn ON port 3)",
    "",
};
#undef P

const char* const* HelpLines(int* count) {
  *count = static_cast<int>(sizeof kHelp / sizeof kHelp[0]);
  return kHelp;
}

void DoShowHelp() {
  int count = 0;
  const char* const* lines = HelpLines(&count);
  // One output operation per line, each flushed.
  for (int i = 0; i < count; ++i) PrintLine(lines[i]);
  EndProcess(kExitDone);
}

bool IsControlPort(const std::string& path) {
  return path.compare(0, 11, "/dev/ttyUSB") == 0;
}

void CheckPortAndArgumentCount() {
  if (!IsControlPort(COM_Name) || !arg3.empty()) DoCommandUsage();
}

std::string PasswordField(const std::string& typed) {
  if (typed.size() > kPasswordLength) RetUsageError("Invalid Password!");
  return typed + std::string(kPasswordLength - typed.size(), ' ');
}

std::string OmittedPasswordField() {
  std::string password;
  std::string ret = PasswordFromEnvironment(&password);
  if (ret != kStatusOK) RetUsageError(ret);
  if (!password.empty()) return PasswordField(password);
  Trace("", "password: the default one");
  return kDefaultPassword;
}

void TakePassword() {
  current_password =
      arg2.empty() ? OmittedPasswordField() : PasswordField(arg2);
}
