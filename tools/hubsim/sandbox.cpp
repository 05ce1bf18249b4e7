#include "sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace hubsim {
namespace {

// Sets *why to "what: strerror(errno)" and returns false.
bool Fail(std::string* why, const std::string& what) {
  *why = what + ": " + strerror(errno);
  return false;
}

// Writes text to an existing file such as /proc/self/uid_map.
bool WriteProcFile(const char* path, const std::string& text,
                   std::string* why) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return Fail(why, std::string("open ") + path);
  ssize_t n = write(fd, text.data(), text.size());
  int err = errno;
  close(fd);
  if (n != static_cast<ssize_t>(text.size())) {
    errno = n < 0 ? err : EIO;
    return Fail(why, std::string("write ") + path);
  }
  return true;
}

// Enters a new user and mount namespace, mapping our user and group to root.
bool EnterUserNamespace(std::string* why) {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
    return Fail(why, "unshare(user, mount)");
  // Without setgroups denied an unprivileged gid_map write is refused.
  // The file is missing on old kernels; then the gid_map write decides.
  std::string ignored;
  WriteProcFile("/proc/self/setgroups", "deny", &ignored);
  return WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1",
                       why) &&
         WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1",
                       why);
}

// Creates an empty file at path and binds the node source onto it. A missing
// source is skipped.
bool BindNode(const std::string& source, const std::string& path,
              std::string* why) {
  struct stat st;
  if (lstat(source.c_str(), &st) != 0) return true;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return Fail(why, "create " + path);
  close(fd);
  if (mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
    return Fail(why, "bind " + path);
  return true;
}

// Fills the new /dev, with the old one reachable under scratch.
bool PopulateDev(const std::string& scratch, std::string* why) {
  for (const char* node :
       {"null", "zero", "full", "tty", "random", "urandom"}) {
    if (!BindNode(scratch + "/" + node, std::string("/dev/") + node, why))
      return false;
  }
  const char* links[][2] = {{"/proc/self/fd", "/dev/fd"},
                            {"/proc/self/fd/0", "/dev/stdin"},
                            {"/proc/self/fd/1", "/dev/stdout"},
                            {"/proc/self/fd/2", "/dev/stderr"},
                            {"pts/ptmx", "/dev/ptmx"}};
  for (auto& link : links) {
    if (symlink(link[0], link[1]) != 0)
      return Fail(why, std::string("symlink ") + link[1]);
  }
  if (mkdir("/dev/pts", 0755) != 0) return Fail(why, "mkdir /dev/pts");
  const unsigned long flags = MS_NOSUID | MS_NOEXEC;
  // In a user namespace the default tty group may not be mapped, which makes
  // the mode option fail on some kernels; the defaults are good enough then.
  if (mount("devpts", "/dev/pts", "devpts", flags,
            "newinstance,ptmxmode=0666,mode=620") != 0 &&
      mount("devpts", "/dev/pts", "devpts", flags,
            "newinstance,ptmxmode=0666") != 0)
    return Fail(why, "mount devpts on /dev/pts");
  return true;
}

// Gives the sandbox empty lock directories of its own, so that the host's
// UUCP lock files do not reach the command under test and the lock files a
// test makes do not reach the host. A directory that does not exist, and a
// link (Debian's /var/lock -> /run/lock), are left as they are.
bool PrivateLockDirs(std::string* why) {
  for (const char* dir : {"/run/lock", "/var/lock"}) {
    struct stat st;
    if (lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (mount("tmpfs", dir, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              "mode=1777") != 0)
      return Fail(why, std::string("mount tmpfs on ") + dir);
  }
  return true;
}

// Hides the machine's sysfs behind an empty tmpfs of our own.
bool PrivateSys(std::string* why) {
  if (mount("tmpfs", "/sys", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
            "mode=0755") != 0)
    return Fail(why, "mount tmpfs on /sys");
  return true;
}

// Makes the folder path and every missing folder above it.
bool MakeFolders(const std::string& path, std::string* why) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
      return Fail(why, "mkdir " + folder);
    if (slash == std::string::npos) return true;
  }
}

