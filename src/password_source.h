// Where a command finds its password when the command line leaves it out, so
// that a hub's own password need never stand on a command line (where every
// local user sees it in ps, and logs and shell history keep it):
//   1. NEXLI_PASSWORD, when it is set and not empty;
//   2. otherwise the first line of the file NEXLI_PASSWORD_FILE names (when
//      it is set and not empty), without its line end ("\n" or "\r\n");
//      blanks are part of the password;
//   3. otherwise nothing: the caller uses the default password.
// A password given on the command line always wins; the caller does not ask
// here then. Nothing here prints or ends the process, and the password is
// never written anywhere.
#ifndef NEXLI_PASSWORD_SOURCE_H
#define NEXLI_PASSWORD_SOURCE_H

#include <string>

// Status text of a password file that cannot be used: it cannot be opened or
// read, is a directory, or its first line is empty or holds a zero byte.
extern const char* const kPasswordFileError;  // "Password File Error!"

// The password the environment gives, as typed (not blank-filled, not
// length-checked): "OK" with *ppassword the password, or empty when neither
// variable gives one; kPasswordFileError when NEXLI_PASSWORD_FILE is the
// source and the file cannot be used (*ppassword untouched). A first line
// longer than 8 bytes comes back as read (at least 9 bytes), for the caller
// to reject as any over-long password.
std::string PasswordFromEnvironment(std::string* ppassword);

#endif
