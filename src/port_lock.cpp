#include "port_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// ---- Who holds a flock ------------------------------------------------------

// The most of a /proc file read: /proc/locks of a busy machine, the maps of
// a process under valgrind, with room to spare.
static const std::size_t kMaxProcFileBytes = 4 << 20;

// The whole of the /proc file at path into *ptext; false when it cannot be
// read or is larger than kMaxProcFileBytes.
static bool ReadProcFile(const std::string& path, std::string* ptext) {
  int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  ptext->clear();
  char chunk[4096];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 ||
        ptext->size() + static_cast<std::size_t>(got) > kMaxProcFileBytes) {
      close(fd);
      return got == 0;
    }
    ptext->append(chunk, static_cast<std::size_t>(got));
  }
}

// The words of line, between blanks and tabs.
static std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::string::size_type at = 0;
  for (;;) {
    at = line.find_first_not_of(" \t", at);
    if (at == std::string::npos) return words;
    std::string::size_type end = line.find_first_of(" \t", at);
    words.push_back(line.substr(at, end == std::string::npos ? end : end - at));
    at = end;
  }
}

// A granted FLOCK entry of /proc/locks ("1: FLOCK  ADVISORY  WRITE 1234
// 00:29:4 0 EOF"), or of a "lock:" line of /proc/PID/fdinfo (the same after
// "lock:"): its process id into *ppid and its "MAJOR:MINOR:INODE" into
// *pfile. False for any other line, a waiter ("->") among them.
static bool FlockEntry(const std::string& line, long* ppid,
                       std::string* pfile) {
  std::vector<std::string> words = Words(line);
  std::size_t at = 0;
  while (at < words.size() && words[at] != "FLOCK") {
    if (words[at] == "->") return false;
    ++at;
  }
  // FLOCK, ADVISORY, READ or WRITE, the process id, the file.
  if (at + 4 >= words.size()) return false;
  char* end = nullptr;
  *ppid = std::strtol(words[at + 3].c_str(), &end, 10);
  if (end == words[at + 3].c_str() || *end != '\0') return false;
  *pfile = words[at + 4];
  return true;
}

// The device and inode of a mapped file, as /proc/PID/maps shows them.
struct MappedFile {
  unsigned major = 0;
  unsigned minor = 0;
  unsigned long long inode = 0;
};

// The number in text (base 16 or 10) up to the character stop ('\0' for
// its end); false when there is none or something else follows.
static bool ParseNumber(const std::string& text, int base, char stop,
                        unsigned long long* pvalue,
                        std::string::size_type* pnext = nullptr) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  *pvalue = std::strtoull(begin, &end, base);
  if (end == begin || errno != 0 || *end != stop || *begin == '-') return false;
  if (pnext != nullptr)
    *pnext = static_cast<std::string::size_type>(end - begin) + 1;
  return true;
}

// A line of /proc/PID/maps ("START-END PERMS OFFSET MA:MI INODE PATH"):
// its address range, its file (inode 0 for none) and its path.
static bool MapsEntry(const std::string& line, unsigned long long* pstart,
                      unsigned long long* pend, MappedFile* pfile,
                      std::string* ppath) {
  std::vector<std::string> words = Words(line);
  std::string::size_type next = 0;
  unsigned long long major = 0;
  unsigned long long minor = 0;
  if (words.size() < 5 || !ParseNumber(words[0], 16, '-', pstart, &next) ||
      !ParseNumber(words[0].substr(next), 16, '\0', pend) ||
      !ParseNumber(words[3], 16, ':', &major, &next) ||
      !ParseNumber(words[3].substr(next), 16, '\0', &minor) ||
      !ParseNumber(words[4], 10, '\0', &pfile->inode))
    return false;
  pfile->major = static_cast<unsigned>(major);
  pfile->minor = static_cast<unsigned>(minor);
  // The path: what follows the inode's word, blanks and all.
  std::string::size_type at = 0;
  for (int word = 0; word < 5; ++word)
    at = line.find_first_not_of(" \t", line.find_first_of(" \t", at));
  *ppath = at == std::string::npos ? "" : line.substr(at);
  return true;
}

// The lines of text, one at a time: fn(line) until it returns true (then
// true) or the text ends (then false).
template <typename Fn>
static bool AnyLine(const std::string& text, Fn fn) {
  for (std::string::size_type at = 0; at < text.size();) {
    std::string::size_type end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (fn(text.substr(at, end - at))) return true;
    at = end + 1;
  }
  return false;
}

// The file this program's code was loaded from: the mapping of
// /proc/self/maps that holds this very function (under qemu-user, its view
// of the program's own mappings). known is false when none is found.
struct OwnFile {
  bool known = false;
  MappedFile file;
};

static OwnFile FindOwnProgramFile() {
  OwnFile own;
  std::string maps;
  if (!ReadProcFile("/proc/self/maps", &maps)) return own;
  const auto code = reinterpret_cast<std::uintptr_t>(&FindOwnProgramFile);
  own.known = AnyLine(maps, [&](const std::string& line) {
    unsigned long long start = 0;
    unsigned long long end = 0;
    std::string path;
    return MapsEntry(line, &start, &end, &own.file, &path) && code >= start &&
           code < end && own.file.inode != 0;
  });
  return own;
}

