// Sharing a hub between callers: a command has its control port to itself
// from its first exchange to its last. The lock is an exclusive flock(2) on a
// descriptor of the device node held only for that purpose, the convention of
// terminal programs such as picocom and tio; a UUCP lock file
// (LCK..ttyUSBn in /run/lock or /var/lock) naming a live process also counts
// as a holder, as minicom and ser2net leave one. Lock files are only read,
// never written, and a flock dies with its process, so nothing is ever left
// behind. Nothing here prints or ends the process.
#ifndef NEXLI_PORT_LOCK_H
#define NEXLI_PORT_LOCK_H

#include <string>

// How long a command waits for a port that another holder has. A silent
// exchange costs 10.1 s, so the worst normal run of another command is a
// little over 10 s; 30 s lets a queued command outlast two of them.
const int kPortLockWaitSeconds = 30;

// How long the /Q scan waits in all for a device whose flock a program other
// than nexli holds (or one that cannot be told) before it skips the device.
// Far shorter than the 30 s a lone command waits: a port that a terminal
// program (picocom, tio, ser2net) keeps open is not a free hub. Another
// nexli or nexla command ends by itself, so the scan waits for it as a lone
// command waits (FlockHeldByNexli).
const int kScanLockWaitMs = 1500;

// Status texts of LockPort besides "OK".
extern const char* const kPortUnopened;  // "Port Unopened": nothing held
extern const char* const kPortHeld;      // "Port Held": nothing held

// Takes the lock on the device at path, waiting at most wait_ms milliseconds
// while another holder has it; with wait_for_lock_files false, a UUCP lock
// file of a live process ends the wait at once (kPortHeld). With
// other_program_wait_ms from 0 to below wait_ms, the time the flock is found
// held by anything but a nexli command (FlockHeldByNexli false) counts
// against that shorter wait too, and the wait ends when either runs out;
// the time under nexli holders counts against wait_ms alone. Returns:
//  "OK" with *plock_fd the descriptor that holds the lock, to keep open for
//     as long as the port is in use (-1 when the device is no terminal: such
//     a device is not locked and the caller goes on as without a lock);
//  kPortUnopened when the device cannot be opened at all (absent, no
//     permission): the caller goes on, and its exchange reports the error;
//  kPortHeld when another holder still had it when the wait ran out.
// The descriptor is opened without becoming a controlling terminal and is
// closed on exec.
std::string LockPort(const std::string& path, int wait_ms, int* plock_fd,
                     bool wait_for_lock_files = true,
                     int other_program_wait_ms = -1);

// Gives up a lock that LockPort took (closes lock_fd); -1 is ignored.
void UnlockPort(int lock_fd);

// True when a UUCP lock file for the device at path, in /run/lock or
// /var/lock, names a process that is still alive (other than this one). The
// file is LCK.. and the name of the device: the last component of path, or
// of any link in /dev that path leads to. It holds the process id in ASCII
// (HDB style, "      1234\n") or as a binary int.
bool UucpLockHeld(const std::string& path);

// True when the flock on the device at path is held and every holder is a
// nexli or nexla process, with *ppid the process id of one of them; false,
// with *ppid 0, when the device is free, when any other program holds it,
// and whenever that cannot be told. From /proc alone, read-only:
//  - the holders are the process ids of /proc/locks' granted FLOCK entries
//    for the device and inode of the device node (stat of path, links
//    followed); an id is that of the process that took the lock;
//  - a holder is a nexli process when /proc/PID/maps shows the file of this
//    program's own code (the same device and inode, as /proc/self/maps shows
//    it), or a file named nexli or nexla (another copy, or one replaced since
//    it started). Looking at the mapped files, not only at /proc/PID/exe,
//    finds the program under a runner whose process it is (valgrind,
//    qemu-user: their exe is the runner, the program's file is mapped). A
//    process that is ending (its maps empty: its memory is gone, its
//    descriptors not yet closed) counts too: it lets go by itself;
//  - it is confirmed in /proc/PID/fdinfo: one of its descriptors is the open
//    file that holds the lock. So a process id that the lock's taker left
//    behind and another process took since does not count.
// Cannot be told, and so false: no /proc, a holder of another user (its
// maps are not readable), a process id of 0 (a taker in another PID
// namespace), a lock whose taker has ended while a process it passed the
// descriptor to keeps it (a shell's "exec 9<", then flock 9).
bool FlockHeldByNexli(const std::string& path, long* ppid);

#endif
