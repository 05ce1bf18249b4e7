#include "hub_commands.h"

#include <cstdio>
#include <vector>

#include "front_end.h"
#include "hub_model.h"
#include "hub_scan.h"
#include "json_text.h"
#include "port_lock.h"
#include "power_cycle.h"
#include "serial_link.h"
#include "usb_identity.h"

// ---- Sharing the port -------------------------------------------------------

// Waits for the control port COM_Name and keeps it until the process ends,
// so that no other caller's request comes between this command's exchanges.
// A port that another holder keeps past the wait ends the command with
// held_message, before any byte is sent. Returns the descriptor that holds
// the lock (-1 for none), for a caller that gives it up early (UnlockPort).
static int HoldControlPort(const char* held_message) {
  int lock_fd = -1;
  if (LockPort(COM_Name, kPortLockWaitSeconds * 1000, &lock_fd) == kPortHeld)
    RetError(held_message);
  // lock_fd stays open: the lock ends with the process.
  return lock_fd;
}

// ---- /Q ---------------------------------------------------------------------

// The hub line of the list forms: "ttyUSB0, 12 ports, On=..., Off=..., FW=fff".
static std::string HubLine(const std::string& device, int nPorts,
                           std::uint64_t PS64, const std::string& fw) {
  std::string on;
  std::string off;
  ParsePortStates(PS64, nPorts, &on, &off);
  return device + ", " + my_itos(nPorts) + " ports, On=" + on + ", Off=" + off +
         ", FW=" + fw;
}

// The hub object of the hub on COM_Name, with its bridge's USB identity where
// sysfs shows it.
static std::string OneHubJson(int nPorts, const std::string& fw,
                              std::uint64_t PS64) {
  std::string vendor;
  std::string product;
  std::string serial;
  ReadUsbIdentity(COM_Name, &vendor, &product, &serial);
  return HubJson(COM_Name.substr(5), nPorts, fw, PS64, vendor, product, serial);
}

// Every path from /dev/ttyUSB0 to /dev/ttyUSB255, in ascending order; devices
// that are not hubs are skipped without a word. With NEXLI_SCAN_MATCH set,
// only the devices of its USB IDs are opened at all; a value that is not a
// list of such IDs ends the command before any device is opened. The devices
// are queried all at once, each under its own lock for its own query only; one
// that another holder keeps past the wait (hub_scan.h) is skipped like any
// device that does not answer as a hub. What is printed is the same as
// querying them one by one.
// option is "" (a line per hub and the count), "-F" (one formatted line) or
// "-J" (one JSON array).
static void ScanHubs(const std::string& option) {
  std::vector<std::string> match;
  std::string ret = ScanMatchFromEnvironment(&match);
  if (ret != kStatusOK) RetUsageError(ret);

  ScannedDevice devices[kScanDevices];
  QueryEveryHub(match, devices);

  int count = 0;
  std::string numbers;
  std::vector<std::string> hubs;
  for (int n = 0; n < kScanDevices; ++n) {
    const ScannedDevice& hub = devices[n];
    if (hub.status != kStatusOK) continue;
    ++count;
    if (option == "-F")
      numbers += my_itos(n) + ",";
    else if (option == "-J")
      hubs.push_back(HubJson("ttyUSB" + my_itos(n), hub.nPorts, hub.fw,
                             hub.PS64, hub.vendor, hub.product, hub.serial));
    else
      PrintLine(HubLine("ttyUSB" + my_itos(n), hub.nPorts, hub.PS64, hub.fw));
  }
  if (option == "-J") {
    PrintLine(JsonArray(hubs));
    return;
  }
  if (option.empty()) {
    PrintLine(my_itos(count) + " Managed USB Hub(s) Found.");
    return;
  }
  if (!numbers.empty()) numbers.erase(numbers.size() - 1);
  char total[16];
  std::snprintf(total, sizeof total, "%04d", count);
  PrintLine(std::string(total) + "ttyUSB" + numbers);
}

