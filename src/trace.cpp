#include "trace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "revision.h"

// Nanoseconds on the monotonic clock.
static long long MonotonicNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Taken as the program starts, before main.
static const long long kStartNs = MonotonicNs();

double TraceMs() { return static_cast<double>(MonotonicNs() - kStartNs) / 1e6; }

std::string TraceSince(double since_ms) {
  char text[48];
  std::snprintf(text, sizeof text, " after %.0f ms", TraceMs() - since_ms);
  return text;
}

// True for what a trace may be written to: a regular file or a pipe.
static bool IsTraceFile(const struct stat& file) {
  return S_ISREG(file.st_mode) || S_ISFIFO(file.st_mode);
}

// The descriptor the trace goes to, or -1 for no trace.
static int OpenTrace() {
  const char* value = std::getenv("NEXLI_TRACE");
  if (value == nullptr) return -1;
  // Standard error only if it is open: a descriptor 2 that the program
  // itself opens later (a device) must never receive trace lines.
  if (std::strcmp(value, "1") == 0)
    return fcntl(STDERR_FILENO, F_GETFL) == -1 ? -1 : STDERR_FILENO;
  if (value[0] != '/') return -1;
  // A regular file or a pipe only: a terminal or a device (the hub's own
  // control port among them) is not even opened, since opening a serial
  // port alone changes its lines.
  struct stat named;
  if (lstat(value, &named) == 0 && !IsTraceFile(named)) return -1;
  // Appending, never through a link, never waiting for a reader of a FIFO.
  int fd = open(value,
                O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY |
                    O_NONBLOCK | O_CLOEXEC,
                0600);
  struct stat opened;
  if (fd >= 0 && (fstat(fd, &opened) != 0 || !IsTraceFile(opened))) {
    close(fd);
    return -1;
  }
  return fd;
}

static int TraceFd() {
  static const int fd = OpenTrace();
  return fd;
}

bool TraceOn() { return TraceFd() >= 0; }

bool TraceToStandardError() { return TraceFd() == STDERR_FILENO; }

// Writes text in one call. A standard error whose reader has gone must not
// end the program as SIGPIPE would: the signal is held while writing and a
// SIGPIPE this write raised is taken back.
static void WriteLine(int fd, const std::string& text) {
  sigset_t pipe_signal;
  sigset_t old_mask;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
  sigset_t pending;
  sigpending(&pending);
  bool pipe_was_pending = sigismember(&pending, SIGPIPE) == 1;
  int saved_errno = errno;
  ssize_t written = write(fd, text.data(), text.size());
  if (written < 0 && errno == EPIPE && !pipe_was_pending) {
    struct timespec no_wait = {0, 0};
    sigtimedwait(&pipe_signal, nullptr, &no_wait);
  }
  errno = saved_errno;
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
}

void Trace(const std::string& device, const std::string& event) {
  int fd = TraceFd();
  if (fd < 0) return;
  std::string name = device.empty() ? "-" : device;
  if (name.compare(0, 5, "/dev/") == 0) name.erase(0, 5);
  char head[64];
  std::snprintf(head, sizeof head, "%s[%ld] %.3f ", NEXLI_PROGRAM_NAME,
                static_cast<long>(getpid()), TraceMs());
  WriteLine(fd, head + name + " " + event + "\n");
}

std::string TraceBytes(const std::string& bytes) {
  std::string text = "\"";
  for (unsigned char ch : bytes) {
    if (ch == '\r') {
      text += "\\r";
    } else if (ch == '\n') {
      text += "\\n";
    } else if (ch == '\\' || ch == '"') {
      text += '\\';
      text += static_cast<char>(ch);
    } else if (ch >= 0x20 && ch < 0x7F) {
      text += static_cast<char>(ch);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", ch);
      text += hex;
    }
  }
  return text + "\"";
}

std::string TraceError(int err) {
  char text[128];
  // The GNU strerror_r, which may return a static text instead of filling
  // the buffer; safe from any thread either way.
  return strerror_r(err, text, sizeof text);
}
