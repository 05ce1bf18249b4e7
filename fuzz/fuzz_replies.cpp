// The judging of replies to "?Q\r", "GP\r" and the set-state request.
// Input: byte 0 chooses the reply (and, for set-state, bytes 1-8 are the
// states sent); the rest is what the hub sent. The reply text is what the
// exchange keeps: at most 20 bytes, up to the first "\n", read as a C string.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "exit_status.h"
#include "fuzz_support.h"
#include "hub_model.h"
#include "serial_link.h"

namespace {

std::string ReplyText(const std::uint8_t* data, std::size_t size) {
  std::string kept;
  for (std::size_t i = 0; i < size && kept.size() < 20; ++i) {
    kept += static_cast<char>(data[i]);
    if (data[i] == '\n') break;
  }
  return std::string(kept.c_str());  // the buffer is read as a text
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1) return 0;
  const int kind = data[0] % 3;

  if (kind == 0) {
    const std::string reply = ReplyText(data + 1, size - 1);
    int nPorts = -1000;
    std::string fw = "unset";
    std::string ret = ParseQueryReply(reply, &nPorts, &fw);
    if (ret == kStatusOK) {
      FUZZ_CHECK(reply.compare(0, 6, "TORVAN") == 0);
      FUZZ_CHECK(ReplyLineLength(reply) >= 15);
      FUZZ_CHECK(nPorts >= -9 && nPorts <= 99);
      FUZZ_CHECK(fw == reply.substr(12, 3));
      // A count that /S and /F take is one a hub can have.
      if (PortCountIsExact(reply)) FUZZ_CHECK(nPorts >= 1 && nPorts <= 99);
    } else {
      FUZZ_CHECK(ret == kQueryErr || ret == kIdErr);
      FUZZ_CHECK(nPorts == -1000 && fw == "unset");
    }
  } else if (kind == 1) {
    const std::string reply = ReplyText(data + 1, size - 1);
    std::uint64_t states = 12345;
    std::string ret = ParseStateReply(reply, &states);
    if (ret == kStatusOK) {
      FUZZ_CHECK(ReplyLineLength(reply) >= 8);
      FUZZ_CHECK(states == s2hex_l(reply.substr(0, 8)));
      // States that /S and /F take spill into no bit above port 32.
      if (StatesAreExact(reply)) FUZZ_CHECK(states <= 0xFFFFFFFFu);
    } else {
      FUZZ_CHECK(ret == kGetPortStateErr && states == 12345);
    }
  } else {
    if (size < 9) return 0;
    const std::string sent(reinterpret_cast<const char*>(data) + 1, 8);
    const std::string reply = ReplyText(data + 9, size - 9);
    bool accepted = true;
    try {
      CheckSetStateReply(reply, sent);
    } catch (const InputEnded& ended) {
      accepted = false;
      // A reply the hub sent is never the command line's fault.
      FUZZ_CHECK(ended.outcome == kExitFailed);
    }
    // Accepted exactly when the hub said "G" and echoed the 8 states sent.
    FUZZ_CHECK(accepted == (reply.size() >= 9 && reply[0] == 'G' &&
                            reply.compare(1, 8, sent) == 0));
  }
  return 0;
}