// The hub of COM_Name, as its hub line (option ""), its formatted line ("-F",
// the one output that ends in "\r\n") or its JSON object ("-J").
static void QueryOneHub(const std::string& option) {
  int nPorts = 0;
  std::string fw;
  std::uint64_t PS64 = 0;
  HoldControlPort(kQueryErr);
  std::string ret = QueryHub(COM_Name, &nPorts, &fw, &PS64);
  if (ret != kStatusOK) RetError(ret);
  if (option.empty()) {
    PrintLine(HubLine(COM_Name.substr(5), nPorts, PS64, fw));
    return;
  }
  if (option == "-J") {
    PrintLine(OneHubJson(nPorts, fw, PS64));
    return;
  }
  char line[64];
  int length = std::snprintf(line, sizeof line, "%02X%02X%02X%02X%02X%s\r\n",
                             static_cast<unsigned>(PS64 & 0xFF),
                             static_cast<unsigned>((PS64 >> 8) & 0xFF),
                             static_cast<unsigned>((PS64 >> 16) & 0xFF),
                             static_cast<unsigned>((PS64 >> 24) & 0xFF),
                             static_cast<unsigned>(nPorts), fw.c_str());
  PrintText(std::string(line, static_cast<std::size_t>(length)));
}

void DoQuery() {
  std::string option = toUpper(arg2);
  if (!arg3.empty() || !(arg2.empty() || option == "-F" || option == "-J"))
    DoCommandUsage();
  if (command == "/Q")
    ScanHubs(option);
  else if (IsControlPort(COM_Name))
    QueryOneHub(option);
  else
    DoCommandUsage();
}

// ---- /S and /F --------------------------------------------------------------

// The set-state read-modify-write of the upper-cased expression sPS up to its
// request, with sp_command ("SP" or "FP") and current_password: the port lock
// (its descriptor to *plock_fd, -1 for none), the query and the expression.
// Returns the request, with *pcurr_PS the states it carries; every failure
// ends the process. States are made only from a reply that reads as a hub's
// (QueryHubForUpdate).
static std::string SetStateRequestFor(const std::string& sp_command,
                                      const std::string& sPS, int* plock_fd,
                                      std::string* pcurr_PS) {
  *plock_fd = HoldControlPort(kQueryErr);
  int nPorts = 0;
  std::string fw;
  std::uint64_t PS64 = 0;
  std::string ret = QueryHubForUpdate(COM_Name, &nPorts, &fw, &PS64);
  if (ret != kStatusOK) RetError(ret);

  // The expression letter chooses the conversion; a letter alone has no body.
  char letter = sPS.size() < 2 ? '\0' : sPS[0];
  switch (letter) {
    case '0':
    case '1':
    case 'T':
      Update_Port_State(std::string(1, letter), sPS, nPorts, &PS64, pcurr_PS);
      break;
    case 'B':
    case 'H':
      Update_Port_State_BH(std::string(1, letter), sPS, nPorts, &PS64,
                           pcurr_PS);
      break;
    default:
      RetUsageError("State Format Error!");
  }
  return SetStateRequest(sp_command, current_password, *pcurr_PS);
}

// A step of a power cycle: a /S of its own, which leaves the port free. From
// the off step's request on, the signals that would end the program are held
// until the ports are on again. A failure that the hub may have applied all
// the same is the cycle's to judge.
static std::string CycleSetStates(const std::string& expression) {
  int lock_fd = -1;
  std::string curr_PS;
  std::string request =
      SetStateRequestFor("SP", expression, &lock_fd, &curr_PS);
  if (expression[0] == '0') HoldEndingSignals();
  std::string ret = SendSetState(request, curr_PS);
  UnlockPort(lock_fd);
  if (ret != kStatusOK && !SetStateMayHaveApplied(ret)) RetError(ret);
  return ret;
}

void DoSetPortState(std::string sp_command) {
  if (!IsControlPort(COM_Name)) DoCommandUsage();

  // One word: the expression, with the password the environment gives or
  // the default one. Two: password and expression, unless the second is
  // empty.
  std::string sPS;
  if (arg3.empty()) {
    current_password = OmittedPasswordField();
    sPS = arg2;
  } else {
    current_password = PasswordField(arg2);
    sPS = arg3;
  }
  sPS = toUpper(sPS);

  // A power cycle is two of them with a pause between (/F has none).
  if (sp_command == "SP" && IsPowerCycle(sPS)) {
    PowerCycle(COM_Name, sPS, CycleSetStates);
    return;
  }
  // The query, the state read and the set request are one read-modify-write,
  // under a lock kept until the process ends.
  int lock_fd = -1;
  std::string curr_PS;
  std::string request = SetStateRequestFor(sp_command, sPS, &lock_fd, &curr_PS);
  SetPortState_PIC(request, curr_PS);
}

