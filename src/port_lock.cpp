#include "port_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "progress.h"
#include "serial_link.h"
#include "trace.h"

const char* const kPortUnopened = "Port Unopened";
const char* const kPortHeld = "Port Held";

// Where minicom, ser2net and their kin leave UUCP lock files. On most systems
// /var/lock is a link to /run/lock; reading both costs one failed open.
static const char* const kUucpLockDirs[] = {"/run/lock", "/var/lock"};

// Microseconds on the monotonic clock.
static long long NowUs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

static void SleepUs(long long us) {
  struct timespec pause;
  pause.tv_sec = static_cast<time_t>(us / 1000000);
  pause.tv_nsec = static_cast<long>(us % 1000000) * 1000L;
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// The process id a lock file holds: ASCII digits, blanks around them allowed
// ("      1234\n"), or exactly four bytes of a binary int. 0 when neither.
static long LockFilePid(const char* text, int length) {
  int i = 0;
  while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
  long pid = 0;
  int digits = 0;
  while (i < length && text[i] >= '0' && text[i] <= '9' && pid < INT_MAX) {
    pid = pid * 10 + (text[i] - '0');
    ++digits;
    ++i;
  }
  while (i < length && (text[i] == ' ' || text[i] == '\n')) ++i;
  if (digits > 0 && i == length) return pid;
  if (length == static_cast<int>(sizeof(std::int32_t))) {
    std::int32_t binary = 0;
    std::memcpy(&binary, text, sizeof binary);
    return binary;
  }
  return 0;
}

// The process id in the lock file at lock_path when it names a live process
// other than ours, else 0.
static long LockFileHolder(const std::string& lock_path) {
  int fd = open(lock_path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[64];
  ssize_t length = read(fd, text, sizeof text);
  close(fd);
  if (length <= 0 || length == static_cast<ssize_t>(sizeof text)) return 0;
  long pid = LockFilePid(text, static_cast<int>(length));
  if (pid <= 0 || pid > INT_MAX || pid == getpid()) return 0;
  // Signal 0 only asks: a process of another user answers EPERM.
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM ? pid : 0;
}

// The last component of path.
static std::string BaseName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The directory part of path ("/dev" for "/dev/ttyUSB0").
static std::string DirName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The UucpLockHeld test, with the lock file found and the process it names
// written to *pfile and *ppid.
static bool FindUucpHolder(const std::string& path, std::string* pfile,
                           long* ppid) {
  // The name the caller gave, and every name in /dev that its links lead to
  // (a udev name such as ttyUSBHUB for ttyUSB3): a program may have locked
  // the port under any of them.
  std::string names[4] = {BaseName(path)};
  int count = 1;
  std::string link = path;
  for (int hop = 0; hop < 8 && count < 4; ++hop) {
    char target[PATH_MAX];
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) break;
    std::string next(target, static_cast<std::size_t>(length));
    link = next[0] == '/' ? next : DirName(link) + "/" + next;
    if (DirName(link) == "/dev") names[count++] = BaseName(link);
  }
  for (const char* dir : kUucpLockDirs)
    for (int i = 0; i < count; ++i) {
      *pfile = std::string(dir) + "/LCK.." + names[i];
      *ppid = LockFileHolder(*pfile);
      if (*ppid != 0) return true;
    }
  return false;
}

bool UucpLockHeld(const std::string& path) {
  std::string file;
  long pid = 0;
  return FindUucpHolder(path, &file, &pid);
}

std::string LockPort(const std::string& path, int wait_ms, int* plock_fd,
                     bool wait_for_lock_files) {
  *plock_fd = -1;
  // A descriptor of our own for the lock: read-only, never our controlling
  // terminal, and not waiting for a carrier.
  int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (TraceOn()) Trace(path, "lock: cannot open: " + TraceError(errno));
    return kPortUnopened;
  }
  if (!isatty(fd)) {
    close(fd);
    Trace(path, "lock: not a terminal, not locked");
    return kStatusOK;
  }

  // Try at once, then again at growing intervals (2 ms up to 25 ms) until
  // the wait runs out. The trace tells each new holder waited for.
  double start_ms = TraceMs();
  std::string holder;
  long long deadline = NowUs() + static_cast<long long>(wait_ms) * 1000;
  long long pause_us = 2000;
  for (;;) {
    std::string now_held_by;
    std::string pid_text;  // of a lock file's holder
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      std::string file;
      long pid = 0;
      if (!FindUucpHolder(path, &file, &pid)) {
        *plock_fd = fd;
        if (!holder.empty()) ProgressWaitEnd(path);
        if (TraceOn())
          Trace(path, holder.empty() ? "lock: taken at once"
                                     : "lock: taken" + TraceSince(start_ms));
        return kStatusOK;
      }
      // A program that keeps a lock file but takes no flock: let others
      // waiting on the flock see the port as free as we do.
      flock(fd, LOCK_UN);
      pid_text = std::to_string(pid);
      now_held_by = "the lock file " + file + " of live process " + pid_text;
      if (!wait_for_lock_files) {
        holder = now_held_by;
        break;
      }
    } else if (errno != EWOULDBLOCK && errno != EINTR) {
      // A file system without flock: nothing to share, go on as before.
      if (TraceOn())
        Trace(path,
              "lock: no flock here (" + TraceError(errno) + "), not locked");
      *plock_fd = fd;
      return kStatusOK;
    } else {
      now_held_by = "another program's flock on the device";
    }
    if (now_held_by != holder && TraceOn())
      Trace(path, "lock: waiting up to " + std::to_string(wait_ms) +
                      " ms for " + now_held_by);
    if (now_held_by != holder && ProgressOn())
      ProgressWait(path,
                   "held by another program" +
                       (pid_text.empty() ? "" : " (process " + pid_text + ")"),
                   start_ms + wait_ms);
    holder = now_held_by;
    long long left = deadline - NowUs();
    if (left <= 0) break;
    SleepUs(left < pause_us ? left : pause_us);
    pause_us = pause_us * 3 / 2;
    if (pause_us > 25000) pause_us = 25000;
  }
  close(fd);
  ProgressWaitEnd(path);
  if (TraceOn())
    Trace(path, "lock: given up" + TraceSince(start_ms) + ", still held by " +
                    holder);
  return kPortHeld;
}

void UnlockPort(int lock_fd) {
  if (lock_fd >= 0) close(lock_fd);
}
