// The JSON of -J for any hub. Input: bytes 0-2 are the firmware text, byte 3
// the port count (-128 to 127), the rest the reply to "GP\r" as the exchange
// keeps it; the whole input is also the serial of the hub's USB bridge. Each
// document must be read by a strict reader of the JSON that nexli writes
// (RFC 8259 objects, arrays, strings and integers, in ASCII, no blanks: a
// subset, so all it takes is JSON), and its strings must give back the bytes
// they were made of, read as Latin-1. So must the whole input as one string.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "hub_model.h"
#include "json_text.h"
#include "serial_link.h"

namespace {

// Reads one value of text at *pos and moves past it; false at the first
// thing the grammar does not allow. Decoded strings go to strings in order.
bool ReadValue(const std::string& text, std::size_t* pos,
               std::vector<std::u32string>* strings, int depth) {
  auto next = [&]() { return *pos < text.size() ? text[*pos] : '\0'; };
  const char open = next();
  if (open == '"') {
    std::u32string value;
    for (++*pos; next() != '"'; ++*pos) {
      unsigned char c = static_cast<unsigned char>(next());
      if (c < 0x20 || c >= 0x80) return false;  // raw control, end, non-ASCII
      if (c != '\\') {
        value += c;
        continue;
      }
      ++*pos;
      const std::string escapes = "\"\\/bfnrt";
      const std::u32string meant = U"\"\\/\b\f\n\r\t";
      if (next() != '\0' && escapes.find(next()) != std::string::npos) {
        value += meant[escapes.find(next())];
        continue;
      }
      if (next() != 'u' || *pos + 4 >= text.size()) return false;
      const std::string digits = text.substr(*pos + 1, 4);
      if (digits.find_first_not_of("0123456789abcdefABCDEF") !=
          std::string::npos)
        return false;
      char32_t unit = std::stoul(digits, nullptr, 16);
      if (unit >= 0xD800 && unit <= 0xDFFF) return false;  // no halves here
      value += unit;
      *pos += 4;
    }
    ++*pos;
    strings->push_back(value);
    return true;
  }
  if (open == '[' || open == '{') {
    if (depth > 4) return false;
    const char close = open == '[' ? ']' : '}';
    ++*pos;
    if (next() == close) return ++*pos, true;
    for (;;) {
      if (open == '{') {
        if (next() != '"' || !ReadValue(text, pos, strings, depth + 1))
          return false;
        if (next() != ':') return false;
        ++*pos;
      }
      if (!ReadValue(text, pos, strings, depth + 1)) return false;
      if (next() == close) return ++*pos, true;
      if (next() != ',') return false;
      ++*pos;
    }
  }
  // An integer: -?(0|[1-9][0-9]*).
  if (next() == '-') ++*pos;
  if (next() == '0') return ++*pos, true;
  if (next() < '1' || next() > '9') return false;
  while (next() >= '0' && next() <= '9') ++*pos;
  return true;
}

// The strings of document, which must be one value and nothing else.
std::vector<std::u32string> Read(const std::string& document) {
  std::vector<std::u32string> strings;
  std::size_t pos = 0;
  FUZZ_CHECK(ReadValue(document, &pos, &strings, 0));
  FUZZ_CHECK(pos == document.size());
  return strings;
}

// bytes read as Latin-1: each byte the code point of its value.
std::u32string Latin1(const std::string& bytes) {
  std::u32string points;
  for (char c : bytes) points += static_cast<unsigned char>(c);
  return points;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(Read(JsonString(input)) ==
             std::vector<std::u32string>{Latin1(input)});
  if (size < 4) return 0;

  // The reply text as the exchange keeps it: up to its "\n", 20 bytes at
  // most, read as a C string.
  std::string reply = input.substr(4, 20);
  if (reply.find('\n') != std::string::npos) reply.resize(reply.find('\n') + 1);
  reply = reply.c_str();
  std::uint64_t PS64 = 0;
  if (ParseStateReply(reply, &PS64) != kStatusOK) return 0;

  const std::string fw = input.substr(0, 3);
  const int nPorts = static_cast<std::int8_t>(data[3]);
  const std::string hub = HubJson("ttyUSB0", nPorts, fw, PS64, "", "", "");
  std::string hex;
  htos_PS64(PS64, &hex);
  const std::vector<std::u32string> want = {
      U"device",
      U"ttyUSB0",
      U"ports",
      U"firmware",
      Latin1(fw),
      U"on",
      U"off",
      U"hex",
      Latin1(hex),
      U"binary",
      Latin1(PortStateBits(PS64, nPorts))};
  FUZZ_CHECK(Read(hub) == want);
  // With the bridge's USB identity (the serial any bytes at all), the same
  // members byte for byte, then those of the identity.
  const std::string usb =
      HubJson("ttyUSB0", nPorts, fw, PS64, "0403", "6015", input);
  FUZZ_CHECK(usb.compare(0, hub.size() - 1, hub, 0, hub.size() - 1) == 0);
  std::vector<std::u32string> want_usb = want;
  want_usb.insert(want_usb.end(), {U"usb_vendor", U"0403", U"usb_product",
                                   U"6015", U"usb_serial", Latin1(input)});
  FUZZ_CHECK(Read(usb) == want_usb);
  // The scan's array of such objects.
  FUZZ_CHECK(Read(JsonArray({hub, hub})).size() == 2 * want.size());
  FUZZ_CHECK(JsonArray({}) == "[]");
  return 0;
}
