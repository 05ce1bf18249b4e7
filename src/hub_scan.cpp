#include "hub_scan.h"

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "hub_model.h"
#include "port_lock.h"
#include "progress.h"
#include "serial_link.h"
#include "trace.h"
#include "usb_identity.h"

// The path of scan position n: "/dev/ttyUSB" and n in decimal.
static std::string ScanPath(int n) { return "/dev/ttyUSB" + my_itos(n); }

// What a device of the scan turned out to be, for the trace.
static std::string ScanVerdict(const std::string& ret, int nPorts,
                               const std::string& fw) {
  if (ret == kStatusOK)
    return "a hub, " + my_itos(nPorts) + " ports, firmware " + TraceBytes(fw);
  if (ret == kQueryErr) return "no hub: no usable answer to the query";
  if (ret == kIdErr) return "no hub: another identity";
  if (ret == kGetPortStateErr)
    return "skipped: a hub whose states cannot be read";
  if (ret == kPortHeld) return "skipped: held by another program";
  return "skipped: cannot be opened";
}

// A device's USB identity for the trace: "USB 0403:6015 serial "A1B2"",
// "USB 1a86:7523 without serial" or "no USB IDs in sysfs".
static std::string IdentityText(const std::string& vendor,
                                const std::string& product,
                                const std::string& serial) {
  if (vendor.empty()) return "no USB IDs in sysfs";
  return "USB " + vendor + ":" + product +
         (serial.empty() ? " without serial" : " serial " + TraceBytes(serial));
}

// One device's query, as a lone /Q:ttyUSBn would make it (the lock for as
// long as the query lasts, then QueryHub), but skipped as held when another
// program keeps it: at once for a live UUCP lock file, after
// kScanLockWaitMs for another program's flock; a nexli command's flock is
// waited for as a lone command waits. identity is the IdentityText the trace
// adds to the verdict.
static void QueryOneDevice(const std::string& path, const std::string& identity,
                           ScannedDevice* device) {
  int lock_fd = -1;
  std::string ret = LockPort(path, kPortLockWaitSeconds * 1000, &lock_fd, false,
                             kScanLockWaitMs);
  if (ret == kStatusOK) {
    ret = QueryHub(path, &device->nPorts, &device->fw, &device->PS64);
    UnlockPort(lock_fd);
  }
  device->status = ret;
  if (TraceOn())
    Trace(path, "scan: " + ScanVerdict(ret, device->nPorts, device->fw) + "; " +
                    identity);
  ProgressScanDone();
}

// What the scan's workers share: the devices to query, the next of them to
// take, and where the results go (each to its device's own record, so that
// nothing else is shared).
struct ScanWork {
  const std::vector<int>* present = nullptr;
  ScannedDevice* devices = nullptr;
  std::atomic<std::size_t> next{0};
};

// A worker: takes the next device until none is left.
static void* ScanWorker(void* arg) {
  ScanWork* work = static_cast<ScanWork*>(arg);
  const std::vector<int>& present = *work->present;
  for (std::size_t i = work->next++; i < present.size(); i = work->next++) {
    int n = present[i];
    ScannedDevice* device = &work->devices[n];
    std::string identity;
    if (TraceOn())
      identity = IdentityText(device->vendor, device->product, device->serial);
    QueryOneDevice(ScanPath(n), identity, device);
  }
  return nullptr;
}

int ScanQueriesAtOnce(int wanted) {
  long top = FD_SETSIZE;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < RLIM_INFINITY &&
      limit.rlim_cur < static_cast<rlim_t>(top))
    top = static_cast<long>(limit.rlim_cur);
  // The free numbers below top, counted only as far as needed: a new
  // descriptor takes the lowest free number.
  const long needed = static_cast<long>(wanted) * kScanDescriptorsPerQuery +
                      kScanSpareDescriptors;
  long free_numbers = 0;
  for (int fd = 0; fd < top && free_numbers < needed; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) ++free_numbers;
  long queries =
      (free_numbers - kScanSpareDescriptors) / kScanDescriptorsPerQuery;
  if (queries > wanted) queries = wanted;
  return queries < 1 ? 1 : static_cast<int>(queries);
}

void QueryEveryHub(const std::vector<std::string>& match,
                   ScannedDevice devices[kScanDevices]) {
  // The names that exist and that the match lets through; the others cost
  // one look (and a few sysfs reads) each and no thread. A device passed
  // over is never opened.
  std::vector<int> present;
  std::vector<int> passed_over;
  for (int n = 0; n < kScanDevices; ++n) {
    ScannedDevice& device = devices[n];
    device.status = kPortUnopened;
    if (access(ScanPath(n).c_str(), F_OK) != 0) continue;
    ReadUsbIdentity(ScanPath(n), &device.vendor, &device.product,
                    &device.serial);
    if (match.empty() || ScanMatches(match, device.vendor, device.product))
      present.push_back(n);
    else
      passed_over.push_back(n);
  }

  if (TraceOn()) {
    Trace("", "scan: " + std::to_string(present.size() + passed_over.size()) +
                  " of the names ttyUSB0 to ttyUSB255 exist");
    std::string pairs;
    for (const std::string& pair : match)
      pairs += (pairs.empty() ? "" : ",") + pair;
    if (!match.empty())
      Trace("", "scan: " + std::to_string(present.size()) +
                    " of them match NEXLI_SCAN_MATCH " + pairs);
    for (int n : passed_over)
      Trace(ScanPath(n),
            "scan: passed over, not opened: " +
                IdentityText(devices[n].vendor, devices[n].product,
                             devices[n].serial) +
                (devices[n].vendor.empty() ? " to match NEXLI_SCAN_MATCH"
                                           : " is not in NEXLI_SCAN_MATCH"));
  }

  ProgressScanBegin(static_cast<int>(present.size()));
  if (present.empty()) return;

  // The calling thread is one of the workers; a thread that cannot be
  // started (no memory, the process's thread limit) leaves its share to the
  // others.
  ScanWork work;
  work.present = &present;
  work.devices = devices;
  const int at_once = ScanQueriesAtOnce(static_cast<int>(present.size()));
#ifdef M_ARENA_MAX
  // glibc would give threads malloc arenas of their own, 64 MiB of address
  // space each, up to eight per core: the queries' few short strings share
  // the one arena instead.
  if (at_once > 1) mallopt(M_ARENA_MAX, 1);
#endif
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kScanThreadStackBytes);
  std::vector<pthread_t> workers;
  workers.reserve(static_cast<std::size_t>(at_once));
  for (int w = 1; w < at_once; ++w) {
    pthread_t worker;
    if (pthread_create(&worker, &attr, ScanWorker, &work) != 0) break;
    workers.push_back(worker);
  }
  pthread_attr_destroy(&attr);
  if (TraceOn() && workers.size() + 1 < present.size())
    Trace("", "scan: " + std::to_string(workers.size() + 1) +
                  " queries at a time, for want of descriptors or threads");
  ScanWorker(&work);
  for (pthread_t worker : workers) pthread_join(worker, nullptr);
}
