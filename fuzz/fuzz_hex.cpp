// The port-state conversions of one revision (the target is built once per
// revision). Input: any text; its first 8 bytes also serve as a bitmap and
// its first byte as a port count.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "hub_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // Hex text to bitmap: only the first 8 characters count; missing ones are
  // '0'.
  const std::uint64_t little = s2hex_l(text);
  FUZZ_CHECK(little == s2hex_l(text.substr(0, 8)));
  if (text.size() < 8)
    FUZZ_CHECK(little == s2hex_l(text + std::string(8 - text.size(), '0')));
  std::uint64_t stored = 0;
  stoh_PS64(text, &stored);
  FUZZ_CHECK(stored == little);
  (void)s2hex(text);
  (void)my_stoi(text);

  // Bitmap to hex text and back, for any 64-bit value.
  std::uint64_t bitmap = 0;
  std::memcpy(&bitmap, text.data(), text.size() < 8 ? text.size() : 8);
  std::string hex;
  htos_PS64(bitmap, &hex);
  FUZZ_CHECK(hex.size() == 8);
  FUZZ_CHECK(s2hex_l(hex) == (bitmap & 0xFFFFFFFF));

  // Port lists and binary text agree, port for port.
  const int nPorts = size > 0 ? static_cast<int>(data[0]) - 128 : 0;
  std::string on;
  std::string off;
  ParsePortStates(bitmap, nPorts, &on, &off);
  const std::string bits = PortStateBits(bitmap, nPorts);
  FUZZ_CHECK(static_cast<int>(bits.size()) == (nPorts > 0 ? nPorts : 0));
  std::string want_on;
  std::string want_off;
  for (int p = 1; p <= nPorts; ++p) {
    std::string& list = bits[nPorts - p] == '1' ? want_on : want_off;
    list += (list.empty() ? "" : ",") + my_itos(p);
  }
  FUZZ_CHECK(on == (want_on.empty() ? "None" : want_on));
  FUZZ_CHECK(off == (want_off.empty() ? "None" : want_off));
  FUZZ_CHECK(my_itos(nPorts) == std::to_string(nPorts));
  return 0;
}
