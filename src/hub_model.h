// Hub model: the port-state bitmap and its text forms, the identification
// query, the state expressions of /S and /F, and the set-state request.
// The conversions and QueryHub never print and never end the process; the
// state expressions end it through RetUsageError (a rejected argument), the
// set-state request through RetError (the port or the hub failed).
#ifndef NEXLI_HUB_MODEL_H
#define NEXLI_HUB_MODEL_H

#include <cstdint>
#include <string>

// Port-state bitmap: bit i set means downstream port i+1 is on. Only bits 0
// to 31 (ports 1 to 32) travel to or from a hub.
typedef std::uint64_t PS64;

// ---- Conversions ------------------------------------------------------------

// The bitmap that the first 8 characters of s encode as port-state hex text
// (byte of ports 1-8 first, each byte high digit first). Any character is
// taken by the hex digit rule (code - 48 up to '9', else code - 55, after
// to_upper), so a non-digit spills into other bits; a missing position reads
// as '0'.
std::uint64_t s2hex_l(std::string s);
// *pPS64 = s2hex_l(s).
void stoh_PS64(std::string s, std::uint64_t* pPS64);
// *ps_PS64 = the 8-digit upper-case port-state hex text of bits 0 to 31.
void htos_PS64(std::uint64_t PS64, std::string* ps_PS64);
// *pOn and *pOff = the ascending lists ("2,3,6" or "None") of the ports 1 to
// nPorts that are on and off. Ports above 64 have no bit and count as off.
void ParsePortStates(std::uint64_t PS64, int nPorts, std::string* pOn,
                     std::string* pOff);
// The first 8 characters of s as an ordinary hexadecimal number, first digit
// most significant, by the same digit rule as s2hex_l.
std::uint64_t s2hex(std::string s);
// n in decimal.
std::string my_itos(int n);
// str read digit by digit as (code - 48), up to its end or a NUL, in 32-bit
// arithmetic that wraps; no sign, no check.
int my_stoi(std::string str);

// The binary text of ports nPorts down to 1 ("1" on, "0" off), port 1 last;
// ports above 64 read "0". Empty for nPorts of 0 or less.
std::string PortStateBits(std::uint64_t PS64, int nPorts);

// ---- Identification query
// -----------------------------------------------------

// Status texts of QueryHub.
extern const char* const kQueryErr;         // "Query Err"
extern const char* const kIdErr;            // "ID Err"
extern const char* const kGetPortStateErr;  // "Get Port State Err"

// The port count and firmware text of a reply to "?Q\r" (the text the reply
// buffer holds). Returns "OK" with both written, "Query Err" when the line has
// fewer than 15 characters before its "\n", or "ID Err" when it does not begin
// with "TORVAN" (nothing written then).
std::string ParseQueryReply(const std::string& reply, int* nPorts,
                            std::string* pFW);

// The bitmap of a reply to "GP\r": "OK" with *nPS64 = s2hex_l of its first 8
// characters, or "Get Port State Err" when the line has fewer than 8.
std::string ParseStateReply(const std::string& reply, std::uint64_t* nPS64);

// Sends "?Q\r" and then "GP\r" to the device COM_Name. Returns "OK" with the
// port count, the 3-character firmware text and the bitmap written; "Query Err"
// when the first exchange fails or its line has fewer than 15 characters;
// "ID Err" when the reply does not begin with "TORVAN"; "Get Port State Err"
// (count and firmware written, bitmap not) when the second exchange fails or
// its line has fewer than 8 characters.
std::string QueryHub(std::string COM_Name, int* nPorts, std::string* pFW,
                     std::uint64_t* nPS64);

// True when the port count field of a reply to "?Q\r" (positions 10 and 11)
// is a count as a hub sends it: two characters, digits with a leading blank
// allowed, at least 1 (" 8", "08", "16"; not "x8", "8 ", " 0" or "-1").
bool PortCountIsExact(const std::string& reply);
// True when the first 8 characters of a reply to "GP\r" are all hex digits,
// in either case.
bool StatesAreExact(const std::string& reply);

// QueryHub for a command that writes the states back (/S, /F and the steps
// of a power cycle), which must never write states made from a reply it
// cannot read: the same exchanges and results, but "Query Err" when the port
// count is not PortCountIsExact, and "Get Port State Err" when the states are
// not StatesAreExact (count and firmware written then, bitmap not).
std::string QueryHubForUpdate(std::string COM_Name, int* nPorts,
                              std::string* pFW, std::uint64_t* nPS64);

// ---- State expressions ------------------------------------------------------

// Reads the decimal number of s that begins at start. Returns "more" when it
// ended at a comma, "end of string" at the end of s (with *pnext one past the
// ending character and *pn its value, 0 for no digits, saturated far above any
// port count), or "Invalid Number!" at any other character (nothing written).
std::string ParseInteger(std::string s, int start, int* pnext, int* pn);

// Applies the expression sPS ("0", "1" or "T" as func, separator at 1, body
// "ALL" or a port list from 2) to *pPS64 and writes the new hex text to
// *pcurr_PS. Ends the process with "Invalid Number!" (RetUsageError) on a
// malformed body or a port the hub lacks or the request cannot carry.
void Update_Port_State(std::string func, std::string sPS, int nPorts,
                       std::uint64_t* pPS64, std::string* pcurr_PS);

// The same for a binary ("B") or hex (any other func) expression.
void Update_Port_State_BH(std::string func, std::string sPS, int nPorts,
                          std::uint64_t* pPS64, std::string* pcurr_PS);

// ---- Set-state request
// ---------------------------------------------------------

// Messages of the set-state request besides the exchange's status texts.
extern const char* const kSetPortStateError;  // "Set Port State Error!"
extern const char* const kPasswordError;      // "Password Error!"
extern const char* const kCommandError;       // "Command Error!"

// Judges the reply text to a set-state request that carried curr_PS: "OK"
// when it is "G" followed by exactly curr_PS; otherwise "Password Error!" for
// "E01", "Set Port State Error!" for "G" and other states, "Command Error!"
// for anything else.
std::string SetStateReplyStatus(const std::string& reply,
                                const std::string& curr_PS);

// Returns when SetStateReplyStatus is "OK"; otherwise prints it and ends as a
// failure of the hub (RetError).
void CheckSetStateReply(const std::string& reply, const std::string& curr_PS);

// Sends PIC_command to COM_Name and judges the reply: "OK" when the hub
// answered "G" and echoed exactly curr_PS, otherwise the exchange's status
// text or the SetStateReplyStatus message. Never prints.
std::string SendSetState(std::string PIC_command, std::string curr_PS);

// True when a set-state request that ended with status (of SendSetState) may
// have been applied all the same: it went out, and the hub did not refuse it
// with "E01". False for "OK", "Open Port Error!", "Set Port Option Error!"
// and "Password Error!".
bool SetStateMayHaveApplied(const std::string& status);

// Returns only when SendSetState gives "OK"; otherwise prints its status and
// ends as a failure of the port or the hub (RetError).
void SetPortState_PIC(std::string PIC_command, std::string curr_PS);

#endif
