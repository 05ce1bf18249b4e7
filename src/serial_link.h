// Serial link to the hub controller: opening and configuring the control
// port, one request/reply exchange, and every request and reply position of
// the hub protocol. Nothing here prints or ends the process except
// PrintLine, EndProcess, RetError and RetUsageError, the program's one way to
// report.
#ifndef NEXLI_SERIAL_LINK_H
#define NEXLI_SERIAL_LINK_H

#include <string>

// ---- Reporting ------------------------------------------------------------

// Write text on standard output and flush it. A write that fails is
// remembered: EndProcess tells it.
void PrintText(const std::string& text);
// PrintText(text + "\n").
void PrintLine(const std::string& text);
// Opens /dev/null on each of the standard descriptors 0, 1 and 2 that is
// closed, so that no descriptor the program opens later (a control port, the
// trace) can stand in for one of them. main calls it before anything else.
void KeepStandardDescriptors();
// End the process, standard output flushed and closed, with
// ExitStatus(outcome): status 0 unless NEXLI_EXIT_STATUS=1 asks for the
// outcome class (kExitDone, kExitFailed, kExitRejected or kExitPortsMayBeOff
// of exit_status.h). When some of standard output did not arrive (a full
// disk), "nexli: write error: " and the system's text for the error go to
// standard error, and a run that was done becomes kExitFailed; a reader that
// went away (EPIPE) is no error. (A fuzz build, NEXLI_FUZZ, ends only the
// input being tried, with the outcome: see fuzz/.)
[[noreturn]] void EndProcess(int outcome);
// A function that EndProcess calls first, once, while it is set: it gets the
// outcome, may print, and returns the outcome to end with. A power cycle sets
// one while its on step is out (power_cycle.h). nullptr for none.
typedef int (*EndHook)(int outcome);
void SetEndHook(EndHook hook);
// A failure of the port or the hub: PrintLine(ret), then
// EndProcess(kExitFailed).
[[noreturn]] void RetError(std::string ret);
// A rejected command line or argument: PrintLine(ret), then
// EndProcess(kExitRejected).
[[noreturn]] void RetUsageError(std::string ret);

// ---- Serial port ----------------------------------------------------------

// Opens comPortName read/write, no controlling terminal, non-blocking.
// Returns the descriptor, or -1 when the device cannot be opened (or when the
// descriptor would not fit a select set). Revision 1.02 then clears the status
// flags (writes block) and refuses a descriptor that is not a terminal.
int openPort(const std::string& comPortName);

// Configures the line from an all-zero settings record: nBits 7 or 8 (else 5),
// parity letter O/E/N in either case (else none), nSpeed 2400, 4800, 9600,
// 115200 or 460800 (else 9600), nStop 2 (else 1), raw, VMIN = VTIME = 0;
// discards pending input. Returns 0, or -1 when the current settings cannot
// be read or the new ones cannot be applied. Never closes fd.
int set_opt(int fd, int nSpeed, int nBits, char nEvent, int nStop);

// One write of data_len bytes. Returns data_len when all were written;
// otherwise discards queued output and returns 0.
int UART_Send(int fd, const char* send_buf, int data_len);

// Waits up to 10 s plus timout_ms ms for fd to become readable, then reads at
// most data_len bytes. Returns 0 on time-out; otherwise the result of the read
// (bytes read, 0 at end of file, -1 on error).
int UART_Recv(int fd, char* rcv_buf, int data_len, int timout_ms);

// ---- Exchange -------------------------------------------------------------

// Status texts of an exchange.
extern const char* const kStatusOK;             // "OK"
extern const char* const kOpenPortError;        // "Open Port Error!"
extern const char* const kSetPortOptionError;   // "Set Port Option Error!"
extern const char* const kErrorSendingCommand;  // "Error Sending Command!"
extern const char* const kReadTimeout;          // "Read Timeout"
extern const char* const kErrorParameters;      // "Error Parameters"

// A reply line holds at most this many bytes, its closing "\n" included.
const int kMaxReplyBytes = 20;
// Every caller hands SendCommand a reply buffer of this size.
const int kReplyBufferSize = 32;

// One exchange: open COM_Name, configure 9600 8N1 raw, write Command, read one
// reply line byte by byte into prcv_buf (at most 20 bytes, up to and including
// the first "\n", always zero-terminated), close. Returns kStatusOK when the
// line ended in "\n", else one of the other status texts; the bytes received
// before a failure stay in prcv_buf. A failed read counts as "Read Timeout".
// timeout_ms is accepted and not consulted: each byte is awaited 10.1 s.
std::string SendCommand(std::string COM_Name, std::string Command,
                        char* prcv_buf, int timeout_ms);

// ---- Hub protocol -----------------------------------------------------------

// Requests. Each ends in "\r"; passwords and states are 8-byte fields.
std::string QueryRequest();     // "?Q\r"
std::string GetStateRequest();  // "GP\r"
// code ("SP" or "FP"), password field, state field, "\r": 19 bytes.
std::string SetStateRequest(const std::string& code,
                            const std::string& password,
                            const std::string& states);
// "CP", old password field, new password field, "\r": 19 bytes.
std::string ChangePasswordRequest(const std::string& old_password,
                                  const std::string& new_password);
// code ("WP", "RD" or "RH"), password field, "\r": 11 bytes.
std::string PasswordRequest(const std::string& code,
                            const std::string& password);
// Password fields: 8 bytes from position 2 of "SP", "FP", "WP", "RD" and
// "RH" requests, and two of them, old and new, from 2 of "CP".
const int kPasswordFieldPos = 2;
const int kPasswordFieldLength = 8;
// request with each of its password fields replaced by "********" (also a
// field that the request's end cuts short), for the trace. Requests of other
// codes come back unchanged.
std::string RequestWithoutPasswords(const std::string& request);

// Reply to "?Q\r": identity at 0-5, port count at 10-11, firmware at 12-14.
extern const char* const kHubIdentity;  // "TORVAN"
const int kIdentityLength = 6;
const int kPortCountPos = 10;
const int kPortCountLength = 2;
const int kFirmwarePos = 12;
const int kFirmwareLength = 3;
const int kQueryReplyMinLength = 15;  // characters before the "\n"
// Reply to "GP\r": the state field at 0-7.
const int kStateFieldLength = 8;
// Reply to a password-protected request: "G" accepts (the set-state echo
// follows at 1-8); "E01" at 0-2 rejects the password.
const char kAcceptMark = 'G';
const int kEchoPos = 1;
extern const char* const kWrongPassword;  // "E01"

// Characters of a reply text before its first "\n" (all of them if none).
int ReplyLineLength(const std::string& reply);

#endif
