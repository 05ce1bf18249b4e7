// JSON text of the -J form of /Q and /G: one hub as an object on one line,
// and the scan as an array of such objects. Text composition only: nothing
// here prints, ends the process or throws.
//
// A hub object has these keys, in this order:
//   "device"    the control port's name under /dev, as "ttyUSB0"
//   "ports"     the port count as the hub reports it (a number; 0 or negative
//               when the hub says so)
//   "firmware"  the hub's 3-byte firmware text
//   "on"        the ports 1 to the count that are on, ascending, as numbers
//               ([] for none): the On= list of /Q and /G
//   "off"       those that are off: the Off= list
//   "hex"       the states as /G -H prints them, 8 hex digits
//   "binary"    the states as /G -B prints them, port 1 last ("" for a count
//               of 0 or less)
// as in {"device":"ttyUSB0","ports":4,"firmware":"101","on":[1,3],
// "off":[2,4],"hex":"05000000","binary":"0101"}; then, each only where it is
// known (usb_identity.h), the USB identity of the hub's serial bridge:
//   "usb_vendor"   its vendor ID, 4 lower-case hex digits, as "0403"
//   "usb_product"  its product ID, the same way
//   "usb_serial"   its serial number string
//
// Strings are written byte by byte, each byte as the character of the same
// code (ISO 8859-1), so any bytes a hub sends give valid JSON and a reader
// gets them back exactly by encoding the string as Latin-1. The text is
// ASCII throughout: '"' and '\' are escaped with a backslash, control bytes
// as \b \f \n \r \t or \u00XX, bytes from 0x7F up as \u00XX (lower-case hex).
#ifndef NEXLI_JSON_TEXT_H
#define NEXLI_JSON_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

// The JSON string (quotes included) of bytes, by the mapping above.
std::string JsonString(const std::string& bytes);

// The hub object of a hub on /dev/device with the port count, firmware text
// and port-state bitmap that QueryHub reported, and the USB identity that
// ReadUsbIdentity gave: each of vendor, product and serial that is empty has
// no member.
std::string HubJson(const std::string& device, int nPorts,
                    const std::string& fw, std::uint64_t PS64,
                    const std::string& vendor, const std::string& product,
                    const std::string& serial);

// The JSON array of elements (each already JSON text), in the order given:
// "[]" for none.
std::string JsonArray(const std::vector<std::string>& elements);

#endif
