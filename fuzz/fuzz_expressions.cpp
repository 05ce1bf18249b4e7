// State expressions applied to a reported bitmap with any port count.
// Input: byte 0 the port count (-10 to 99), bytes 1-4 the reported states
// (ports 1-32, least significant byte first), the rest the expression as typed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "exit_status.h"
#include "front_end.h"
#include "fuzz_support.h"
#include "hub_model.h"

namespace {

bool IsHexText(const std::string& text) {
  if (text.size() != 8) return false;
  for (char ch : text)
    if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'))) return false;
  return true;
}

// Bits from position ports up to 31: the ports a hub of that count lacks.
std::uint64_t AbsentLowPorts(int ports) {
  if (ports <= 0) return 0xFFFFFFFF;
  if (ports >= 32) return 0;
  return 0xFFFFFFFFULL & (~std::uint64_t{0} << ports);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 5) return 0;
  const int nPorts = static_cast<int>(data[0] % 110) - 10;
  const std::uint64_t reported =
      std::uint64_t{data[1]} | std::uint64_t{data[2]} << 8 |
      std::uint64_t{data[3]} << 16 | std::uint64_t{data[4]} << 24;
  // Upper-cased and chosen by its letter, as /S and /F do.
  const std::string sPS =
      toUpper(std::string(reinterpret_cast<const char*>(data) + 5, size - 5));
  if (sPS.size() < 2) return 0;
  const char letter = sPS[0];
  if (letter != '0' && letter != '1' && letter != 'T' && letter != 'B' &&
      letter != 'H')
    return 0;

  std::uint64_t states = reported;
  std::string curr_PS = "unset";
  try {
    if (letter == 'B' || letter == 'H')
      Update_Port_State_BH(std::string(1, letter), sPS, nPorts, &states,
                           &curr_PS);
    else
      Update_Port_State(std::string(1, letter), sPS, nPorts, &states, &curr_PS);
  } catch (const InputEnded& ended) {
    // "Invalid Number!": nothing would be sent, and the expression is what
    // was rejected, never the hub.
    FUZZ_CHECK(ended.outcome == kExitRejected);
    return 0;
  }

  // The text sent is the new bitmap's ports 1 to 32, as 8 upper-case digits.
  FUZZ_CHECK(IsHexText(curr_PS));
  FUZZ_CHECK(s2hex_l(curr_PS) == (states & 0xFFFFFFFF));
  const std::string body = sPS.substr(2);
  const bool whole_state = letter == 'B' || letter == 'H' || body == "ALL";
  if (whole_state) {
    // Ports the hub lacks are marked on.
    FUZZ_CHECK((states & AbsentLowPorts(nPorts)) == AbsentLowPorts(nPorts));
  } else {
    // A list changes only ports that exist and that the request carries.
    const std::uint64_t changed = (states ^ reported) & 0xFFFFFFFF;
    FUZZ_CHECK(nPorts >= 1);
    FUZZ_CHECK((changed & AbsentLowPorts(nPorts)) == 0);
    for (char ch : body) FUZZ_CHECK((ch >= '0' && ch <= '9') || ch == ',');
  }
  if (letter == '1' && body == "ALL") FUZZ_CHECK(curr_PS == "FFFFFFFF");
  if (letter == 'B') {
    // Binary digits beyond the port count or port 32 never reach the hub.
    FUZZ_CHECK(nPorts <= 32 || static_cast<int>(body.size()) <= 32);
  }
  return 0;
}
