// The controller of one virtual hub: its settings, its stored states and the
// answers it gives to requests, including the faults it can be told to show.
// Nothing here touches a terminal; the serial side lives in line.h.
#ifndef HUBSIM_HUB_H
#define HUBSIM_HUB_H

#include <cstdint>
#include <optional>
#include <string>

namespace hubsim {

// Misbehaviour of a hub, as chosen on the command line. Unless only_code is
// set, every request is affected; otherwise only requests with that code.
// With only_nth, only the nth request of those is.
struct Faults {
  std::string only_code;  // two-byte request code, or empty for all requests
  long only_nth = 0;      // only the nth of those, from 1 (0: every one)
  bool silent = false;    // never answer; the request is not applied
  long late_ms = 0;       // answer this many milliseconds late
  long partial = -1;      // send only this many bytes of the reply (-1: all)
  bool overlong = false;  // pad the reply with 'X' to 26 bytes
  bool e01 = false;       // answer E01 and apply nothing
  std::optional<std::string> echo;            // SP/FP answer "G" + echo
  std::optional<std::string> garbage_states;  // GP answer text
  std::optional<std::string> reply;  // whole reply; request not applied
  long hangup = -1;      // send this many bytes, then hang up (-1: never)
  std::string trailing;  // sent after every reply
  bool pace = false;     // time requests and replies like 9600 8N1
  // The latency timer of a USB serial bridge between the hub and the
  // program, in milliseconds (0: none). The bridge holds every reply byte,
  // whatever its request's code: see Line.
  long latency_ms = 0;
  // Answer this many requests, then take no more bytes from the line, as if
  // its buffer were full; hang up 2 s later (-1: never).
  long stop_reading = -1;
};

// Everything the command line says about one hub.
struct HubSettings {
  int number = 0;                     // the hub is /dev/ttyUSB<number>
  std::string count_field = " 8";     // two characters of the ?Q reply
  std::string firmware = "101";       // three characters
  std::string identity = "TORVAN";    // six characters
  std::string password = "mora    ";  // eight bytes
  uint32_t present = 0;
  uint32_t powerup = 0;
  bool states_given = false;  // --states was used
  std::string state_file;     // empty: none
  bool not_tty = false;       // a plain file instead of a hub
  // The USB identity of the device's serial bridge in the private /sys: 4
  // lower-case hex digits each (empty: no sysfs entry), and the serial
  // number string (none: no serial file).
  std::string usb_vendor;
  std::string usb_product;
  std::optional<std::string> usb_serial;
  Faults faults;
};

// What the hub does in response to one complete request.
struct Answer {
  std::string bytes;     // the bytes to send, in order (may be empty)
  bool hang_up = false;  // hang up the line once the bytes have been read
  long delay_ms = 0;     // extra delay before the first byte
  bool paced = false;    // send at 9600 8N1 speed, timed from the request
};

class Hub {
 public:
  // Builds a hub from its settings. If a state file is named and exists, the
  // password and power-up states come from it and the present states equal
  // the power-up states (unless --states was given). Returns false with a
  // reason in *why when the state file exists but cannot be read or parsed.
  bool Init(const HubSettings& settings, std::string* why);

  // Handles one complete request (all bytes since the previous "\r", ending
  // with "\r"): applies it to the stored states unless a fault forbids that,
  // rewrites the state file when the password or power-up states change, and
  // returns what to send back.
  Answer Handle(const std::string& request);

  const HubSettings& settings() const { return s_; }

 private:
  // The reply of a correctly working hub to request, which it applies.
  std::string NormalReply(const std::string& request);
  // Writes the state file (if any) with the current password and power-up
  // states, through a temporary file and rename. Failures go to stderr.
  void SaveStateFile() const;

  HubSettings s_;
  long fault_requests_ = 0;  // requests so far that the faults concern
};

// Hub hex text of a 32-bit state bitmap: four bytes, least significant first,
// each as "%02X" (0x1A6 -> "A6010000").
std::string HexText(uint32_t bits);

// Parses up to 8 hex digits (either case) in hub hex text form, padding on the
// right with '0' to 8 digits. Returns false if text is empty, longer than 8 or
// holds a non-hex character.
bool ParseHexText(const std::string& text, uint32_t* bits);

// Decodes the escapes \r \n \t \\ and \xHH; any other character (including a
// backslash not starting one of those) is kept as is.
std::string DecodeEscapes(const std::string& text);

// Writes bytes for the request log: "\r", "\n" and "\\" as \r \n \\, other
// bytes below 0x20 or from 0x7F up as \xHH, everything else literally.
std::string EscapeForLog(const std::string& bytes);

}  // namespace hubsim

#endif
