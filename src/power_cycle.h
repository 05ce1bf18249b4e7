// Power cycle: the C: expression of /S ("C:3", "C:1,3", "C:ALL"). The ports
// of the list are switched off together, held off for the cycle delay, and
// switched on together; a listed port that was off ends on, and the others
// keep their states. Each of the two steps is a /S of its own that takes the
// port lock and gives it up when done, so that the hub serves other callers
// during the pause (their switches of other ports are kept). SIGINT, SIGTERM
// or SIGHUP during the pause cut it short: the ports are switched on first,
// then the program ends as that signal ends it. A signal that the caller
// ignores or blocks is left so. One that comes while the off step's request
// is out waits for the pause, and cuts it short at once: once the ports may
// be off, they are switched on before the program ends; so do those that
// follow a signal that cut the pause short. A signal before that request, or
// during the on step after a pause that ran its time, ends the program as it
// ends any /S. The
// trace tells the pause, and at a terminal the progress line says the ports
// are off and when they come back on.
#ifndef NEXLI_POWER_CYCLE_H
#define NEXLI_POWER_CYCLE_H

#include <string>

// The message for a NEXLI_CYCLE_DELAY that is not a delay.
extern const char* const kCycleDelayError;  // "Cycle Delay Error!"

// The seconds the ports stay off unless NEXLI_CYCLE_DELAY says otherwise,
// and the most it may say.
const int kDefaultCycleDelaySeconds = 2;
const int kMaxCycleDelaySeconds = 3600;

// The cycle delay, in nanoseconds, that NEXLI_CYCLE_DELAY gives: unset or
// empty, the default; otherwise a decimal number of seconds from 0 to 3600,
// digits with at most one decimal point ("0.5", "10", ".25"; decimals past
// the ninth count for nothing). Returns "OK" with *pdelay_ns written, or
// kCycleDelayError (nothing written) for any other value. Never prints.
std::string CycleDelay(long long* pdelay_ns);

// True when the upper-cased expression sPS is a power cycle: "C", a
// separator (not examined) and a body. The body is a list as in "0:"
// ("ALL" or port numbers), checked by the steps.
bool IsPowerCycle(const std::string& sPS);

// Holds SIGINT, SIGTERM and SIGHUP back (those the caller does not ignore or
// block) until the pause takes them: the off step calls it just before its
// request goes out. A second call does nothing.
void HoldEndingSignals();

// One step of a cycle: sets the states of expression ("0" or "1", then the
// separator and body of the C: expression) exactly as /S does, under the
// port lock, which it gives up before it returns. Returns only on success;
// otherwise it has printed /S's message and ended the process with /S's
// outcome.
typedef void (*CycleStep)(const std::string& expression);

// Cycles the ports of the power-cycle expression sPS on the control port
// device. First the delay: one that is not a delay ends the process with
// "Cycle Delay Error!" as a rejected argument (RetUsageError) before
// anything is opened or sent. Then step("0" ...), the pause, step("1" ...).
// A failing step ends the process, and after a failed off step no on step
// is sent. Returns when both steps succeeded, unless an ending signal cut the
// pause short: then, the on step done, the process ends by that signal.
void PowerCycle(const std::string& device, const std::string& sPS,
                CycleStep step);

#endif
