// The USB identity of a control port's bridge, read from sysfs, and the /Q
// scan's choice of devices by it (NEXLI_SCAN_MATCH).
//
// A USB serial device ttyUSBn has its class entry /sys/class/tty/ttyUSBn,
// whose link "device" leads to the usb-serial port. Above that port in the
// device tree come the USB interface, then the USB device: the first folder
// that holds idVendor and idProduct (4 hex digits each) and, where the device
// has one, serial (its serial number string). sysfs is the kernel's own
// interface; no udev library is needed, and the program stays static.
//
// NEXLI_SCAN_MATCH, when set and not empty, is a comma-separated list of
// VVVV:PPPP pairs, a vendor and a product ID of 4 hex digits each in either
// case, as "0403:6015,10c4:ea60": the scan then opens only the devices whose
// USB identity is one of the pairs. A device whose identity cannot be read
// matches no pair.
//
// Nothing here prints or ends the process; it only reads sysfs and the
// environment, from any thread.
#ifndef NEXLI_USB_IDENTITY_H
#define NEXLI_USB_IDENTITY_H

#include <string>
#include <vector>

// Status text of a NEXLI_SCAN_MATCH that is not such a list.
extern const char* const kScanMatchError;  // "Scan Match Error!"

// The identity of the USB device behind the tty at path: "/dev/ttyUSB0", or a
// link in /dev that leads to one, as a udev name such as /dev/ttyUSBHUB.
// True with *pvendor and *pproduct the 4 hex digits in lower case, as sysfs
// holds them, and *pserial the bytes of the device's serial file without its
// line end (empty where there is none). False, with all three empty, when
// sysfs shows no such USB device: no class entry for the tty, no ancestor
// with both IDs, or IDs that are not 4 hex digits.
bool ReadUsbIdentity(const std::string& path, std::string* pvendor,
                     std::string* pproduct, std::string* pserial);

// The pairs of NEXLI_SCAN_MATCH: "OK" with *pmatch the pairs as "vvvv:pppp"
// in lower case, none when the variable is unset or empty (the scan opens
// every device then); kScanMatchError with *pmatch empty when the value is not
// a list of such pairs (an empty item, a blank, a pair of another form).
std::string ScanMatchFromEnvironment(std::vector<std::string>* pmatch);

// True when vendor:product (as ReadUsbIdentity gives them) is one of the
// pairs of match (as ScanMatchFromEnvironment gives them). Empty IDs match
// nothing.
bool ScanMatches(const std::vector<std::string>& match,
                 const std::string& vendor, const std::string& product);

#endif
