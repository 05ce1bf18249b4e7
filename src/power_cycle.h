// Power cycle: the C: expression of /S ("C:3", "C:1,3", "C:ALL"). The ports
// of the list are switched off together, held off for the cycle delay, and
// switched on together; a listed port that was off ends on, and the others
// keep their states. Each of the two steps is a /S of its own that takes the
// port lock and gives it up when done, so that the hub serves other callers
// during the pause (their switches of other ports are kept).
//
// From the moment the off request goes out, the cycle ends with the ports on,
// or says that it could not:
//  - the signals that would end the program (HoldEndingSignals) are held
//    until the on step is done; one during the pause cuts the pause short.
//    Once the ports are on, the first of them ends the program as it would
//    have. A signal that the caller ignores or blocks is left so, and one
//    before the off request ends the program as it ends any /S;
//  - the on step is sent whatever the off request's reply said, since the
//    hub may have applied it; a run whose off reply failed then ends as a
//    failure, with that reply's message;
//  - an on step that fails prints its message and a line that names the
//    ports that may be off, and the run ends with kExitPortsMayBeOff.
// The trace tells the pause, and at a terminal the progress line says the
// ports are off and when they come back on.
#ifndef NEXLI_POWER_CYCLE_H
#define NEXLI_POWER_CYCLE_H

#include <string>

// The message for a NEXLI_CYCLE_DELAY that is not a delay.
extern const char* const kCycleDelayError;  // "Cycle Delay Error!"
// The beginning of the line that names the ports a cycle may have left off:
// "Power Cycle Error! Port 3 may be off".
extern const char* const kPowerCycleError;  // "Power Cycle Error!"

// The seconds the ports stay off unless NEXLI_CYCLE_DELAY says otherwise,
// and the most it may say.
const int kDefaultCycleDelaySeconds = 2;
const int kMaxCycleDelaySeconds = 3600;

// The cycle delay, in nanoseconds, that NEXLI_CYCLE_DELAY gives: unset or
// empty, the default; otherwise a decimal number of seconds from 0 to 3600,
// digits with at most one decimal point ("0.5", "10", ".25"; decimals past
// the ninth count for nothing, except that they make a delay of 3600 longer).
// Returns "OK" with *pdelay_ns written, or kCycleDelayError (nothing written)
// for any other value. Never prints.
std::string CycleDelay(long long* pdelay_ns);

// True when the upper-cased expression sPS is a power cycle: "C", a
// separator (not examined) and a body. The body is a list as in "0:"
// ("ALL" or port numbers), checked by the steps.
bool IsPowerCycle(const std::string& sPS);

// Holds back every signal whose default action ends the program (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2 and their
// kin, the real-time signals among them), except SIGKILL and the signals of
// a fault of the program itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
// SIGSYS), and except those the caller ignores or blocks, until the cycle
// is done. The off step calls it just before its request goes out. A second
// call does nothing.
void HoldEndingSignals();

// One step of a cycle: sets the states of expression ("0" or "1", then the
// separator and body of the C: expression) exactly as /S does, under the
// port lock, which it gives up before it returns. Returns "OK", or the
// message of a failure after its request went out that the hub may have
// applied all the same (SetStateMayHaveApplied of hub_model.h). Every other
// failure prints /S's message and ends the process with /S's outcome.
typedef std::string (*CycleStep)(const std::string& expression);

// Cycles the ports of the power-cycle expression sPS on the control port
// device. First the delay: one that is not a delay ends the process with
// "Cycle Delay Error!" as a rejected argument (RetUsageError) before
// anything is opened or sent. Then step("0" ...), the pause, step("1" ...).
// An off step that fails before its request goes out has ended the process;
// one that fails after it prints its message at once, and the cycle goes on.
// An on step that fails ends the process with its message, then
// "Power Cycle Error! Port 3 may be off" (with the ports of the list), as
// kExitPortsMayBeOff. Otherwise, the ports on, a held signal ends the
// process; with none, a failed off step ends it as a failure; and else
// PowerCycle returns.
void PowerCycle(const std::string& device, const std::string& sPS,
                CycleStep step);

#endif
