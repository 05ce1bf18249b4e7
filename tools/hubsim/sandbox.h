// The private /dev that the command under test runs in: a mount namespace of
// our own (inside a user namespace when we are not root) where /dev is a small
// tmpfs holding the basic devices, a fresh devpts instance and the
// /dev/ttyUSBn entries of the virtual hubs, and /sys a tmpfs showing only the
// USB identities given to them.
#ifndef HUBSIM_SANDBOX_H
#define HUBSIM_SANDBOX_H

#include <string>

namespace hubsim {

// Moves this process into a new mount namespace (as root) or a new user and
// mount namespace with our user mapped to root (otherwise), makes every mount
// private, and replaces /dev with a tmpfs holding null, zero, tty, random,
// urandom (bound from the real ones), fd/stdin/stdout/stderr links, a new
// devpts instance on /dev/pts and /dev/ptmx -> pts/ptmx. /run/lock (and
// /var/lock, where it is a directory of its own) become empty tmpfs of mode
// 1777, for UUCP lock files that only the sandbox sees. /sys becomes an empty
// tmpfs, so that no real device's sysfs entries (its USB IDs among them) can
// be seen; MakeUsbDevice adds the virtual ones. The rest of the file system
// is unchanged. Returns false with a reason in *why on failure; the
// process may then be left half set up and should exit.
bool MakePrivateDev(std::string* why);

// One pseudo-terminal pair. Both descriptors are close-on-exec.
struct Pty {
  int master = -1;         // non-blocking
  int slave = -1;          // kept open so the master never reads EIO
  std::string slave_path;  // e.g. /dev/pts/0
};

// Opens a pty pair through /dev/ptmx (call after MakePrivateDev) and sets the
// slave raw at 9600 baud. Returns false with a reason in *why on failure.
bool OpenPty(Pty* pty, std::string* why);

// Makes /dev/ttyUSB<number> a symlink to target. Returns false with a reason
// in *why on failure.
bool LinkTtyUsb(int number, const std::string& target, std::string* why);

// Creates /dev/ttyUSB<number> as an empty regular file with mode 0666.
// Returns false with a reason in *why on failure.
bool MakePlainTtyUsb(int number, std::string* why);

// Shows /dev/ttyUSB<number> in the private /sys as a USB serial device (call
// after MakePrivateDev): the USB device 1-<port> on the root hub usb1 of a PCI
// controller, holding idVendor, idProduct (vendor and product, 4 hex digits)
// and, unless serial is null, serial; below it its interface 1-<port>:1.0,
// the usb-serial port ttyUSB<number> and the tty ttyUSB<number>, whose class
// entry /sys/class/tty/ttyUSB<number> links there and whose link "device"
// leads back to the port, as the kernel lays them out. Returns false with a
// reason in *why on failure.
bool MakeUsbDevice(int number, int port, const std::string& vendor,
                   const std::string& product, const std::string* serial,
                   std::string* why);

}  // namespace hubsim

#endif
