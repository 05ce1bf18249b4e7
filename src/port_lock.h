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

// How long the /Q scan waits for a device that another program's flock
// holds before it skips the device. Long enough for another nexli command on
// a working hub to finish (the slowest, /S on a paced line, takes 0.07 s;
// a USB adapter's latency timer can add 0.05 s, and several commands may be
// queued), and far shorter than the 30 s a lone command waits: a port that a
// terminal program (picocom, tio, ser2net) keeps open is not a free hub.
const int kScanLockWaitMs = 1500;

// Status texts of LockPort besides "OK".
extern const char* const kPortUnopened;  // "Port Unopened": nothing held
extern const char* const kPortHeld;      // "Port Held": nothing held

// Takes the lock on the device at path, waiting at most wait_ms milliseconds
// while another holder has it; with wait_for_lock_files false, a UUCP lock
// file of a live process ends the wait at once (kPortHeld). Returns:
//  "OK" with *plock_fd the descriptor that holds the lock, to keep open for
//     as long as the port is in use (-1 when the device is no terminal: such
//     a device is not locked and the caller goes on as without a lock);
//  kPortUnopened when the device cannot be opened at all (absent, no
//     permission): the caller goes on, and its exchange reports the error;
//  kPortHeld when another holder still had it when the wait ran out.
// The descriptor is opened without becoming a controlling terminal and is
// closed on exec.
std::string LockPort(const std::string& path, int wait_ms, int* plock_fd,
                     bool wait_for_lock_files = true);

// Gives up a lock that LockPort took (closes lock_fd); -1 is ignored.
void UnlockPort(int lock_fd);

// True when a UUCP lock file for the device at path, in /run/lock or
// /var/lock, names a process that is still alive (other than this one). The
// file is LCK.. and the name of the device: the last component of path, or
// of any link in /dev that path leads to. It holds the process id in ASCII
// (HDB style, "      1234\n") or as a binary int.
bool UucpLockHeld(const std::string& path);

#endif
