// The /Q scan's queries, all at once: every device that exists among
// /dev/ttyUSB0 to /dev/ttyUSB255 is queried at the same time, each exactly as
// a lone query of that device (its port lock, then QueryHub), so a scan costs
// its slowest device and not the sum of them. Nothing here prints or ends the
// process; the caller prints the results in ascending order.
#ifndef NEXLI_HUB_SCAN_H
#define NEXLI_HUB_SCAN_H

#include <cstdint>
#include <string>
#include <vector>

// The names the scan tries: ttyUSB0 to ttyUSB255.
const int kScanDevices = 256;
// Each query runs on a thread of its own with this much stack (the calling
// thread takes one query too): 256 queries reserve 64 MiB of address space,
// of which only the pages a query touches take memory.
const int kScanThreadStackBytes = 256 * 1024;
// Descriptors one query holds at most at once: its lock, its exchange (or,
// while it waits for a lock, one /proc folder and one file in it).
const int kScanDescriptorsPerQuery = 3;
// Descriptors left to the rest of the program while the queries run (the
// trace file, the progress line's terminal, a look into sysfs).
const int kScanSpareDescriptors = 8;

// What the scan found on one device.
struct ScannedDevice {
  // "OK" for a hub, with nPorts, fw and PS64 as QueryHub writes them; another
  // QueryHub status; kPortUnopened (port_lock.h) for a name that does not
  // exist, cannot be opened or was passed over; or kPortHeld for a device
  // that another program kept.
  std::string status;
  int nPorts = 0;
  std::string fw;
  std::uint64_t PS64 = 0;
  // Its USB identity as ReadUsbIdentity gives it (empty where sysfs has
  // none).
  std::string vendor;
  std::string product;
  std::string serial;
};

// How many queries may run at once with the descriptors this process has
// free: those below both its RLIMIT_NOFILE and FD_SETSIZE (select() takes no
// other), less kScanSpareDescriptors, kScanDescriptorsPerQuery to a query;
// never more than wanted and at least 1 (then each query in turn, as far as
// descriptors go).
int ScanQueriesAtOnce(int wanted);

// Queries /dev/ttyUSBn for every n from 0 to 255 whose name exists, all at
// once as far as ScanQueriesAtOnce and the threads that can be started allow
// (where none can, one after another in the calling thread), and returns
// when all have ended, with devices[n] what device n turned out to be. With
// pairs in match (usb_identity.h: NEXLI_SCAN_MATCH), a device whose USB
// identity is none of them is passed over: never opened, not even for its
// lock. A device under another's lock is waited for as port_lock.h's
// LockPort waits with wait_for_lock_files false: up to kPortLockWaitSeconds
// while nexli commands hold it, one with a live UUCP lock file is skipped at
// once, one under another program's flock (or one whose holder cannot be
// told) after kScanLockWaitMs in all.
void QueryEveryHub(const std::vector<std::string>& match,
                   ScannedDevice devices[kScanDevices]);

#endif
