#include "hub_model.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "front_end.h"
#include "revision.h"
#include "serial_link.h"
#include "trace.h"

// ---- Conversions ------------------------------------------------------------

// The value of the hex digit at pos of s ('0' when s is shorter): the code,
// upper-cased, minus 48 up to '9' and minus 55 above it. Revision 1.03 reads
// codes as signed, 1.02 as unsigned.
static int HexDigitValue(const std::string& s, std::size_t pos) {
  char ch = pos < s.size() ? s[pos] : '0';
  int code = CharCode(to_upper(ch));
  return code <= '9' ? code - 48 : code - 55;
}

// The byte of the two digits at pos, formed in signed arithmetic and widened
// with its sign, so a non-digit spills into the higher bits.
static std::uint64_t HexByte(const std::string& s, std::size_t pos) {
  int byte = (HexDigitValue(s, pos) * 16) | HexDigitValue(s, pos + 1);
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(byte));
}

std::uint64_t s2hex_l(std::string s) {
  std::uint64_t result = 0;
  for (unsigned k = 0; k < 4; ++k) result |= HexByte(s, 2 * k) << (8 * k);
  return result;
}

void stoh_PS64(std::string s, std::uint64_t* pPS64) { *pPS64 = s2hex_l(s); }

void htos_PS64(std::uint64_t PS64, std::string* ps_PS64) {
  std::string text;
  for (unsigned k = 0; k < 4; ++k) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02X",
                  static_cast<unsigned>((PS64 >> (8 * k)) & 0xFF));
    text += byte;
  }
  *ps_PS64 = text;
}

// True when port (1-based) is on in PS64; ports outside 1 to 64 have no bit.
static bool PortIsOn(std::uint64_t PS64, int port) {
  return port >= 1 && port <= 64 && ((PS64 >> (port - 1)) & 1) != 0;
}

void ParsePortStates(std::uint64_t PS64, int nPorts, std::string* pOn,
                     std::string* pOff) {
  std::string on;
  std::string off;
  for (int p = 1; p <= nPorts; ++p) {
    std::string& list = PortIsOn(PS64, p) ? on : off;
    list += my_itos(p);
    list += ',';
  }
  *pOn = on.empty() ? "None" : on.substr(0, on.size() - 1);
  *pOff = off.empty() ? "None" : off.substr(0, off.size() - 1);
}

std::uint64_t s2hex(std::string s) {
  std::uint64_t result = 0;
  for (unsigned k = 0; k < 4; ++k) result = (result << 8) | HexByte(s, 2 * k);
  return result;
}

std::string my_itos(int n) {
  char text[64];
  std::snprintf(text, sizeof text, "%d", n);
  return text;
}

int my_stoi(std::string str) {
  std::uint32_t value = 0;
  for (char ch : str) {
    if (ch == '\0') break;
    value = value * 10u + static_cast<std::uint32_t>(CharCode(ch) - 48);
  }
  return static_cast<int>(value);
}

std::string PortStateBits(std::uint64_t PS64, int nPorts) {
  std::string bits;
  for (int p = nPorts; p >= 1; --p) bits += PortIsOn(PS64, p) ? '1' : '0';
  return bits;
}

// ---- Identification query
// -----------------------------------------------------

const char* const kQueryErr = "Query Err";
const char* const kIdErr = "ID Err";
const char* const kGetPortStateErr = "Get Port State Err";

std::string ParseQueryReply(const std::string& reply, int* nPorts,
                            std::string* pFW) {
  // A reply too short for its fields is no query reply.
  if (ReplyLineLength(reply) < kQueryReplyMinLength) return kQueryErr;
  if (reply.compare(0, kIdentityLength, kHubIdentity) != 0) return kIdErr;
  // Port count as atoi reads it, and the firmware text as received.
  *nPorts = std::atoi(reply.substr(kPortCountPos, kPortCountLength).c_str());
  *pFW = reply.substr(kFirmwarePos, kFirmwareLength);
  return kStatusOK;
}

std::string ParseStateReply(const std::string& reply, std::uint64_t* nPS64) {
  if (ReplyLineLength(reply) < kStateFieldLength) return kGetPortStateErr;
  *nPS64 = s2hex_l(reply.substr(0, kStateFieldLength));
  return kStatusOK;
}