// True when process pid runs this program or one named nexli or nexla: its
// maps show this program's own file, or a file of either name (one replaced
// since shows " (deleted)" after its path). Also true when it is ending: its
// maps are empty once its memory is gone, a moment before its descriptors
// close, and such a holder lets go by itself.
static bool RunsNexli(long pid) {
  std::string maps;
  if (!ReadProcFile("/proc/" + std::to_string(pid) + "/maps", &maps))
    return false;
  if (maps.empty()) return true;
  // Found once, by the first thread that asks.
  static const OwnFile own = FindOwnProgramFile();
  return AnyLine(maps, [&](const std::string& line) {
    unsigned long long start = 0;
    unsigned long long end = 0;
    MappedFile file;
    std::string path;
    if (!MapsEntry(line, &start, &end, &file, &path) || file.inode == 0)
      return false;
    if (own.known && file.major == own.file.major &&
        file.minor == own.file.minor && file.inode == own.file.inode)
      return true;
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) ==
            0)
      path.erase(path.size() - deleted.size());
    std::string name = path.substr(path.rfind('/') + 1);
    return name == "nexli" || name == "nexla";
  });
}

// True when one of process pid's descriptors is the open file that holds
// the FLOCK on the file "MAJOR:MINOR:INODE" (the kernel shows the lock in
// the fdinfo of that open file's descriptors only).
static bool KeepsFlock(long pid, const std::string& file) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fdinfo";
  DIR* descriptors = opendir(folder.c_str());
  if (descriptors == nullptr) return false;
  bool kept = false;
  while (!kept) {
    struct dirent* entry = readdir(descriptors);
    if (entry == nullptr) break;
    std::string info;
    if (entry->d_name[0] == '.' ||
        !ReadProcFile(folder + "/" + entry->d_name, &info))
      continue;
    kept = AnyLine(info, [&](const std::string& line) {
      long holder = 0;
      std::string locked;
      return line.compare(0, 5, "lock:") == 0 &&
             FlockEntry(line, &holder, &locked) && locked == file;
    });
  }
  closedir(descriptors);
  return kept;
}

bool FlockHeldByNexli(const std::string& path, long* ppid) {
  *ppid = 0;
  struct stat node;
  if (stat(path.c_str(), &node) != 0) return false;
  char file[64];
  std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(node.st_dev),
                minor(node.st_dev),
                static_cast<unsigned long long>(node.st_ino));
  std::string locks;
  if (!ReadProcFile("/proc/locks", &locks)) return false;
  long holder = 0;
  bool other = AnyLine(locks, [&](const std::string& line) {
    long pid = 0;
    std::string locked;
    if (!FlockEntry(line, &pid, &locked) || locked != file) return false;
    if (pid <= 0 || !RunsNexli(pid) || !KeepsFlock(pid, file)) return true;
    holder = pid;
    return false;
  });
  if (other || holder == 0) return false;
  *ppid = holder;
  return true;
}

// ---- Taking the lock --------------------------------------------------------

std::string LockPort(const std::string& path, int wait_ms, int* plock_fd,
                     bool wait_for_lock_files, int other_program_wait_ms) {
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
  // the wait runs out. The trace tells each new holder waited for. When
  // other programs get a shorter wait, each try finds out who holds the
  // flock, and the time until the next try counts against that wait unless
  // a nexli command held it.
  double start_ms = TraceMs();
  std::string holder;
  long long deadline = NowUs() + static_cast<long long>(wait_ms) * 1000;
  const bool tell_holders =
      other_program_wait_ms >= 0 && other_program_wait_ms < wait_ms;
  long long other_left_us =
      static_cast<long long>(other_program_wait_ms) * 1000;
  long long pause_us = 2000;
  for (;;) {
    long long tried_us = NowUs();
    bool nexli_holds = false;
    std::string now_held_by;
    std::string pid_text;  // of a lock file's holder, or a nexli holder
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
      long pid = 0;
      nexli_holds = tell_holders && FlockHeldByNexli(path, &pid);
      if (nexli_holds) {
        pid_text = std::to_string(pid);
        now_held_by =
            "the flock of another nexli or nexla command, process " + pid_text;
      } else {
        now_held_by = "another program's flock on the device";
      }
    }
    const bool limited = tell_holders && !nexli_holds;
    long long left = deadline - NowUs();
    if (limited && other_left_us < left) left = other_left_us;
    if (now_held_by != holder && TraceOn())
      Trace(path,
            "lock: waiting up to " +
                std::to_string(limited ? other_program_wait_ms : wait_ms) +
                " ms for " + now_held_by);
    if (now_held_by != holder && ProgressOn())
      ProgressWait(path,
                   nexli_holds ? "held by nexli or nexla process " + pid_text
                   : pid_text.empty()
                       ? "held by another program"
                       : "held by another program (process " + pid_text + ")",
                   TraceMs() + static_cast<double>(left) / 1000);
    holder = now_held_by;
    if (left <= 0) break;
    SleepUs(left < pause_us ? left : pause_us);
    if (limited) other_left_us -= NowUs() - tried_us;
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
