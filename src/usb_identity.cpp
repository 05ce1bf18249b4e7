#include "usb_identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "front_end.h"
#include "serial_link.h"
#include "trace.h"

const char* const kScanMatchError = "Scan Match Error!";

// Where the device tree of sysfs lies; the walk up from a port never leaves
// it.
static const std::string kDevicesDir = "/sys/devices";

// The bytes of a USB serial number string, as sysfs writes them: at most 126
// UTF-16 characters, so at most 378 bytes of UTF-8 and a line end.
static const int kSerialReadLimit = 512;

// The first limit bytes of the file at path, into *ptext. False when it
// cannot be opened or read.
static bool ReadSmallFile(const std::string& path, int limit,
                          std::string* ptext) {
  int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text(static_cast<std::size_t>(limit), '\0');
  ssize_t got = read(fd, &text[0], text.size());
  close(fd);
  if (got < 0) return false;
  text.resize(static_cast<std::size_t>(got));
  *ptext = text;
  return true;
}

// The text without one line end at its end.
static std::string WithoutLineEnd(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// True when text is 4 hex digits; they come back in lower case in *pid.
static bool IsIdText(const std::string& text, std::string* pid) {
  if (text.size() != 4) return false;
  std::string id;
  for (char ch : text) {
    char lower = to_lower(ch);
    if (!((lower >= '0' && lower <= '9') || (lower >= 'a' && lower <= 'f')))
      return false;
    id += lower;
  }
  *pid = id;
  return true;
}

// The identity of the tty whose class entry is /sys/class/tty/name: the first
// folder above its port that has an idVendor file is the USB device.
static bool IdentityOfTty(const std::string& name, std::string* pvendor,
                          std::string* pproduct, std::string* pserial) {
  char real[PATH_MAX];
  if (name.empty() || name.find('/') != std::string::npos ||
      realpath(("/sys/class/tty/" + name + "/device").c_str(), real) == nullptr)
    return false;
  std::string dir = real;
  while (dir.size() > kDevicesDir.size() &&
         dir.compare(0, kDevicesDir.size() + 1, kDevicesDir + "/") == 0) {
    std::string vendor;
    if (ReadSmallFile(dir + "/idVendor", 8, &vendor)) {
      std::string product;
      if (!IsIdText(WithoutLineEnd(vendor), pvendor) ||
          !ReadSmallFile(dir + "/idProduct", 8, &product) ||
          !IsIdText(WithoutLineEnd(product), pproduct))
        return false;
      std::string serial;
      if (ReadSmallFile(dir + "/serial", kSerialReadLimit, &serial))
        *pserial = WithoutLineEnd(serial);
      return true;
    }
    dir.erase(dir.rfind('/'));
  }
  return false;
}

bool ReadUsbIdentity(const std::string& path, std::string* pvendor,
                     std::string* pproduct, std::string* pserial) {
  pvendor->clear();
  pproduct->clear();
  pserial->clear();
  // The name itself, then each name in /dev that its links lead to (a udev
  // name such as ttyUSBHUB for ttyUSB3 has no class entry of its own).
  std::string link = path;
  for (int hop = 0; hop < 8; ++hop) {
    std::string::size_type slash = link.rfind('/');
    if (slash != 4 || link.compare(0, 5, "/dev/") != 0) break;
    if (IdentityOfTty(link.substr(slash + 1), pvendor, pproduct, pserial))
      return true;
    pvendor->clear();
    pproduct->clear();
    pserial->clear();
    char target[PATH_MAX];
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) break;
    std::string next(target, static_cast<std::size_t>(length));
    link = next[0] == '/' ? next : "/dev/" + next;
  }
  return false;
}

std::string ScanMatchFromEnvironment(std::vector<std::string>* pmatch) {
  pmatch->clear();
  const char* value = std::getenv("NEXLI_SCAN_MATCH");
  if (value == nullptr || *value == '\0') return kStatusOK;
  std::string list = value;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type comma = list.find(',', start);
    std::string item = list.substr(
        start, comma == std::string::npos ? std::string::npos : comma - start);
    std::string vendor;
    std::string product;
    if (item.size() != 9 || item[4] != ':' ||
        !IsIdText(item.substr(0, 4), &vendor) ||
        !IsIdText(item.substr(5), &product)) {
      pmatch->clear();
      if (TraceOn())
        Trace("", "scan: NEXLI_SCAN_MATCH " + TraceBytes(list) +
                      " is not a list of VVVV:PPPP pairs: " + TraceBytes(item) +
                      " is not one");
      return kScanMatchError;
    }
    pmatch->push_back(vendor + ":" + product);
    if (comma == std::string::npos) return kStatusOK;
    start = comma + 1;
  }
}

bool ScanMatches(const std::vector<std::string>& match,
                 const std::string& vendor, const std::string& product) {
  if (vendor.empty() || product.empty()) return false;
  for (const std::string& pair : match)
    if (pair == vendor + ":" + product) return true;
  return false;
}