// Writes text and a line end to a new read-only file at path, as sysfs shows
// an attribute.
bool WriteAttribute(const std::string& path, const std::string& text,
                    std::string* why) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
  if (fd < 0) return Fail(why, "create " + path);
  std::string line = text + "\n";
  bool ok =
      write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  if (!ok) Fail(why, "write " + path);
  close(fd);
  return ok;
}

}  // namespace

bool MakePrivateDev(std::string* why) {
  if (geteuid() == 0) {
    // Root without CAP_SYS_ADMIN (some containers) can still go the user
    // namespace way.
    if (unshare(CLONE_NEWNS) != 0) {
      if (errno != EPERM) return Fail(why, "unshare(mount)");
      if (!EnterUserNamespace(why)) return false;
    }
  } else if (!EnterUserNamespace(why)) {
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return Fail(why, "make / private");

  char scratch[] = "/tmp/hubsim-dev.XXXXXX";
  if (mkdtemp(scratch) == nullptr) return Fail(why, "mkdtemp in /tmp");
  bool ok = false;
  if (mount("/dev", scratch, nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    Fail(why, "bind /dev");
  } else {
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
      Fail(why, "mount tmpfs on /dev");
    else
      ok = PopulateDev(scratch, why);
    // The nodes we need are bound on their own now; the old /dev goes away.
    umount2(scratch, MNT_DETACH);
  }
  rmdir(scratch);
  return ok && PrivateLockDirs(why) && PrivateSys(why);
}

bool OpenPty(Pty* pty, std::string* why) {
  int master = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0) return Fail(why, "open /dev/ptmx");
  char name[64];
  if (grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, name, sizeof name) != 0) {
    Fail(why, "set up pty");
    close(master);
    return false;
  }
  int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    Fail(why, std::string("open ") + name);
    close(master);
    return false;
  }
  struct termios tio;
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tcsetattr(slave, TCSANOW, &tio);
  }
  pty->master = master;
  pty->slave = slave;
  pty->slave_path = name;
  return true;
}

bool LinkTtyUsb(int number, const std::string& target, std::string* why) {
  std::string path = "/dev/ttyUSB" + std::to_string(number);
  if (symlink(target.c_str(), path.c_str()) != 0)
    return Fail(why, "symlink " + path);
  return true;
}

bool MakePlainTtyUsb(int number, std::string* why) {
  std::string path = "/dev/ttyUSB" + std::to_string(number);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return Fail(why, "create " + path);
  bool ok = fchmod(fd, 0666) == 0;  // past the umask
  if (!ok) Fail(why, "chmod " + path);
  close(fd);
  return ok;
}

bool MakeUsbDevice(int number, int port, const std::string& vendor,
                   const std::string& product, const std::string* serial,
                   std::string* why) {
  const std::string bus = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
  const std::string device = "1-" + std::to_string(port);
  const std::string tty = "ttyUSB" + std::to_string(number);
  const std::string below = device + "/" + device + ":1.0/" + tty;
  // The root hub is a USB device too, with IDs of its own: a walk up from the
  // port must stop at the first device above it.
  struct stat st;
  if (stat(bus.c_str(), &st) != 0 &&
      !(MakeFolders(bus, why) &&
        WriteAttribute(bus + "/idVendor", "1d6b", why) &&
        WriteAttribute(bus + "/idProduct", "0002", why)))
    return false;
  if (!MakeFolders(bus + "/" + below + "/tty/" + tty, why) ||
      !WriteAttribute(bus + "/" + device + "/idVendor", vendor, why) ||
      !WriteAttribute(bus + "/" + device + "/idProduct", product, why) ||
      (serial != nullptr &&
       !WriteAttribute(bus + "/" + device + "/serial", *serial, why)) ||
      !MakeFolders("/sys/class/tty", why))
    return false;
  const std::string links[][2] = {
      {"../../../" + tty, bus + "/" + below + "/tty/" + tty + "/device"},
      {"../../devices/pci0000:00/0000:00:14.0/usb1/" + below + "/tty/" + tty,
       "/sys/class/tty/" + tty}};
  for (auto& link : links) {
    if (symlink(link[0].c_str(), link[1].c_str()) != 0)
      return Fail(why, "symlink " + link[1]);
  }
  return true;
}

}  // namespace hubsim
