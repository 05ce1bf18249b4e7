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
// Queries running at once at most: each holds two descriptors (its lock and
// its exchange) and a thread, so 256 devices cannot exhaust either.
const int kMaxScanQueries = 64;

// What the scan found on one device.
struct ScannedDevice {
  // "OK" for a hub, with nPorts, fw and PS64 as QueryHub writes them; another
  // QueryHub status; kPortUnopened (port_lock.h) for a name that does not
  // exist, cannot be opened or was passed over; or kPortHeld for a device
  // that another holder kept.
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

// Queries /dev/ttyUSBn for every n from 0 to 255 whose name exists, at most
// kMaxScanQueries at a time, and returns when all have ended, with devices[n]
// what device n turned out to be. With pairs in match (usb_identity.h:
// NEXLI_SCAN_MATCH), a device whose USB identity is none of them is passed
// over: never opened, not even for its lock. A device that another program
// holds is not waited for as a lone command waits: one with a live UUCP lock
// file is skipped at once, one under another's flock after kScanLockWaitMs
// (port_lock.h). Where no thread can be started, the queries run one after
// another in the calling thread.
void QueryEveryHub(const std::vector<std::string>& match,
                   ScannedDevice devices[kScanDevices]);

#endif