bool PortCountIsExact(const std::string& reply) {
  if (ReplyLineLength(reply) < kPortCountPos + kPortCountLength) return false;
  char tens = reply[kPortCountPos];
  char ones = reply[kPortCountPos + 1];
  bool digits = (tens == ' ' || (tens >= '0' && tens <= '9')) && ones >= '0' &&
                ones <= '9';
  return digits && !(tens <= '0' && ones == '0');
}

bool StatesAreExact(const std::string& reply) {
  if (ReplyLineLength(reply) < kStateFieldLength) return false;
  for (int i = 0; i < kStateFieldLength; ++i) {
    char ch = to_upper(reply[i]);
    if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'))) return false;
  }
  return true;
}

// QueryHub, and with exact QueryHubForUpdate.
static std::string Query(const std::string& COM_Name, int* nPorts,
                         std::string* pFW, std::uint64_t* nPS64, bool exact) {
  char buf[kReplyBufferSize];

  // Identify the hub, then read its states in a second exchange whose reply
  // replaces the first in the buffer.
  if (SendCommand(COM_Name, QueryRequest(), buf, 100) != kStatusOK)
    return kQueryErr;
  int count = 0;
  std::string fw;
  std::string ret = ParseQueryReply(buf, &count, &fw);
  if (ret != kStatusOK) {
    Trace(COM_Name, ret == kIdErr
                        ? "not a hub: the reply does not begin with TORVAN"
                        : "not a hub: the reply is too short for a hub's");
    return ret;
  }
  if (exact && !PortCountIsExact(buf)) {
    Trace(COM_Name, "the port count " +
                        TraceBytes(std::string(buf).substr(kPortCountPos,
                                                           kPortCountLength)) +
                        " is not a count: no states are sent from it");
    return kQueryErr;
  }
  *nPorts = count;
  *pFW = fw;
  if (SendCommand(COM_Name, GetStateRequest(), buf, 100) != kStatusOK)
    return kGetPortStateErr;
  if (exact && ReplyLineLength(buf) >= kStateFieldLength &&
      !StatesAreExact(buf)) {
    Trace(COM_Name, "the states " +
                        TraceBytes(std::string(buf, kStateFieldLength)) +
                        " are not 8 hex digits: no states are sent from them");
    return kGetPortStateErr;
  }
  ret = ParseStateReply(buf, nPS64);
  if (ret != kStatusOK)
    Trace(COM_Name, "the state reply is too short for 8 hex digits");
  return ret;
}

std::string QueryHub(std::string COM_Name, int* nPorts, std::string* pFW,
                     std::uint64_t* nPS64) {
  return Query(COM_Name, nPorts, pFW, nPS64, false);
}

std::string QueryHubForUpdate(std::string COM_Name, int* nPorts,
                              std::string* pFW, std::uint64_t* nPS64) {
  return Query(COM_Name, nPorts, pFW, nPS64, true);
}

// ---- State expressions ------------------------------------------------------

static const char* const kInvalidNumber = "Invalid Number!";
// The hub's state field carries ports 1 to 32 only.
static const int kMaxSettablePort = 32;

std::string ParseInteger(std::string s, int start, int* pnext, int* pn) {
  int value = 0;
  int index = start;
  while (index < static_cast<int>(s.size())) {
    char ch = s[index];
    if (ch == ',') break;
    if (ch < '0' || ch > '9') return kInvalidNumber;
    // Saturate: any number of this size is above every port count.
    int digit = ch - '0';
    value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
    ++index;
  }
  *pn = value;
  *pnext = index + 1;
  return index < static_cast<int>(s.size()) ? "more" : "end of string";
}

// Every bit from position nPorts up to 63: the ports the hub does not have.
static std::uint64_t AbsentPorts(int nPorts) {
  if (nPorts <= 0) return ~std::uint64_t{0};
  if (nPorts >= 64) return 0;
  return ~std::uint64_t{0} << nPorts;
}

