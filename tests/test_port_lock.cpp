// The port lock against pseudo-terminals and UUCP lock files of our own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "port_lock.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
  Pty() {
    char name[128];
    EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
  }
  ~Pty() {
    close(slave);
    close(master);
  }
};

TEST(PortLock, ASecondCallerWaitsForTheFirstAndGetsThePortWhenItIsFreed) {
  Pty pty;
  int first = -1;
  ASSERT_EQ(LockPort(pty.path, 1000, &first), "OK");
  ASSERT_GE(first, 0);
  // The lock is on the device itself, where other programs look for it.
  int other = open(pty.path.c_str(), O_RDONLY | O_NOCTTY);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);

  int second = -1;
  auto start = Clock::now();
  EXPECT_EQ(LockPort(pty.path, 300, &second), "Port Held");
  double waited = SecondsSince(start);
  EXPECT_GE(waited, 0.3);
  EXPECT_LT(waited, 2.0);
  EXPECT_EQ(second, -1);

  UnlockPort(first);
  start = Clock::now();
  EXPECT_EQ(LockPort(pty.path, 300, &second), "OK");
  EXPECT_LT(SecondsSince(start), 0.2);
  EXPECT_GE(second, 0);
  EXPECT_EQ(fcntl(second, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  UnlockPort(second);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
}

TEST(PortLock, WhatCannotBeLockedGoesOnAsWithoutALock) {
  char file[] = "/tmp/nexli-lock-XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  int lock_fd = 7;
  EXPECT_EQ(LockPort(file, 100, &lock_fd), "OK");  // no terminal
  EXPECT_EQ(lock_fd, -1);
  std::remove(file);
  lock_fd = 7;
  EXPECT_EQ(LockPort(file, 100, &lock_fd), "Port Unopened");
  EXPECT_EQ(lock_fd, -1);
}

// A process id that was in use a moment ago and is free now.
pid_t EndedProcess() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

TEST(PortLock, UucpLockFilesNamingALiveProcessHoldThePort) {
  if (access("/run/lock", W_OK) != 0) GTEST_SKIP() << "/run/lock is not writable";
  const std::string name = "ttyUSBnexlitest" + std::to_string(getpid());
  const std::string lock_file = "/run/lock/LCK.." + name;
  const std::int32_t live = getppid();
  const std::int32_t own = getpid();
  const std::string live_text = std::to_string(live);
  const struct {
    std::string content;
    bool held;
  } rows[] = {
      {std::string(10 - live_text.size(), ' ') + live_text + "\n", true},  // HDB style
      {live_text, true},
      {std::string(reinterpret_cast<const char*>(&live), 4), true},  // binary
      // Five and eight bytes are neither text nor a binary int.
      {std::string(reinterpret_cast<const char*>(&live), 4) + "\n", false},
      {std::string(reinterpret_cast<const char*>(&live), 4) +
           std::string(reinterpret_cast<const char*>(&live), 4),
       false},
      {std::to_string(EndedProcess()) + "\n", false},  // stale
      {std::to_string(own) + "\n", false},             // ours
      {"0\n", false},
      {"-1\n", false},
      {"pid " + live_text + "\n", false},
      {"", false},
  };
  for (const auto& row : rows) {
    FILE* out = std::fopen(lock_file.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(row.content.data(), 1, row.content.size(), out);
    std::fclose(out);
    EXPECT_EQ(UucpLockHeld("/dev/" + name), row.held) << "content: '" << row.content << "'";
  }
  std::remove(lock_file.c_str());
  EXPECT_FALSE(UucpLockHeld("/dev/" + name));
}

// Another user's process answers signal 0 with EPERM: it is alive, and its
// lock file holds the port for an ordinary user too.
TEST(PortLock, AnotherUsersLiveProcessHoldsThePort) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  if (access("/run/lock", W_OK) != 0) GTEST_SKIP() << "/run/lock is not writable";
  const std::string name = "ttyUSBnexliuser" + std::to_string(getpid());
  const std::string lock_file = "/run/lock/LCK.." + name;
  FILE* out = std::fopen(lock_file.c_str(), "w");
  ASSERT_NE(out, nullptr);
  std::fprintf(out, "%10d\n", static_cast<int>(getpid()));  // root's, ours
  std::fclose(out);
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(UucpLockHeld("/dev/" + name) ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  std::remove(lock_file.c_str());
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// However long a caller has waited, it takes a freed port within the pause's
// cap (25 ms) and not after a pause grown to seconds.
TEST(PortLock, AFreedPortIsTakenPromptlyAfterALongWait) {
  Pty pty;
  int other = open(pty.path.c_str(), O_RDONLY | O_NOCTTY);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  Clock::time_point freed;
  std::thread holder([&] {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    freed = Clock::now();
    close(other);
  });
  int lock_fd = -1;
  EXPECT_EQ(LockPort(pty.path, 10000, &lock_fd), "OK");
  auto taken = Clock::now();
  holder.join();
  EXPECT_LT(std::chrono::duration<double>(taken - freed).count(), 0.3);
  UnlockPort(lock_fd);
}

// Who holds a flock: a process of this very program (a fork of the test,
// which maps the same file), another program that took the lock itself (a
// child that locks, then becomes sleep(1)), and a taker of this program that
// passed its descriptor on (the lock is ours now, not the taker's).
TEST(PortLock, OnlyAProcessOfThisProgramThatKeepsTheFlockIsANexliHolder) {
  Pty pty;
  long pid = -1;
  EXPECT_FALSE(FlockHeldByNexli(pty.path, &pid));  // free
  for (int row = 0; row < 3; ++row) {
    int shared = open(pty.path.c_str(), O_RDONLY | O_NOCTTY);
    int ready[2];  // at end of file once the child has locked (and run sleep)
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    pid_t child = fork();
    if (child == 0) {
      int fd = row == 2 ? shared : open(pty.path.c_str(), O_RDONLY | O_NOCTTY);
      if (flock(fd, LOCK_EX) != 0) _exit(1);
      if (row == 1) execl("/bin/sleep", "sleep", "10", static_cast<char*>(nullptr));
      if (row == 2) close(fd);
      close(ready[1]);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 0);
    close(ready[0]);
    EXPECT_EQ(FlockHeldByNexli(pty.path, &pid), row == 0) << "row " << row;
    EXPECT_EQ(pid, row == 0 ? child : 0) << "row " << row;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(shared);
  }
}

TEST(PortLock, APortWithALiveLockFileIsHeldUnderEitherOfItsNames) {
  if (access("/run/lock", W_OK) != 0) GTEST_SKIP() << "/run/lock is not writable";
  Pty pty;
  // A link named like the port, as udev would make, in a folder of our own.
  char folder[] = "/tmp/nexli-lock-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string name = "ttyUSBnexlitest" + std::to_string(getpid());
  const std::string link = std::string(folder) + "/" + name;
  ASSERT_EQ(symlink(pty.path.c_str(), link.c_str()), 0);
  const std::string lock_file = "/run/lock/LCK.." + name;
  FILE* out = std::fopen(lock_file.c_str(), "w");
  ASSERT_NE(out, nullptr);
  std::fprintf(out, "%10d\n", static_cast<int>(getppid()));
  std::fclose(out);

  int lock_fd = -1;
  EXPECT_EQ(LockPort(link, 100, &lock_fd), "Port Held");
  // The pty itself, by its own name, has no lock file.
  EXPECT_EQ(LockPort(pty.path, 100, &lock_fd), "OK");
  UnlockPort(lock_fd);

  std::remove(lock_file.c_str());
  EXPECT_EQ(LockPort(link, 100, &lock_fd), "OK");
  UnlockPort(lock_fd);
  unlink(link.c_str());
  rmdir(folder);
}

}  // namespace