// ---- /G ---------------------------------------------------------------------

void DoGetPortState() {
  std::string option = toUpper(arg2);
  if (!IsControlPort(COM_Name) || !arg3.empty() ||
      !(arg2.empty() || option == "-B" || option == "-H" || option == "-J"))
    RetUsageError("Invalid Command!");

  HoldControlPort(kQueryErr);
  int nPorts = 0;
  std::string fw;
  std::uint64_t PS64 = 0;
  std::string ret = QueryHub(COM_Name, &nPorts, &fw, &PS64);
  if (ret != kStatusOK) RetError(ret);

  if (arg2.empty()) {
    std::string On;
    std::string Off;
    ParsePortStates(PS64, nPorts, &On, &Off);
    PrintLine("On=" + On + " Off=" + Off);
  } else if (option == "-B") {
    PrintLine(PortStateBits(PS64, nPorts));
  } else if (option == "-J") {
    PrintLine(OneHubJson(nPorts, fw, PS64));
  } else {
    std::string s;
    htos_PS64(PS64, &s);
    PrintLine(s);
  }
}

// ---- /P ---------------------------------------------------------------------

// True when the reply text begins with the wrong-password code "E01".
static bool PasswordRejected(const std::string& reply) {
  return reply.compare(0, 3, kWrongPassword) == 0;
}

void DoChangePassword() {
  if (!IsControlPort(COM_Name)) DoCommandUsage();

  // One password (or none) is the new one, the old one the environment's or
  // the default; two are the old and the new.
  if (arg3.empty()) {
    current_password = OmittedPasswordField();
    new_password = PasswordField(arg2);
  } else {
    current_password = PasswordField(arg2);
    new_password = PasswordField(arg3);
  }

  HoldControlPort("Change Password Error!");
  char buf[kReplyBufferSize];
  std::string ret = SendCommand(
      COM_Name, ChangePasswordRequest(current_password, new_password), buf,
      100);
  if (ret != kStatusOK) RetError("Change Password Error!");
  std::string s(buf);
  if (PasswordRejected(s)) RetError("Invalid Password!");
  if (s.empty() || s[0] != kAcceptMark) RetError("Change Password Error!");
}

// ---- /W, /D and /R ----------------------------------------------------------

// The shared flow of the commands that send one password request: arguments,
// password, exchange, reply. exchange_error and refused_error are the messages
// for a failed exchange and a reply without "G".
static void SendPasswordRequest(const std::string& code,
                                const std::string& exchange_error,
                                const std::string& refused_error) {
  CheckPortAndArgumentCount();
  TakePassword();

  HoldControlPort(exchange_error.c_str());
  char buf[kReplyBufferSize];
  std::string ret =
      SendCommand(COM_Name, PasswordRequest(code, current_password), buf, 100);
  std::string s(buf);
  if (ret != kStatusOK) RetError(exchange_error);
  if (PasswordRejected(s)) RetError("Invalid Password!");
  if (s.empty() || s[0] != kAcceptMark) RetError(refused_error);
}

void DoSavePortState() {
  SendPasswordRequest("WP", "Save Port States Error!",
                      "Error to Save Port States to Flash!");
}

void DoRestoreDefault() {
  SendPasswordRequest("RD", "Restore Default Error!",
                      "Error to Restore Factory Default!");
}

void DoResetHub() {
  CheckPortAndArgumentCount();
  TakePassword();

  HoldControlPort("Reset Hub Error!");
  char buf[kReplyBufferSize];
  std::string ret =
      SendCommand(COM_Name, PasswordRequest("RH", current_password), buf, 100);
  // A request that never reached the hub is a failure; once it went out, a
  // hub that resets may not answer, so only "E01" is reported.
  if (ret == kOpenPortError || ret == kSetPortOptionError ||
      ret == kErrorSendingCommand)
    RetError("Reset Hub Error!");
  if (PasswordRejected(buf)) RetError("Invalid Password!");
}