void Update_Port_State(std::string func, std::string sPS, int nPorts,
                       std::uint64_t* pPS64, std::string* pcurr_PS) {
  std::string body = sPS.size() > 2 ? sPS.substr(2) : std::string();

  // All ports at once; absent ports are marked on.
  if (body == "ALL") {
    std::uint64_t states = *pPS64;
    if (func == "0")
      states = 0;
    else if (func == "1")
      states = ~std::uint64_t{0};
    else
      states = ~states;
    states |= AbsentPorts(nPorts);
    *pPS64 = states;
    htos_PS64(states, pcurr_PS);
    return;
  }

  // A port list, applied element by element to the bitmap itself.
  int index = sPS.size() < 2 ? static_cast<int>(sPS.size()) : 2;
  std::string status;
  do {
    int next = 0;
    int n = 0;
    status = ParseInteger(sPS, index, &next, &n);
    if (status == kInvalidNumber) RetUsageError(kInvalidNumber);
    if (n == 0 || n > nPorts || n > kMaxSettablePort)
      RetUsageError(kInvalidNumber);
    std::uint64_t bit = std::uint64_t{1} << (n - 1);
    if (func == "0")
      *pPS64 &= ~bit;
    else if (func == "1")
      *pPS64 |= bit;
    else
      *pPS64 ^= bit;
    index = next;
  } while (status == "more");
  htos_PS64(*pPS64, pcurr_PS);
}

void Update_Port_State_BH(std::string func, std::string sPS, int nPorts,
                          std::uint64_t* pPS64, std::string* pcurr_PS) {
  std::string body = sPS.size() > 2 ? sPS.substr(2) : std::string();

  if (func == "B") {
    // Digits from the right, port 1 first; ports not given stay on.
    int length = static_cast<int>(body.size());
    int examined = nPorts < length ? nPorts : length;
    if (examined > kMaxSettablePort) RetUsageError(kInvalidNumber);
    std::uint64_t states = ~std::uint64_t{0};
    for (int k = 0; k < examined; ++k) {
      char digit = body[length - 1 - k];
      if (digit == '0')
        states &= ~(std::uint64_t{1} << k);
      else if (digit != '1')
        RetUsageError(kInvalidNumber);
    }
    *pPS64 = states;
    htos_PS64(states, pcurr_PS);
    return;
  }

  // Hex: up to 8 digits, the missing ones "F", absent ports on.
  if (body.size() > 8) RetUsageError(kInvalidNumber);
  for (char digit : body)
    if (!((digit >= '0' && digit <= '9') || (digit >= 'A' && digit <= 'F')))
      RetUsageError(kInvalidNumber);
  body.append(8 - body.size(), 'F');
  stoh_PS64(body, pPS64);
  *pPS64 |= AbsentPorts(nPorts);
  htos_PS64(*pPS64, pcurr_PS);
}

// ---- Set-state request
// ---------------------------------------------------------

const char* const kSetPortStateError = "Set Port State Error!";
const char* const kPasswordError = "Password Error!";
const char* const kCommandError = "Command Error!";

std::string SetStateReplyStatus(const std::string& reply,
                                const std::string& curr_PS) {
  // Accepted: the echo must be the states sent, character for character.
  if (!reply.empty() && reply[0] == kAcceptMark)
    return reply.substr(kEchoPos, kStateFieldLength) == curr_PS
               ? kStatusOK
               : kSetPortStateError;
  return reply.compare(0, 3, kWrongPassword) == 0 ? kPasswordError
                                                  : kCommandError;
}

void CheckSetStateReply(const std::string& reply, const std::string& curr_PS) {
  std::string ret = SetStateReplyStatus(reply, curr_PS);
  if (ret != kStatusOK) RetError(ret);
}

std::string SendSetState(std::string PIC_command, std::string curr_PS) {
  char buf[kReplyBufferSize];
  std::string ret = SendCommand(COM_Name, PIC_command, buf, 100);
  return ret != kStatusOK ? ret : SetStateReplyStatus(buf, curr_PS);
}

bool SetStateMayHaveApplied(const std::string& status) {
  return status != kStatusOK && status != kOpenPortError &&
         status != kSetPortOptionError && status != kPasswordError;
}

void SetPortState_PIC(std::string PIC_command, std::string curr_PS) {
  std::string ret = SendSetState(PIC_command, curr_PS);
  if (ret != kStatusOK) RetError(ret);
}
