#include "password_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "serial_link.h"
#include "trace.h"

const char* const kPasswordFileError = "Password File Error!";

// Bytes read from a password file at most: more than any first line that can
// be a password, so a longer one still reads as too long.
static const int kPasswordFileReadLimit = 64;

// The first line of the file at path, without its line end, into *pline.
// False when the file cannot be opened or read or is a directory, with the
// reason in *pwhy.
static bool ReadFirstLine(const char* path, std::string* pline,
                          std::string* pwhy) {
  // A pipe (bash's <(...), a credential helper) is read as it comes.
  int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *pwhy = TraceError(errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    *pwhy = "a directory";
    close(fd);
    return false;
  }
  char text[kPasswordFileReadLimit];
  int length = 0;
  while (length < kPasswordFileReadLimit &&
         std::memchr(text, '\n', static_cast<std::size_t>(length)) == nullptr) {
    ssize_t got =
        read(fd, text + length,
             static_cast<std::size_t>(kPasswordFileReadLimit - length));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *pwhy = TraceError(errno);
      close(fd);
      return false;
    }
    if (got == 0) break;
    length += static_cast<int>(got);
  }
  close(fd);
  std::string line(text, static_cast<std::size_t>(length));
  std::string::size_type end = line.find('\n');
  if (end != std::string::npos) {
    line.erase(end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  *pline = line;
  return true;
}

std::string PasswordFromEnvironment(std::string* ppassword) {
  const char* password = std::getenv("NEXLI_PASSWORD");
  if (password != nullptr && *password != '\0') {
    Trace("", "password: from NEXLI_PASSWORD");
    *ppassword = password;
    return kStatusOK;
  }
  const char* path = std::getenv("NEXLI_PASSWORD_FILE");
  if (path == nullptr || *path == '\0') {
    ppassword->clear();
    return kStatusOK;
  }
  std::string line;
  std::string why;
  if (ReadFirstLine(path, &line, &why))
    why = line.empty() ? "its first line is empty"
          : line.find('\0') != std::string::npos
              ? "a zero byte in its first line"
              : "";
  if (!why.empty()) {
    if (TraceOn())
      Trace("", "password: the file " + TraceBytes(path) +
                    " of NEXLI_PASSWORD_FILE cannot be used: " + why);
    return kPasswordFileError;
  }
  if (TraceOn())
    Trace("", "password: from the first line of " + TraceBytes(path) +
                  " (NEXLI_PASSWORD_FILE)");
  *ppassword = line;
  return kStatusOK;
}
